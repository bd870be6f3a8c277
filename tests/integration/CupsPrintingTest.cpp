// The real printer road: QtPrinters and the preview printer on the desktop's Qt print
// support, talking to a CUPS scheduler the tests start for themselves. Capture queues keep
// what the printer would have received, and poppler reads it back.

#include "PrivateCups.h"

#include "engine/PrevPrinter.h"
#include "platform/Errors.h"
#include "platform/Metafile.h"
#include "platform/OemCodePage.h"
#include "platform/linux/LinuxPlatform.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPrintEngine>
#include <QPrinter>
#include <QProcess>
#include <QRectF>
#include <QRegularExpression>
#include <QSizeF>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <initializer_list>
#include <memory>
#include <random>
#include <ostream>
#include <string>
#include <string_view>

#include <sys/resource.h>

using namespace std::string_view_literals;

// Metrics in failure messages as the six numbers they are.
static void PrintTo(const DeviceMetrics& m, std::ostream* os)
{
    *os << "{" << m.logPixelsX << " x " << m.logPixelsY << " dpi, sheet " << m.physicalWidth << " x "
        << m.physicalHeight << ", offset " << m.physicalOffsetX << ", " << m.physicalOffsetY << "}";
}

namespace {

// The queues of the private scheduler. "Direct" sorts before the default "Laser": a current
// printer that merely fell back to the first queue would not pass for the default.
const QString kLaser = QStringLiteral("Laser");        // A4, 18 pt hardware margins; the default
const QString kLetter = QStringLiteral("LetterLaser"); // the same printer loaded with US Letter
const QString kDirect = QStringLiteral("Direct");      // a raw queue: no driver, no paper list
const QString kPdf = QStringLiteral("PDF");            // cups-pdf, when installed

PrivateCups* g_cups = nullptr;
QString g_unavailable; // why the tests cannot run here
QString g_failure;     // why the scheduler did not start although it could

// One scheduler for the whole process, started before the first test and before Qt's print
// support first asks CUPS anything: libcups reads CUPS_SERVER once and keeps it.
class PrivateCupsEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        g_unavailable = PrivateCups::missingPrerequisite();
        if (g_unavailable.isEmpty() && (QStandardPaths::findExecutable(QStringLiteral("pdfinfo")).isEmpty() ||
                                        QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty()))
            g_unavailable = QStringLiteral("poppler-utils (pdfinfo, pdftotext) is not installed");
        if (!g_unavailable.isEmpty())
            return;

        auto cups = std::make_unique<PrivateCups>();
        const QString ppd = QStringLiteral(PAGELLO_TEST_PPD);
        const bool ready = cups->start() && cups->addCaptureQueue(kDirect) && cups->addCaptureQueue(kLaser, ppd) &&
                           cups->addCaptureQueue(kLetter, ppd, {QStringLiteral("PageSize=Letter")}) &&
                           (!PrivateCups::hasCupsPdf() || cups->addCupsPdfQueue(kPdf)) && cups->setDefault(kLaser);
        if (!ready) {
            g_failure = cups->error();
            return;
        }
        qputenv("CUPS_SERVER", QFile::encodeName(cups->socketPath()));
        // A destination named in the environment would override the scheduler's default.
        qunsetenv("LPDEST");
        qunsetenv("PRINTER");
        // The text the preview printer lays out here is in code page 852.
        qunsetenv("PAGELLO_CP");
        g_cups = cups.release();
    }

    void TearDown() override
    {
        delete g_cups;
        g_cups = nullptr;
    }
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new PrivateCupsEnvironment);

const OemCodePage& cp852()
{
    static const OemCodePage cp = *OemCodePage::load(852);
    return cp;
}

FontSpec courier12(int pixelsPerInch)
{
    return FontSpec{.name = QStringLiteral("Courier New"),
                    .size = 12,
                    .pixelSize = pointsToPixels(12, pixelsPerInch),
                    .charset = OEM_CHARSET};
}

int indexOf(const IPrinters& printers, const QString& name)
{
    return static_cast<int>(printers.printerNames().indexOf(name));
}

QString run(const QString& program, const QStringList& args)
{
    QProcess process;
    process.start(QStandardPaths::findExecutable(program), args);
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return {};
    return QString::fromUtf8(process.readAllStandardOutput());
}

struct PdfInfo
{
    QString raw;
    int pages = 0;
    QSizeF size; // of the first page, in points
    QString title;
};

PdfInfo pdfInfo(const QString& file)
{
    PdfInfo info;
    info.raw = run(QStringLiteral("pdfinfo"), {file});
    const auto pages = QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)")).match(info.raw);
    const auto size = QRegularExpression(QStringLiteral("Page size:\\s+([0-9.]+) x ([0-9.]+) pts")).match(info.raw);
    const auto title = QRegularExpression(QStringLiteral("Title:\\s+(.*)\\n")).match(info.raw);
    info.pages = pages.hasMatch() ? pages.captured(1).toInt() : 0;
    if (size.hasMatch())
        info.size = QSizeF(size.captured(1).toDouble(), size.captured(2).toDouble());
    info.title = title.captured(1);
    return info;
}

QString pageText(const QString& file, int page)
{
    return run(QStringLiteral("pdftotext"), {QStringLiteral("-f"), QString::number(page), QStringLiteral("-l"),
                                             QString::number(page), file, QStringLiteral("-")});
}

// The box of the first occurrence of word on a page, in points from the sheet's top left.
QRectF wordBox(const QString& file, int page, const QString& word)
{
    const QString html =
        run(QStringLiteral("pdftotext"), {QStringLiteral("-bbox"), QStringLiteral("-f"), QString::number(page),
                                          QStringLiteral("-l"), QString::number(page), file, QStringLiteral("-")});
    const QRegularExpression re(QStringLiteral("<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\" xMax=\"([0-9.]+)\" "
                                               "yMax=\"([0-9.]+)\">%1</word>")
                                    .arg(QRegularExpression::escape(word)));
    const auto m = re.match(html);
    if (!m.hasMatch())
        return {};
    return QRectF(QPointF(m.captured(1).toDouble(), m.captured(2).toDouble()),
                  QPointF(m.captured(3).toDouble(), m.captured(4).toDouble()));
}

// Two recorded pages laid out against the printer's metrics: Czech letters and box
// characters of code page 852 on the first, a marker one inch further in on the second.
struct TwoPages
{
    TMetafile first;
    TMetafile second;
};

TwoPages twoPages(const DeviceMetrics& m)
{
    TwoPages pages;
    const int inch = m.logPixelsX;
    const int line = inch / 4;
    const int font = pages.first.fontIndex(courier12(m.logPixelsY));
    pages.first.addText(inch, inch, font, "\x9F \xFD \xA7 \x85"sv);
    pages.first.addText(inch, inch + line, font, "\xDA\xC4\xC4\xBF"sv);
    pages.first.addText(inch, inch + 2 * line, font, "\xB3\xDB\xB3"sv);
    pages.second.addText(2 * inch, 2 * inch, pages.second.fontIndex(courier12(m.logPixelsY)), "Strana 2"sv);
    return pages;
}

// One job of the pages on the current printer. As the preview printer does it: pages are
// recorded from the sheet's corner, the printer draws from the corner of its printable area.
void printJob(IPrinters& printers, std::initializer_list<const TMetafile*> pages)
{
    const DeviceMetrics m = printers.deviceMetrics();
    const QPoint offset(-m.physicalOffsetX, -m.physicalOffsetY);
    printers.beginDoc();
    bool first = true;
    for (const TMetafile* page : pages) {
        if (!first)
            printers.newPage();
        first = false;
        printers.drawPage(*page, offset);
    }
    printers.endDoc();
}

// Points QDir::tempPath() at a directory of its own while it lives, so that a test sees
// every file a job keeps there.
class PrivateTempPath
{
public:
    PrivateTempPath()
        : m_saved(qgetenv("TMPDIR"))
        , m_wasSet(qEnvironmentVariableIsSet("TMPDIR"))
    {
        qputenv("TMPDIR", QFile::encodeName(m_dir.path()));
    }
    ~PrivateTempPath()
    {
        if (m_wasSet)
            qputenv("TMPDIR", m_saved);
        else
            qunsetenv("TMPDIR");
    }
    PrivateTempPath(const PrivateTempPath&) = delete;
    PrivateTempPath& operator=(const PrivateTempPath&) = delete;

    QString path() const { return m_dir.path(); }
    QStringList files() const { return QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden); }

private:
    QTemporaryDir m_dir;
    QByteArray m_saved;
    bool m_wasSet;
};

class CupsPrinting : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!g_unavailable.isEmpty())
            GTEST_SKIP() << g_unavailable.toStdString();
        ASSERT_NE(g_cups, nullptr) << "the private CUPS scheduler did not start: " << g_failure.toStdString();
        ASSERT_TRUE(g_cups->waitUntilIdle()) << g_cups->error().toStdString();
        g_cups->clearOutputs();
    }

    PrivateCups& cups() { return *g_cups; }

    // Waits for the jobs sent so far and returns what the capture queue received.
    std::vector<PrivateCups::CapturedJob> received(const QString& queue)
    {
        EXPECT_TRUE(cups().waitUntilIdle()) << cups().error().toStdString();
        return cups().capturedJobs(queue);
    }

    QtFonts fonts{cp852()};
};

TEST_F(CupsPrinting, ListsTheQueuesWithTheSchedulersDefaultCurrent)
{
    QtPrinters printers(fonts);
    const QStringList names = printers.printerNames();
    for (const QString& queue : {kDirect, kLaser, kLetter})
        EXPECT_TRUE(names.contains(queue)) << queue.toStdString() << " in " << names.join(' ').toStdString();
    if (PrivateCups::hasCupsPdf()) {
        EXPECT_TRUE(names.contains(kPdf)) << names.join(' ').toStdString();
    }

    ASSERT_GT(indexOf(printers, kLaser), 0) << names.join(' ').toStdString();
    EXPECT_EQ(printers.printerIndex(), indexOf(printers, kLaser));
    printers.setPrinterIndex(indexOf(printers, kDirect));
    printers.setPrinterIndex(-1);
    EXPECT_EQ(printers.printerIndex(), indexOf(printers, kLaser));
}

TEST_F(CupsPrinting, MetricsAreThoseOfTheQueuesPaperAndHardwareMargins)
{
    // Qt prints through PDF at 1200 dpi; 18 pt of margin are 300 device pixels. The visits
    // go back and forth, and the orientation stays across a change of printer.
    const struct
    {
        QString queue;
        TPrinterOrientation orientation;
        DeviceMetrics expected;
    } cases[] = {
        {kLaser, poPortrait, {1200, 1200, 9917, 14033, 300, 300}},
        {kLetter, poPortrait, {1200, 1200, 10200, 13200, 300, 300}},
        {kLaser, poPortrait, {1200, 1200, 9917, 14033, 300, 300}},
        {kLaser, poLandscape, {1200, 1200, 14033, 9917, 300, 300}},
        {kLetter, poLandscape, {1200, 1200, 13200, 10200, 300, 300}},
        {kPdf, poPortrait, {1200, 1200, 9917, 14033, 0, 0}},
    };
    QtPrinters printers(fonts);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.queue.toStdString() << " orientation " << c.orientation);
        if (c.queue == kPdf && !PrivateCups::hasCupsPdf())
            continue;
        printers.setPrinterIndex(indexOf(printers, c.queue));
        printers.setOrientation(c.orientation);
        EXPECT_EQ(printers.deviceMetrics(), c.expected);
    }

    // A queue without a driver still has a sheet, printable to its edges.
    printers.setOrientation(poPortrait);
    printers.setPrinterIndex(indexOf(printers, kDirect));
    const DeviceMetrics direct = printers.deviceMetrics();
    EXPECT_EQ(direct.logPixelsX, 1200);
    EXPECT_TRUE((direct.physicalWidth == 9917 && direct.physicalHeight == 14033) ||
                (direct.physicalWidth == 10200 && direct.physicalHeight == 13200))
        << direct.physicalWidth << " x " << direct.physicalHeight;
    EXPECT_EQ(direct.physicalOffsetX, 0);
    EXPECT_EQ(direct.physicalOffsetY, 0);
}

TEST_F(CupsPrinting, JobReachesThePrinterWithTitleSheetsTextAndPlacement)
{
    const struct
    {
        QString queue;
        TPrinterOrientation orientation;
        QSizeF sheet; // points
        QString media;
    } cases[] = {
        {kLaser, poPortrait, {595, 842}, QStringLiteral("A4")},
        {kLaser, poLandscape, {842, 595}, QStringLiteral("A4")},
        {kLetter, poPortrait, {612, 792}, QStringLiteral("Letter")},
    };
    const PrivateTempPath temp;
    QtPrinters printers(fonts);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.queue.toStdString() << " orientation " << c.orientation);
        cups().clearOutputs();
        printers.setPrinterIndex(indexOf(printers, c.queue));
        printers.setOrientation(c.orientation);
        printers.setTitle(QStringLiteral("Pagello : X.PRN  1-3"));
        const TwoPages pages = twoPages(printers.deviceMetrics());
        printJob(printers, {&pages.first, &pages.second});
        EXPECT_FALSE(printers.printing());
        EXPECT_TRUE(temp.files().isEmpty()) << temp.files().join(' ').toStdString();

        const auto jobs = received(c.queue);
        ASSERT_EQ(jobs.size(), 1u) << cups().logTail().toStdString();
        EXPECT_EQ(jobs[0].title, QStringLiteral("Pagello : X.PRN  1-3"));
        // The paper it was drawn for; the sheets carry their orientation, and the job asks
        // for no turn on top of it.
        const QStringList options = jobs[0].options.split(QLatin1Char(' '));
        EXPECT_TRUE(options.contains(QStringLiteral("media=") + c.media)) << jobs[0].options.toStdString();
        EXPECT_FALSE(jobs[0].options.contains(QStringLiteral("landscape"))) << jobs[0].options.toStdString();
        EXPECT_FALSE(jobs[0].options.contains(QStringLiteral("orientation"))) << jobs[0].options.toStdString();
        const PdfInfo info = pdfInfo(jobs[0].document);
        EXPECT_EQ(info.pages, 2) << info.raw.toStdString();
        EXPECT_NEAR(info.size.width(), c.sheet.width(), 1.0) << info.raw.toStdString();
        EXPECT_NEAR(info.size.height(), c.sheet.height(), 1.0) << info.raw.toStdString();

        const QString first = pageText(jobs[0].document, 1);
        for (const QString& expected : {QStringLiteral("č ř ž ů"), QStringLiteral("┌──┐"), QStringLiteral("│█│")})
            EXPECT_TRUE(first.contains(expected)) << expected.toStdString() << " in " << first.toStdString();
        EXPECT_FALSE(first.contains(QStringLiteral("Strana")));
        EXPECT_TRUE(pageText(jobs[0].document, 2).contains(QStringLiteral("Strana 2")));

        // Recorded two inches from the sheet's corner, printed two inches from the paper's
        // edges: the hardware margins are neither ignored nor counted twice (they are 18 pt).
        const QRectF marker = wordBox(jobs[0].document, 2, QStringLiteral("Strana"));
        ASSERT_FALSE(marker.isNull());
        EXPECT_NEAR(marker.left(), 144.0, 2.0);
        EXPECT_NEAR(marker.top(), 144.0, 2.0);
    }
}

TEST_F(CupsPrinting, PrintDialogJobOptionsReachTheJobButNotItsRange)
{
    const PrivateTempPath temp;
    QtPrinters printers(fonts);
    printers.setPrinterIndex(indexOf(printers, kLaser));
    // What the system print dialog leaves on the printer after the user chose two pages
    // per sheet and a range; the range is ours to draw, the rest is the system's to do.
    printers.qprinter().printEngine()->setProperty(QPrintEngine::PrintEnginePropertyKey(0xfe00),
                                                   QStringList{QStringLiteral("number-up"), QStringLiteral("2"),
                                                               QStringLiteral("page-ranges"), QStringLiteral("2-3"),
                                                               QStringLiteral("copies"), QStringLiteral("4")});
    const TwoPages pages = twoPages(printers.deviceMetrics());
    printJob(printers, {&pages.first});

    const auto jobs = received(kLaser);
    ASSERT_EQ(jobs.size(), 1u) << cups().logTail().toStdString();
    const QStringList options = jobs[0].options.split(QLatin1Char(' '));
    EXPECT_TRUE(options.contains(QStringLiteral("number-up=2"))) << jobs[0].options.toStdString();
    EXPECT_FALSE(jobs[0].options.contains(QStringLiteral("page-ranges"))) << jobs[0].options.toStdString();
    EXPECT_FALSE(options.contains(QStringLiteral("copies=4"))) << jobs[0].options.toStdString();
}

TEST_F(CupsPrinting, RemovedQueueRaisesInsteadOfPrintingOnTheDefault)
{
    ASSERT_TRUE(cups().addCaptureQueue(QStringLiteral("Gone"), QStringLiteral(PAGELLO_TEST_PPD)))
        << cups().error().toStdString();
    ASSERT_TRUE(cups().addCaptureQueue(QStringLiteral("Vanished"))) << cups().error().toStdString();
    const int jobsBefore = cups().jobCount();
    QtPrinters printers(fonts);
    const TwoPages pages = twoPages(printers.deviceMetrics());

    // Used while it existed: its printer object is already made.
    printers.setPrinterIndex(indexOf(printers, QStringLiteral("Gone")));
    printers.deviceMetrics();
    ASSERT_TRUE(cups().removeQueue(QStringLiteral("Gone"))) << cups().error().toStdString();
    try {
        printers.beginDoc();
        printers.drawPage(pages.first, QPoint());
        printers.endDoc();
        ADD_FAILURE() << "a job was started on a removed queue";
    } catch (const EPrinterError& e) {
        EXPECT_TRUE(std::string_view(e.what()).find("Gone") != std::string_view::npos) << e.what();
    }
    EXPECT_FALSE(printers.printing());

    // Removed before its first use.
    ASSERT_TRUE(cups().removeQueue(QStringLiteral("Vanished"))) << cups().error().toStdString();
    printers.setPrinterIndex(indexOf(printers, QStringLiteral("Vanished")));
    EXPECT_THROW(printers.deviceMetrics(), EPrinterError);
    EXPECT_THROW(printers.beginDoc(), EPrinterError);
    EXPECT_FALSE(printers.printing());

    // Nothing was printed anywhere, least of all on the default printer.
    EXPECT_TRUE(received(kLaser).empty());
    EXPECT_EQ(cups().jobCount(), jobsBefore);
}

TEST_F(CupsPrinting, JobTheSchedulerDoesNotTakeRaisesAndIsNotPrintedLater)
{
    const QString refusing = QStringLiteral("Refusing");
    const QString leaving = QStringLiteral("Leaving");
    for (const QString& queue : {refusing, leaving})
        ASSERT_TRUE(cups().addCaptureQueue(queue, QStringLiteral(PAGELLO_TEST_PPD))) << cups().error().toStdString();
    ASSERT_TRUE(cups().setAcceptingJobs(refusing, false)) << cups().error().toStdString();
    const int jobsBefore = cups().jobCount();
    const PrivateTempPath temp;
    QtPrinters printers(fonts);

    const struct
    {
        QString queue;
        std::function<void()> whileDrawing;
    } cases[] = {
        {refusing, [] {}},
        {leaving, [&] { ASSERT_TRUE(cups().removeQueue(leaving)) << cups().error().toStdString(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.queue.toStdString());
        printers.setPrinterIndex(indexOf(printers, c.queue));
        const DeviceMetrics m = printers.deviceMetrics();
        const TwoPages pages = twoPages(m);
        printers.beginDoc();
        printers.drawPage(pages.first, QPoint(-m.physicalOffsetX, -m.physicalOffsetY));
        printers.newPage();
        printers.drawPage(pages.second, QPoint(-m.physicalOffsetX, -m.physicalOffsetY));
        c.whileDrawing();
        try {
            printers.endDoc();
            ADD_FAILURE() << "the job was reported as printed";
        } catch (const EPrinterError& e) {
            EXPECT_TRUE(std::string_view(e.what()).find(c.queue.toStdString()) != std::string_view::npos) << e.what();
        }
        EXPECT_FALSE(printers.printing());
        EXPECT_TRUE(temp.files().isEmpty()) << temp.files().join(' ').toStdString();
    }
    EXPECT_EQ(cups().jobCount(), jobsBefore);

    // Once the queue takes jobs again the same printers print on it, and only the new job
    // arrives.
    ASSERT_TRUE(cups().setAcceptingJobs(refusing, true)) << cups().error().toStdString();
    printers.setPrinterIndex(indexOf(printers, refusing));
    printers.setTitle(QStringLiteral("accepted"));
    const TwoPages pages = twoPages(printers.deviceMetrics());
    printJob(printers, {&pages.second});
    const auto jobs = received(refusing);
    ASSERT_EQ(jobs.size(), 1u) << cups().logTail().toStdString();
    EXPECT_EQ(jobs[0].title, QStringLiteral("accepted"));
    EXPECT_EQ(pdfInfo(jobs[0].document).pages, 1);
    EXPECT_TRUE(received(leaving).empty());
    EXPECT_TRUE(received(kLaser).empty());
}

TEST_F(CupsPrinting, JobWhoseDiskFilledUpWhileDrawnRaisesAndIsNotSent)
{
    const int jobsBefore = cups().jobCount();
    const PrivateTempPath temp;
    QtPrinters printers(fonts);
    printers.setPrinterIndex(indexOf(printers, kLaser));
    const DeviceMetrics m = printers.deviceMetrics();
    const QPoint offset(-m.physicalOffsetX, -m.physicalOffsetY);
    const TwoPages pages = twoPages(m);
    // A photograph of noise: megabytes that no compression makes small, written out while the
    // page is drawn.
    QImage noise(800, 800, QImage::Format_RGB32);
    std::mt19937 random(9);
    std::generate_n(reinterpret_cast<QRgb*>(noise.bits()), 800 * 800, [&] { return random() | 0xff000000u; });
    TMetafile photo;
    photo.addBitmap(QRect(m.logPixelsX, m.logPixelsY, 4 * m.logPixelsX, 4 * m.logPixelsY),
                    std::make_shared<const QImage>(noise));

    // The disk is full while the photograph is drawn, and has room again for the rest: a file-size
    // limit on this process makes the writes past 4 KiB fail (EFBIG), the first of them half done.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedSignal = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{4096, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    printers.beginDoc();
    printers.drawPage(photo, offset);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedSignal);
    std::string error = "no error";
    try {
        printers.newPage();
        printers.drawPage(pages.second, offset);
        printers.endDoc();
    } catch (const EPrinterError& e) {
        error = e.what();
    }
    EXPECT_TRUE(
        error.starts_with("Cannot write the print job for the printer 'Laser' into '" + temp.path().toStdString()))
        << error;
    EXPECT_TRUE(error.ends_with(": File too large")) << error;
    EXPECT_FALSE(printers.printing());
    EXPECT_TRUE(temp.files().isEmpty()) << temp.files().join(' ').toStdString();
    EXPECT_EQ(cups().jobCount(), jobsBefore);

    // The same job goes out whole now.
    printJob(printers, {&photo, &pages.second});
    const auto jobs = received(kLaser);
    ASSERT_EQ(jobs.size(), 1u) << cups().logTail().toStdString();
    EXPECT_TRUE(pageText(jobs[0].document, 2).contains(QStringLiteral("Strana 2")));
}

TEST_F(CupsPrinting, AbortedJobReachesNoPrinterAndLeavesNoFile)
{
    const int jobsBefore = cups().jobCount();
    const PrivateTempPath temp;
    ASSERT_EQ(QDir::tempPath(), temp.path());
    {
        QtPrinters printers(fonts);
        const DeviceMetrics m = printers.deviceMetrics();
        const QPoint offset(-m.physicalOffsetX, -m.physicalOffsetY);
        const TwoPages pages = twoPages(m);
        printers.setTitle(QStringLiteral("aborted"));
        printers.beginDoc();
        printers.drawPage(pages.first, offset);
        printers.newPage();
        printers.drawPage(pages.first, offset);
        EXPECT_NO_THROW(printers.abortDoc());
        EXPECT_FALSE(printers.printing());
        EXPECT_TRUE(temp.files().isEmpty()) << temp.files().join(' ').toStdString();

        // The next job holds only its own sheet.
        printers.setTitle(QStringLiteral("after the abort"));
        printJob(printers, {&pages.second});

        // A job still open when the printers go away is thrown away too.
        printers.setTitle(QStringLiteral("left open"));
        printers.beginDoc();
        printers.drawPage(pages.first, offset);
    }
    EXPECT_TRUE(temp.files().isEmpty()) << temp.files().join(' ').toStdString();

    const auto jobs = received(kLaser);
    ASSERT_EQ(jobs.size(), 1u) << cups().logTail().toStdString();
    EXPECT_EQ(jobs[0].title, QStringLiteral("after the abort"));
    EXPECT_EQ(pdfInfo(jobs[0].document).pages, 1);
    const QString text = pageText(jobs[0].document, 1);
    EXPECT_TRUE(text.contains(QStringLiteral("Strana 2"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("┌"))) << text.toStdString();
    EXPECT_EQ(cups().jobCount(), jobsBefore + 1);
}

TEST_F(CupsPrinting, PreviewPrinterPrintsRenderedTextAsOneJobOnTheDefaultPrinter)
{
    LinuxPlatform desktop;
    TPreviewPrinter engine(desktop.platform());
    engine.Title = QStringLiteral("Pagello : ÚČTY.PRN  1-3");
    engine.RenderText("Strana 1 \x9F\xFD\xA7\x85\r\n\xDA\xC4\xC4\xBF\r\n\fStrana 2\r\n\fStrana 3 konec\r\n"sv);
    ASSERT_EQ(engine.PageCount(), 3);
    // Laid out against the real printer, not the screen.
    const DeviceMetrics m = desktop.printers().deviceMetrics();
    EXPECT_EQ(engine.PixelsPerInchX(), m.logPixelsX);
    EXPECT_EQ(engine.PageWidth(), m.physicalWidth);
    EXPECT_EQ(engine.PageOffsetX(), m.physicalOffsetX);

    EXPECT_TRUE(engine.Print());

    const auto jobs = received(kLaser);
    ASSERT_EQ(jobs.size(), 1u) << cups().logTail().toStdString();
    EXPECT_EQ(jobs[0].title, QStringLiteral("Pagello : ÚČTY.PRN  1-3"));
    const PdfInfo info = pdfInfo(jobs[0].document);
    EXPECT_EQ(info.pages, 3) << info.raw.toStdString();
    for (int page = 1; page <= 3; ++page) {
        SCOPED_TRACE(page);
        const QString text = pageText(jobs[0].document, page);
        EXPECT_TRUE(text.contains(QStringLiteral("Strana %1").arg(page))) << text.toStdString();
        if (page == 1) {
            EXPECT_TRUE(text.contains(QStringLiteral("čřžů"))) << text.toStdString();
            EXPECT_TRUE(text.contains(QStringLiteral("┌──┐"))) << text.toStdString();
        }
    }
}

TEST_F(CupsPrinting, CupsPdfPrinterWritesTheJobWithItsTitle)
{
    if (!PrivateCups::hasCupsPdf())
        GTEST_SKIP() << "cups-pdf is not installed (package printer-driver-cups-pdf)";
    QtPrinters printers(fonts);
    printers.setPrinterIndex(indexOf(printers, kPdf));
    printers.setTitle(QStringLiteral("Pagello : X.PRN  1-3"));
    const TwoPages pages = twoPages(printers.deviceMetrics());
    printJob(printers, {&pages.first, &pages.second});

    ASSERT_TRUE(cups().waitUntilIdle()) << cups().error().toStdString();
    const QStringList outputs = cups().cupsPdfOutputs(kPdf);
    ASSERT_EQ(outputs.size(), 1) << cups().logTail().toStdString();
    const PdfInfo info = pdfInfo(outputs[0]);
    EXPECT_EQ(info.pages, 2) << info.raw.toStdString();
    EXPECT_TRUE(info.title.contains(QStringLiteral("Pagello : X.PRN  1-3"))) << info.raw.toStdString();
    EXPECT_NEAR(info.size.width(), 595, 1.0) << info.raw.toStdString();
    EXPECT_NEAR(info.size.height(), 842, 1.0) << info.raw.toStdString();
}

} // namespace
