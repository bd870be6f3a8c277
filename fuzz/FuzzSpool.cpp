#include "Main.h"
#include "Queue.h"
#include "engine/PrevPrinter.h"
#include "engine/SpoolFile.h"
#include "platform/Errors.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/LinuxFiles.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

// A spool file is outside input, and so is the way it arrives: whatever its bytes, the
// spool file read in pieces of any size is the document cutSpoolText makes of it, and the
// spooler that finds it in its directory prints it through the real file access (open
// without following links, lease test, read through the one descriptor, delete) in
// batches of PagesSpool pages that together are exactly the pages of the document laid
// out whole: none lost, none twice, each batch titled with its range, and the file deleted;
// or it refuses it as the whole layout does, keeping the file.
//
// The first byte, still part of the text, picks the run's settings: bits 0-2 PagesSpool
// less one (1 to 8), bits 3-7 the piece size of the reader (1 + value; 31 = 4096).

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // The spooler's window needs a widget application; the fuzzer never shows anything.
    // It lives until the process ends (see FuzzRender.cpp).
    (void)argc;
    static int qtArgc = 1;
    static char* qtArgv[] = {(*argv)[0], nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication* app = new QApplication(qtArgc, qtArgv);
    (void)app;
    return 0;
}

namespace {

const DeviceMetrics kLaser{600, 600, 4960, 7016, 100, 100};

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_spool: %s\n", what);
    std::abort();
}

// The program's directory with its spool directory "tisk": made once, and removed at the
// end with plain calls, which need nothing of Qt's that may be gone by then.
QTemporaryDir& scratch()
{
    static QTemporaryDir* dir = [] {
        auto* made = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/pagello-fuzz-spool-XXXXXX"));
        made->setAutoRemove(false);
        static const QByteArray path = QFile::encodeName(made->path());
        std::atexit([] {
            ::unlink((path + "/tisk/DOC.PRN").constData());
            ::rmdir((path + "/tisk").constData());
            ::rmdir(path.constData());
        });
        return made;
    }();
    return *dir;
}

void writeFile(const QString& path, const std::string& bytes)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
        fail("cannot write the spool file");
    ::close(fd);
}

// The document read in pieces of at most `pieceSize` bytes, each piece checked for size.
std::string readInPieces(const QString& path, std::size_t pieceSize, bool& hadText)
{
    const SpoolHandle handle = openSpoolFile(path);
    SpoolFileText text(handle.fd(), path, pieceSize);
    hadText = text.hasText();
    std::string whole;
    for (std::string_view piece = text.next(); !piece.empty(); piece = text.next()) {
        if (piece.size() > pieceSize)
            fail("a piece is larger than asked for");
        whole.append(piece);
    }
    if (!text.next().empty())
        fail("the reader goes on after its end");
    return whole;
}

// The document laid out whole on the fake laser: the record count of each page, or the
// reason it is refused.
struct Layout
{
    std::vector<std::size_t> records;
    std::string refused;
};

Layout layOut(const std::string& text)
{
    FakePlatform fake;
    fake.printers.addPrinter(QStringLiteral("Laser"), kLaser);
    TPreviewPrinter engine(fake.platform());
    engine.setUnits(unInches);
    Layout layout;
    try {
        engine.RenderText(text);
    } catch (const EDocumentError& e) {
        layout.refused = e.what();
        return layout;
    }
    for (int p = 0; p < engine.PageCount(); ++p)
        layout.records.push_back(engine.Pages(p).records().size());
    return layout;
}

// The spooler on the fake printer and registry, with the real file access. Making its
// window costs far more than most inputs, so one spooler serves input after input while
// it has nothing to remember of them (every document printed and deleted).
struct Spooler
{
    Spooler()
    {
        fake.environment.programDir = scratch().path();
        fake.environment.startupDir = scratch().path();
        fake.printers.addPrinter(QStringLiteral("Laser"), kLaser);
        fake.printers.setKeepRecords(false);
        fake.application.setTitle(QStringLiteral("Pagello"));
        const SpoolerPlatform platform = fake.spooler();
        form = std::make_unique<TForm1>(SpoolerPlatform{platform.engine, platform.registry, platform.notifications,
                                                        files, platform.environment, platform.windows,
                                                        platform.notifyArea, platform.journalPath},
                                        QStringList());
    }
    // Never destroyed at exit, when Qt's own statics may be gone already.
    static std::unique_ptr<Spooler>& current()
    {
        static auto* spooler = new std::unique_ptr<Spooler>();
        return *spooler;
    }
    static Spooler& get()
    {
        std::unique_ptr<Spooler>& spooler = current();
        // Its record of jobs grows with every input: a fresh one now and then.
        if (!spooler || spooler->fake.printers.jobs().size() > 10000)
            spooler = std::make_unique<Spooler>();
        return *spooler;
    }
    static void reset() { current().reset(); }

    FakeSpoolerPlatform fake;
    LeaseFileAccess files;
    std::unique_ptr<TForm1> form;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const unsigned char knobs = size > 0 ? data[0] : 0;
    const int pagesSpool = 1 + (knobs & 0x07);
    const std::size_t pieceSize = (knobs >> 3) == 31 ? 4096 : 1 + (knobs >> 3);
    const std::string document = cutSpoolText(raw);

    const QString spool = scratch().filePath(QStringLiteral("tisk"));
    QDir().mkpath(spool);
    const QString path = spool + QStringLiteral("/DOC.PRN");
    writeFile(path, raw);

    bool hadText = false;
    if (readInPieces(path, pieceSize, hadText) != document)
        fail("the pieces do not add up to the cut document");
    if (hadText == document.empty())
        fail("hasText does not tell whether the document holds a byte");

    const Layout whole = layOut(document);

    Spooler& spooler = Spooler::get();
    TForm1& form = *spooler.form;
    const std::size_t jobsBefore = spooler.fake.printers.jobs().size();
    const std::size_t errorsBefore = spooler.fake.application.errors().size();
    form.PagesSpool = pagesSpool;
    form.ScanQueue();
    if (form.queue().count() != 1)
        fail("the spool file is not listed");
    form.Timer1Timer();

    // Every job holds one batch, titled with its range, the ranges following one another
    // from page 1; the pages are those of the whole layout.
    const QRegularExpression title(QStringLiteral("^Pagello : DOC\\.PRN  (\\d+)-(\\d+)$"));
    std::size_t next = 0;
    const std::vector<FakePrinters::Job>& jobs = spooler.fake.printers.jobs();
    for (auto job = jobs.begin() + std::ptrdiff_t(jobsBefore); job != jobs.end(); ++job) {
        const auto match = title.match(job->title);
        if (!job->ended || !match.hasMatch())
            fail("a job is unfinished or wrongly titled");
        const std::size_t first = match.captured(1).toULongLong();
        const std::size_t last = match.captured(2).toULongLong();
        if (first != next + 1 || last < first || last - first + 1 != job->sheets.size() ||
            job->sheets.size() > std::size_t(pagesSpool))
            fail("a batch does not follow the one before or holds other pages than its title says");
        for (const FakePrinters::Sheet& sheet : job->sheets) {
            if (next >= whole.records.size() && whole.refused.empty())
                fail("more pages printed than the document has");
            if (whole.refused.empty() && (sheet.pages.size() != 1 || sheet.pages[0].recordCount != whole.records[next]))
                fail("a printed page differs from the page laid out whole");
            ++next;
        }
    }

    const bool left = QFile::exists(path);
    if (!whole.refused.empty()) {
        // Refused as the whole layout refuses it, once, and kept.
        const std::vector<QString>& errors = spooler.fake.application.errors();
        if (errors.size() != errorsBefore + 1 || !errors.back().endsWith(QString::fromStdString(whole.refused)) ||
            !left || form.queue().count() != 1)
            fail("a document the layout refuses is not refused once and kept");
        // The spooler remembers the refused document and the pages it printed of it: the
        // next input starts on a spooler of its own.
        Spooler::reset();
    } else {
        if (next != whole.records.size())
            fail("pages of the document were not printed");
        if (left || form.queue().count() != 0 || spooler.fake.application.errors().size() != errorsBefore)
            fail("a printed document is not deleted, or an error was shown");
    }
    QFile::remove(path);
    return 0;
}
