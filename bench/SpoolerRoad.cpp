// The road of spool files through the spooler, measured outside Google Benchmark because
// each figure needs a process of its own or real time:
//   bench-spooler-road memory FILE    prints one spool file with PagesSpool 3 on the fake
//                                     printer and reports the peak resident memory and the
//                                     errors shown (the file is made beforehand, by
//                                     bench-make-report, so that making it does not count)
//   bench-spooler-road print FILE [QUEUE]
//                                     prints one spool file with PagesSpool 3 and reports the
//                                     time per page: on the fake printer (layout and the
//                                     spooler's own work), or with the real fonts and jobs on
//                                     the CUPS queue QUEUE (until CUPS has taken every job)
//   bench-spooler-road latency N      writes N files one after another into a watched local
//                                     directory and reports, for each, the time from the
//                                     writer closing it to the start of its first job

#include "Main.h"
#include "Queue.h"
#include "ReportGenerator.h"
#include "platform/fake/FakePlatform.h"
#include "engine/PrevPrinter.h"
#include "engine/SpoolFile.h"
#include "platform/linux/LinuxFiles.h"
#include "platform/linux/LinuxPlatform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

long peakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct Spooler
{
    // On the desktop's printers and fonts when `desktop` is given, else on the fake ones.
    explicit Spooler(IChangeNotifications* notifications = nullptr, LinuxPlatform* desktop = nullptr)
    {
        QDir().mkpath(spoolDir());
        fake.environment.programDir = dir.path();
        fake.printers.addPrinter(QStringLiteral("Laser"), DeviceMetrics{600, 600, 4960, 7016, 100, 100});
        fake.printers.setKeepRecords(false);
        fake.registry.setInteger(QStringLiteral("\\SOFTWARE\\Morvane\\Pagello"), QStringLiteral("PagesSpool"), 3);
        if (notifications) {
            QFile switchFile(dir.filePath(QStringLiteral("kavrin.fxp")));
            switchFile.open(QIODevice::WriteOnly);
        }
        const Platform engine = desktop ? Platform{desktop->printers(), fake.printDialog,   desktop->screen(),
                                                   desktop->fonts(),    desktop->bitmaps(), fake.application}
                                        : fake.platform();
        SpoolerPlatform platform = fake.spooler();
        form = std::make_unique<TForm1>(SpoolerPlatform{engine,
                                                        platform.registry,
                                                        notifications ? *notifications : fake.notifications,
                                                        notifications ? static_cast<IFileAccess&>(files) : fake.files,
                                                        fake.environment,
                                                        fake.windows,
                                                        fake.notifyArea,
                                                        {}},
                                        QStringList());
    }
    QString spoolDir() const { return dir.filePath(QStringLiteral("tisk")); }
    void write(const QString& name, const std::string& text)
    {
        QFile file(spoolDir() + QLatin1Char('/') + name);
        file.open(QIODevice::WriteOnly);
        file.write(text.data(), qint64(text.size()));
    }

    QTemporaryDir dir;
    FakeSpoolerPlatform fake;
    LeaseFileAccess files;
    std::unique_ptr<TForm1> form;
};

int memory(const QString& file)
{
    Spooler s;
    if (!QFile::copy(file, s.spoolDir() + QStringLiteral("/REPORT.PRN")))
        return 1;
    s.form->ScanQueue();
    s.form->Timer1Timer();
    int sheets = 0;
    for (const auto& job : s.fake.printers.jobs())
        sheets += int(job.sheets.size());
    std::printf("%d pages in %zu jobs: peak %ld KB\n", sheets, s.fake.printers.jobs().size(), peakKilobytes());
    // A document refused as a whole shows the spooler's error box.
    for (const QString& error : s.fake.application.errors())
        std::printf("error: %s\n", qPrintable(error));
    return s.form->queue().count() == 0 ? 0 : 1;
}

int print(const QString& file, const QString& queue)
{
    std::unique_ptr<LinuxPlatform> desktop;
    if (!queue.isEmpty())
        desktop = std::make_unique<LinuxPlatform>();
    Spooler s(nullptr, desktop.get());
    if (desktop) {
        const int index = int(desktop->printers().printerNames().indexOf(queue));
        if (index < 0) {
            std::fprintf(stderr, "no CUPS queue '%s'\n", qPrintable(queue));
            return 2;
        }
        desktop->printers().setPrinterIndex(index);
    }
    if (!QFile::copy(file, s.spoolDir() + QStringLiteral("/REPORT.PRN")))
        return 1;
    s.form->ScanQueue();
    QElapsedTimer timer;
    timer.start();
    s.form->Timer1Timer();
    const qint64 ns = timer.nsecsElapsed();
    for (const QString& error : s.fake.application.errors())
        std::printf("error: %s\n", qPrintable(error));
    if (s.form->queue().count() != 0)
        return 1;
    int pages = 0;
    if (desktop) {
        // The document was laid out for this printer: count its pages the same way.
        TPreviewPrinter counter(Platform{desktop->printers(), s.fake.printDialog, desktop->screen(), desktop->fonts(),
                                         desktop->bitmaps(), s.fake.application});
        counter.setUnits(unInches);
        const SpoolHandle handle = openSpoolFile(file);
        SpoolFileText text(handle.fd(), file);
        counter.RenderText(text);
        pages = counter.PageCount();
    } else {
        for (const auto& job : s.fake.printers.jobs())
            pages += int(job.sheets.size());
    }
    std::printf("%d pages on %s: %.0f ms, %.2f ms a page\n", pages,
                queue.isEmpty() ? "the fake printer" : qPrintable(queue), ns / 1e6, pages ? ns / 1e6 / pages : 0.0);
    return 0;
}

int latency(int files)
{
    InotifyNotifications notifications;
    Spooler s(&notifications);
    s.form->Timer1Timer(); // from now on the print timer ticks every second
    s.form->timer1().start();
    std::vector<qint64> delays;
    QElapsedTimer sinceClose;
    std::size_t jobsBefore = 0;
    int written = 0;
    std::function<void()> writeNext = [&] {
        if (written == files) {
            QCoreApplication::quit();
            return;
        }
        // At an arbitrary moment of the print timer's second.
        QTimer::singleShot(std::rand() % 1000, [&] {
            jobsBefore = s.fake.printers.jobs().size();
            s.write(QStringLiteral("DOC%1.PRN").arg(written++), makeReport(1));
            sinceClose.start();
        });
    };
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (sinceClose.isValid() && s.fake.printers.jobs().size() > jobsBefore) {
            delays.push_back(sinceClose.elapsed());
            sinceClose.invalidate();
            writeNext();
        }
    });
    poll.start(1);
    writeNext();
    QTimer::singleShot(files * 3000 + 5000, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    std::sort(delays.begin(), delays.end());
    if (delays.empty())
        return 1;
    std::printf("%zu files: close to job start median %lld ms, max %lld ms\n", delays.size(),
                static_cast<long long>(delays[delays.size() / 2]), static_cast<long long>(delays.back()));
    return delays.size() == std::size_t(files) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 3 && args[1] == QLatin1String("memory"))
        return memory(args[2]);
    if ((args.size() == 3 || args.size() == 4) && args[1] == QLatin1String("print"))
        return print(args[2], args.value(3));
    if (args.size() == 3 && args[1] == QLatin1String("latency"))
        return latency(args[2].toInt());
    std::fprintf(stderr, "usage: bench-spooler-road memory FILE | print FILE [QUEUE] | latency FILES\n");
    return 2;
}
