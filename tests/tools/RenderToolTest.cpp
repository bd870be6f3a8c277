#include "RenderTool.h"

#include "support/TestSupport.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace {

struct ToolRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs pagello-render as a user would, offscreen and with the default code page unless
// the test says otherwise. A file-size limit stands for a file system that fills up: the
// tool's writes past it fail (EFBIG).
ToolRun runTool(const QStringList& args, const QString& codePageEnv = QString(), rlim_t fileSizeLimit = RLIM_INFINITY)
{
    QProcess process;
    if (fileSizeLimit != RLIM_INFINITY) {
        process.setChildProcessModifier([fileSizeLimit] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{fileSizeLimit, fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        });
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("PAGELLO_CP"));
    // Qt warns on stderr about a missing runtime directory; stderr is the tool's own here.
    static const QTemporaryDir runtimeDir;
    if (!env.contains(QStringLiteral("XDG_RUNTIME_DIR")))
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
    if (!codePageEnv.isEmpty())
        env.insert(QStringLiteral("PAGELLO_CP"), codePageEnv);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(PAGELLO_RENDER_EXE), args);
    ToolRun run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "pagello-render did not finish: " << args.join(' ').toStdString();
        return run;
    }
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << "crashed: " << args.join(' ').toStdString();
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// Runs a helper program (pdftotext, pdfinfo) and returns its standard output.
QString runHelper(const QString& program, const QStringList& args)
{
    QProcess process;
    process.start(program, args);
    process.waitForFinished(60000);
    EXPECT_EQ(process.exitCode(), 0) << program.toStdString() << ": " << process.readAllStandardError().toStdString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

bool writeFile(const QString& path, const std::string& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) &&
           f.write(bytes.data(), static_cast<qint64>(bytes.size())) == static_cast<qint64>(bytes.size());
}

QJsonObject parseJson(const ToolRun& run)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(run.out.toUtf8(), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    return doc.object();
}

QJsonArray pagesOf(const QJsonObject& json)
{
    return json[QStringLiteral("pages")].toArray();
}

std::vector<QJsonObject> textRecords(const QJsonArray& pages, int page)
{
    std::vector<QJsonObject> out;
    for (const QJsonValue& v : pages[page].toObject()[QStringLiteral("records")].toArray()) {
        const QJsonObject r = v.toObject();
        if (r[QStringLiteral("op")].toString() == QLatin1String("text"))
            out.push_back(r);
    }
    return out;
}

QString allText(const QJsonArray& pages)
{
    QString s;
    for (int p = 0; p < pages.size(); ++p) {
        for (const QJsonObject& r : textRecords(pages, p))
            s += r[QStringLiteral("text")].toString() + QLatin1Char('\n');
    }
    return s;
}

std::string numberedLines(int count)
{
    std::string s;
    for (int i = 1; i <= count; ++i)
        s += "Line " + std::to_string(i) + "\r\n";
    return s;
}

bool havePoppler()
{
    return !QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("pdfinfo")).isEmpty();
}

const QString kLaser = QStringLiteral("600:4960x7016:100,100");

} // namespace

TEST(ParseDevice, AcceptsWellFormedDevicesAndRejectsImpossibleOnes)
{
    struct Case
    {
        const char* text;
        std::optional<DeviceMetrics> expected;
    };
    const Case cases[] = {
        {"600:4960x7016:100,100", DeviceMetrics{600, 600, 4960, 7016, 100, 100}},
        {"300x600:2480x7016:0,0", DeviceMetrics{300, 600, 2480, 7016, 0, 0}},
        {"600:4960x6600:4959,6599", DeviceMetrics{600, 600, 4960, 6600, 4959, 6599}},
        {"", std::nullopt},
        {"600", std::nullopt},
        {"600:4960x7016", std::nullopt},
        {"600:4960x7016:100,100:1", std::nullopt},
        {"abc:4960x7016:100,100", std::nullopt},
        {"600:4960:100,100", std::nullopt},
        {"600:4960x7016:100", std::nullopt},
        {"600:4960x:100,100", std::nullopt},
        {"600:4960xabc:100,100", std::nullopt},
        {"6e2:4960x7016:100,100", std::nullopt},
        {" 600:4960x7016:100,100", std::nullopt},
        {"0:4960x7016:100,100", std::nullopt},
        {"600x0:4960x7016:100,100", std::nullopt},
        {"-600:4960x7016:100,100", std::nullopt},
        {"600:0x7016:0,0", std::nullopt},
        {"600:4960x0:0,0", std::nullopt},
        {"600:4960x7016:-1,0", std::nullopt},
        {"600:4960x7016:4960,0", std::nullopt},
        {"600:4960x7016:0,7016", std::nullopt},
        {"600:99999999999x7016:0,0", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        QString why;
        const auto device = parseDevice(QString::fromUtf8(c.text), &why);
        EXPECT_EQ(device, c.expected);
        EXPECT_EQ(why.isEmpty(), c.expected.has_value());
    }
}

TEST(RenderToolJson, WorkedExampleBreaksAfterSixtyTwoLines)
{
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("lines.prn"));
    ASSERT_TRUE(writeFile(input, numberedLines(70)));

    const ToolRun run =
        runTool({input, QStringLiteral("--device"), QStringLiteral("600:4960x6600:100,100"), QStringLiteral("--json")});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QJsonObject json = parseJson(run);

    const QJsonObject device = json[QStringLiteral("device")].toObject();
    EXPECT_EQ(device[QStringLiteral("dpi_x")].toInt(), 600);
    EXPECT_EQ(device[QStringLiteral("dpi_y")].toInt(), 600);
    EXPECT_EQ(device[QStringLiteral("page_width")].toInt(), 4960);
    EXPECT_EQ(device[QStringLiteral("page_height")].toInt(), 6600);
    EXPECT_EQ(device[QStringLiteral("offset_x")].toInt(), 100);
    EXPECT_EQ(device[QStringLiteral("offset_y")].toInt(), 100);

    const QJsonArray pages = pagesOf(json);
    ASSERT_EQ(pages.size(), 2);
    const auto page1 = textRecords(pages, 0);
    ASSERT_EQ(page1.size(), 62u);
    for (int i = 0; i < 62; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(page1[i][QStringLiteral("y")].toInt(), 280 + 100 * i);
        EXPECT_EQ(page1[i][QStringLiteral("text")].toString(), QStringLiteral("Line %1").arg(i + 1));
    }
    const auto page2 = textRecords(pages, 1);
    ASSERT_EQ(page2.size(), 8u);
    EXPECT_EQ(page2[0][QStringLiteral("y")].toInt(), 280);
    EXPECT_EQ(page2[0][QStringLiteral("text")].toString(), QStringLiteral("Line 63"));

    // Every text record carries its font as the dump promises.
    const QJsonObject font = page1[0][QStringLiteral("font")].toObject();
    EXPECT_FALSE(font[QStringLiteral("name")].toString().isEmpty());
    EXPECT_GT(font[QStringLiteral("size")].toInt(), 0);
    EXPECT_TRUE(font[QStringLiteral("bold")].isBool());
    EXPECT_TRUE(font[QStringLiteral("underline")].isBool());
    EXPECT_EQ(page1[0][QStringLiteral("x")].toInt(), page1[61][QStringLiteral("x")].toInt());
}

TEST(RenderToolJson, CzechSampleKeepsStylesAndDropsWhatFollowsTheEndMarker)
{
    const ToolRun run = runTool(
        {testDataPath(QStringLiteral("czech.prn")), QStringLiteral("--device"), kLaser, QStringLiteral("--json")});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QJsonArray pages = pagesOf(parseJson(run));
    ASSERT_EQ(pages.size(), 3);

    const QString text = allText(pages);
    for (const char* expected : {"FAKTURA č. 2024/0815", "Příliš žluťoučký kůň úpěl ďábelské ódy.", "┌", "─", "┼", "═",
                                 "Vytištěno programem pro DOS"}) {
        EXPECT_TRUE(text.contains(QString::fromUtf8(expected))) << expected;
    }
    EXPECT_FALSE(text.contains(QStringLiteral("GARBAGE")));

    bool sawBold = false;
    bool sawPlain = false;
    for (const QJsonObject& r : textRecords(pages, 0)) {
        const bool bold = r[QStringLiteral("font")].toObject()[QStringLiteral("bold")].toBool();
        if (r[QStringLiteral("text")].toString().contains(QStringLiteral("FAKTURA")))
            sawBold = sawBold || bold;
        if (r[QStringLiteral("text")].toString().contains(QStringLiteral("Dodavatel")))
            sawPlain = sawPlain || !bold;
    }
    EXPECT_TRUE(sawBold) << "ESC E did not reach the dump as a bold font";
    EXPECT_TRUE(sawPlain) << "ESC F did not end the bold run";
}

TEST(RenderToolJson, CodePageDecidesTheCharacters)
{
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("cp.prn"));
    // Quotes and backslashes must survive the JSON escaping; 0x9F 0xFD are "čř" in 852.
    ASSERT_TRUE(writeFile(input, "Say \"C:\\DOS\" \x9f\xfd\r\n"));

    struct Case
    {
        QStringList extraArgs;
        QString env;
        const char* expected;
        bool warned = false; // PAGELLO_CP is reported as unknown
    };
    const char* const in852 = "Say \"C:\\DOS\" čř";
    const Case cases[] = {
        {{}, QString(), in852},
        {{QStringLiteral("--cp"), QStringLiteral("437")}, QString(), "Say \"C:\\DOS\" ƒ²"},
        {{}, QStringLiteral("437"), "Say \"C:\\DOS\" ƒ²"},
        {{QStringLiteral("--cp"), QStringLiteral("852")}, QStringLiteral("437"), in852},
        // Anything but a known code page falls back to 852, and says so.
        {{}, QStringLiteral("4294967733"), in852, true},
        {{}, QStringLiteral("+437"), in852, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extraArgs.join(' ').toStdString() + " PAGELLO_CP=" + c.env.toStdString());
        const ToolRun run = runTool(
            QStringList{input, QStringLiteral("--device"), kLaser, QStringLiteral("--json")} + c.extraArgs, c.env);
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_EQ(run.err,
                  c.warned
                      ? QStringLiteral("pagello-render: PAGELLO_CP: unknown code page '%1', using 852\n").arg(c.env)
                      : QString());
        const auto records = textRecords(pagesOf(parseJson(run)), 0);
        ASSERT_FALSE(records.empty());
        QString line;
        for (const QJsonObject& r : records)
            line += r[QStringLiteral("text")].toString();
        EXPECT_EQ(line, QString::fromUtf8(c.expected));
    }
}

TEST(RenderToolPdf, CzechSampleKeepsLettersBoxesAndTitle)
{
    if (!havePoppler())
        GTEST_SKIP() << "pdftotext/pdfinfo (poppler-utils) not installed";
    QTemporaryDir dir;
    const QString pdf = dir.filePath(QStringLiteral("czech.pdf"));
    const ToolRun run = runTool(
        {testDataPath(QStringLiteral("czech.prn")), QStringLiteral("--device"), kLaser, QStringLiteral("-o"), pdf});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    const QString text = runHelper(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), pdf, QStringLiteral("-")});
    for (const char* expected : {"č", "ř", "ž", "ů", "─", "┌", "│", "FAKTURA", "Příliš žluťoučký kůň"})
        EXPECT_TRUE(text.contains(QString::fromUtf8(expected))) << expected << "\n" << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("GARBAGE")));

    const QString info = runHelper(QStringLiteral("pdfinfo"), {pdf});
    EXPECT_TRUE(info.contains(QRegularExpression(QStringLiteral("^Pages:\\s+3$"), QRegularExpression::MultilineOption)))
        << info.toStdString();
    EXPECT_TRUE(info.contains(QRegularExpression(QStringLiteral("^Title:\\s+Pagello : czech.prn  1-3$"),
                                                 QRegularExpression::MultilineOption)))
        << info.toStdString();
}

TEST(RenderToolPdf, UnequalResolutionsGiveTheSheetAndWordsOfEqualOnes)
{
    if (!havePoppler())
        GTEST_SKIP() << "pdftotext/pdfinfo (poppler-utils) not installed";
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("runs.prn"));
    // Runs after a run: where each begins is the width of those before it.
    ASSERT_TRUE(writeFile(input, "Plain \x1b"
                                 "EBold\x1b"
                                 "F tail\r\nLine two is here\r\n"));

    // The same A4 sheet and margins at 600 dpi, and at 600 x 300 and 300 x 600.
    const auto layout = [&](const QString& device) {
        const QString pdf = dir.filePath(device + QStringLiteral(".pdf"));
        const ToolRun run = runTool({input, QStringLiteral("--device"), device, QStringLiteral("-o"), pdf});
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        const QString info = runHelper(QStringLiteral("pdfinfo"), {pdf});
        const QString boxes =
            runHelper(QStringLiteral("pdftotext"), {QStringLiteral("-bbox"), pdf, QStringLiteral("-")});
        QStringList words{info.section(QStringLiteral("Page size:"), 1).section(QLatin1Char('\n'), 0, 0).simplified()};
        const QRegularExpression word(QStringLiteral("<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\" xMax=\"([0-9.]+)\" "
                                                     "yMax=\"([0-9.]+)\">([^<]*)</word>"));
        // Each word with its box in half points: one a letter out of place (7.2 pt) or drawn at
        // another width is far off.
        for (auto it = word.globalMatch(boxes); it.hasNext();) {
            const auto m = it.next();
            words << m.captured(5);
            for (int i = 1; i <= 4; ++i)
                words.last() += QLatin1Char(' ') + QString::number(qRound(m.captured(i).toDouble() * 2));
        }
        return words.join(QLatin1Char('\n')).toStdString();
    };
    const std::string square = layout(QStringLiteral("600:4960x7016:100,100"));
    EXPECT_TRUE(square.starts_with("595.2 x 841.92 pts")) << square;
    EXPECT_EQ(std::count(square.begin(), square.end(), '\n'), 7) << square;
    EXPECT_EQ(layout(QStringLiteral("600x300:4960x3508:100,50")), square);
    EXPECT_EQ(layout(QStringLiteral("300x600:2480x7016:50,100")), square);
}

TEST(RenderToolPdf, DefaultPrinterLayoutPrintsTheSamePages)
{
    if (!havePoppler())
        GTEST_SKIP() << "pdfinfo (poppler-utils) not installed";
    // Without --device the pages are laid out for the default printer (or the screen)
    // and then printed into the PDF: the PDF must have as many pages as the layout.
    const QString input = testDataPath(QStringLiteral("czech.prn"));
    const ToolRun json = runTool({input, QStringLiteral("--json")});
    ASSERT_EQ(json.exitCode, 0) << json.err.toStdString();
    const int pages = static_cast<int>(pagesOf(parseJson(json)).size());
    ASSERT_GT(pages, 0);

    QTemporaryDir dir;
    const QString pdf = dir.filePath(QStringLiteral("out.pdf"));
    const ToolRun run = runTool({input, QStringLiteral("--output=") + pdf});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QString info = runHelper(QStringLiteral("pdfinfo"), {pdf});
    EXPECT_TRUE(info.contains(
        QRegularExpression(QStringLiteral("^Pages:\\s+%1$").arg(pages), QRegularExpression::MultilineOption)))
        << info.toStdString();
}

TEST(RenderToolPng, WritesOnePageImageAtTwoHundredDpi)
{
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("png/nested"));
    const ToolRun run = runTool(
        {testDataPath(QStringLiteral("czech.prn")), QStringLiteral("--device"), kLaser, QStringLiteral("--png"), out});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    const QStringList files = QDir(out).entryList(QDir::Files, QDir::Name);
    EXPECT_EQ(files, (QStringList{QStringLiteral("page-001.png"), QStringLiteral("page-002.png"),
                                  QStringLiteral("page-003.png")}));
    for (const QString& name : files) {
        SCOPED_TRACE(name.toStdString());
        const QImage image(QDir(out).filePath(name));
        ASSERT_FALSE(image.isNull());
        // 600 dpi scaled down to 200: a third of the sheet.
        EXPECT_EQ(image.size(), QSize(1653, 2339));
        int dark = 0;
        for (int y = 0; y < image.height(); y += 2) {
            for (int x = 0; x < image.width(); x += 2)
                dark += qGray(image.pixel(x, y)) < 128;
        }
        EXPECT_GT(dark, 100) << "the page was left blank";
    }
}

TEST(RenderToolPng, RefusesAPageImageTooLargeToHoldBeforeMakingIt)
{
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("png"));
    const QString input = testDataPath(QStringLiteral("czech.prn"));
    // Too long a side; 400 megapixels with sides that would do; hundreds of millions of pixels a
    // side even at 200 dpi.
    for (const char* device : {"200:40000x100:0,0", "200:20000x20000:0,0", "600:999999999x999999999:0,0"}) {
        SCOPED_TRACE(device);
        const ToolRun run =
            runTool({input, QStringLiteral("--device"), QString::fromUtf8(device), QStringLiteral("--png"), out});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(run.err.contains(QStringLiteral("is too large"))) << run.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(out));
    }
}

TEST(RenderToolErrors, BadArgumentsAndInputExitWithUsage)
{
    QTemporaryDir dir;
    const QString input = testDataPath(QStringLiteral("czech.prn"));
    const QString pdf = dir.filePath(QStringLiteral("x.pdf"));
    struct Case
    {
        QStringList args;
        const char* message;
    };
    const Case cases[] = {
        {{}, "no input file"},
        {{input}, "no output"},
        {{dir.filePath(QStringLiteral("missing.prn")), QStringLiteral("--json")}, "missing.prn"},
        {{dir.path(), QStringLiteral("--json")}, "directory"},
        {{input, QStringLiteral("--json"), QStringLiteral("--frobnicate")}, "unknown option --frobnicate"},
        {{input, QStringLiteral("--json"), QStringLiteral("--device")}, "--device needs a value"},
        {{input, QStringLiteral("--device"), QStringLiteral("--json")}, "--device needs a value"},
        {{input, QStringLiteral("-o")}, "-o needs a value"},
        {{input, QStringLiteral("--json"), QStringLiteral("--device"), QStringLiteral("600:4960x7016")}, "--device"},
        {{input, QStringLiteral("--json"), QStringLiteral("--device"), QStringLiteral("0:4960x7016:0,0")}, "--device"},
        {{input, QStringLiteral("--json"), QStringLiteral("--device"), QStringLiteral("600:4960x7016:5000,0")},
         "--device"},
        {{input, QStringLiteral("--json"), QStringLiteral("--cp"), QStringLiteral("99999")}, "code page 99999"},
        {{input, QStringLiteral("--json"), QStringLiteral("--cp"), QStringLiteral("latin")}, "--cp"},
        {{input, QStringLiteral("--json"), QStringLiteral("--cp"), QStringLiteral("+437")}, "bad --cp '+437'"},
        {{input, QStringLiteral("--json"), QStringLiteral("--logo"), dir.filePath(QStringLiteral("none.bmp"))},
         "none.bmp"},
        {{input, QStringLiteral("--json"), QStringLiteral("-o"), pdf}, "only one of"},
        {{input, input, QStringLiteral("--json")}, "only one input file"},
        {{input, QStringLiteral("--preview"), QStringLiteral("--json")}, "only one of"},
        // Offscreen, a preview window would wait for a user who cannot see it.
        {{input, QStringLiteral("--preview")}, "needs a display"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const ToolRun run = runTool(c.args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.out.isEmpty()) << run.out.toStdString();
        EXPECT_TRUE(run.err.contains(QString::fromUtf8(c.message))) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains(
            QRegularExpression(QStringLiteral("^pagello-render: "), QRegularExpression::MultilineOption)))
            << run.err.toStdString();
    }
    EXPECT_FALSE(QFile::exists(pdf));
}

TEST(RenderToolErrors, OutputFailureExitsWithOneAndHelpWithZero)
{
    const ToolRun failed = runTool({testDataPath(QStringLiteral("czech.prn")), QStringLiteral("--device"), kLaser,
                                    QStringLiteral("-o"), QStringLiteral("/nonexistent-dir/sub/out.pdf")});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_FALSE(failed.err.isEmpty());

    // Nothing before the end marker: no pages, so no PDF of a blank sheet either.
    QTemporaryDir dir;
    const QString empty = dir.filePath(QStringLiteral("empty.prn"));
    ASSERT_TRUE(writeFile(empty, std::string("\r\0garbage", 9)));
    const QString pdf = dir.filePath(QStringLiteral("empty.pdf"));
    const ToolRun nothing = runTool({empty, QStringLiteral("--device"), kLaser, QStringLiteral("-o"), pdf});
    EXPECT_EQ(nothing.exitCode, 1);
    EXPECT_TRUE(nothing.err.contains(QStringLiteral("no pages"))) << nothing.err.toStdString();
    EXPECT_FALSE(QFile::exists(pdf));

    const ToolRun help = runTool({QStringLiteral("--help")});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.startsWith(QStringLiteral("Usage: pagello-render"))) << help.out.toStdString();
    EXPECT_TRUE(help.err.isEmpty());
}

TEST(RenderToolErrors, PdfNotWrittenWholeFailsAndLeavesWhatWasThere)
{
    const QString input = testDataPath(QStringLiteral("czech.prn"));
    const QString devFull = QStringLiteral("/dev/full");
    const ToolRun full = runTool({input, QStringLiteral("--device"), kLaser, QStringLiteral("-o"), devFull});
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_TRUE(full.err.contains(
        QStringLiteral("pagello-render: Cannot write the PDF file '/dev/full': No space left on device")))
        << full.err.toStdString();
    // A device is written into, never removed (the tool may well run as root).
    EXPECT_TRUE(QFileInfo::exists(devFull) && !QFileInfo(devFull).isFile());

    // A file system that fills up on the way: an earlier file at the name is kept as it was,
    // and nothing half written is left beside it.
    QTemporaryDir dir;
    const QString earlier = dir.filePath(QStringLiteral("earlier.pdf"));
    const std::string earlierBytes = "%PDF-1.4 an earlier good file";
    ASSERT_TRUE(writeFile(earlier, earlierBytes));
    const ToolRun cut =
        runTool({input, QStringLiteral("--device"), kLaser, QStringLiteral("-o"), earlier}, QString(), 4096);
    EXPECT_EQ(cut.exitCode, 1);
    EXPECT_TRUE(cut.err.contains(QStringLiteral("Cannot write the PDF file '%1': File too large").arg(earlier)))
        << cut.err.toStdString();
    EXPECT_EQ(readBytes(earlier), earlierBytes);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("earlier.pdf")});

    // Room enough: the file is replaced whole, and a pipe is written into directly.
    EXPECT_EQ(runTool({input, QStringLiteral("--device"), kLaser, QStringLiteral("-o"), earlier}).exitCode, 0);
    EXPECT_GT(readBytes(earlier).size(), 4096u);
    const ToolRun piped =
        runTool({input, QStringLiteral("--device"), kLaser, QStringLiteral("-o"), QStringLiteral("/dev/stdout")});
    EXPECT_TRUE(piped.exitCode == 0 && piped.out.startsWith(QStringLiteral("%PDF-"))) << piped.err.toStdString();
}

TEST(RenderToolErrors, RefusedDocumentIsNamedAndLeavesNoPdf)
{
    // Page 2 would need three records for each of its 70,000 vertical rules.
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("rules.prn"));
    ASSERT_TRUE(writeFile(input, "A\f" + std::string(70000, '\xb3') + "B"));
    const QString pdf = dir.filePath(QStringLiteral("rules.pdf"));
    const QString expected =
        QStringLiteral("pagello-render: %1: Page 2 needs more than 200000 drawing records\n").arg(input);
    for (const QStringList& output : {QStringList{QStringLiteral("--json")}, QStringList{QStringLiteral("-o"), pdf}}) {
        SCOPED_TRACE(output.join(' ').toStdString());
        const ToolRun run = runTool(QStringList{input, QStringLiteral("--device"), kLaser} + output);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, expected);
    }
    EXPECT_FALSE(QFile::exists(pdf));
}
