#include "RenderTool.h"

#include "platform/OemCodePage.h"
#include "platform/linux/LinuxPlatform.h"
#include "support/TestSupport.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <set>
#include <string>
#include <tuple>
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
ToolRun runTool(const QStringList& args, const QString& codePageEnv = QString(), rlim_t fileSizeLimit = RLIM_INFINITY,
                const QProcessEnvironment& extra = {})
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
    env.insert(extra);
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

bool haveProgram(const char* name)
{
    return !QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty();
}

const QString kLaser = QStringLiteral("600:4960x7016:100,100");

// The byte of each character of the code page.
QHash<QChar, char> bytesOf(const OemCodePage& codePage)
{
    QHash<QChar, char> bytes;
    for (int b = 255; b > 0; --b)
        bytes.insert(codePage.glyph(static_cast<unsigned char>(b)), static_cast<char>(b));
    bytes.insert(QLatin1Char(' '), ' ');
    return bytes;
}

// Text as a DOS program writes it: the bytes of its characters in the code page; control
// characters (line ends, escapes) as they are.
std::string encode(const QString& text, const OemCodePage& codePage)
{
    const QHash<QChar, char> bytes = bytesOf(codePage);
    std::string out;
    for (const QChar c : text) {
        const auto it = bytes.constFind(c);
        if (c.unicode() < 0x20)
            out += static_cast<char>(c.unicode());
        else if (it == bytes.constEnd())
            ADD_FAILURE() << "no byte for U+" << std::hex << int(c.unicode());
        else
            out += *it;
    }
    return out;
}

// A character the layout placed, from x0 to x1 in device pixels.
struct Cell
{
    QChar character;
    long long x0 = 0;
    long long x1 = 0;
};

struct LaidLine
{
    int y = 0;
    std::vector<Cell> cells;
};

// The characters of the first page of a --json dump, line by line, each where the layout put
// it: the record's x plus the layout's advances of the characters before it in the record.
// The advances are the layout's own, measured the same way; a run that continues another on
// its line must begin where that one ends, which proves it.
std::vector<LaidLine> laidLines(const QJsonObject& json, const OemCodePage& codePage)
{
    const int dpiX = json[QStringLiteral("device")].toObject()[QStringLiteral("dpi_x")].toInt();
    const int dpiY = json[QStringLiteral("device")].toObject()[QStringLiteral("dpi_y")].toInt();
    QtFonts fonts(codePage);
    const QHash<QChar, char> bytes = bytesOf(codePage);

    std::vector<LaidLine> lines;
    for (const QJsonObject& r : textRecords(pagesOf(json), 0)) {
        const QJsonObject f = r[QStringLiteral("font")].toObject();
        FontSpec font;
        font.name = f[QStringLiteral("name")].toString();
        font.size = f[QStringLiteral("size")].toInt();
        font.pixelSize = pointsToPixels(font.size, dpiY);
        // Where pixels are not square, the em is measured as wide as its height at dpiX.
        if (dpiX != dpiY)
            font.pixelWidth = (2 * font.pixelSize * dpiX + dpiY) / (2 * dpiY);
        font.style = (f[QStringLiteral("bold")].toBool() ? fsBold : 0) |
                     (f[QStringLiteral("underline")].toBool() ? fsUnderline : 0);
        font.charset = OEM_CHARSET;
        const GlyphAdvances& advances = fonts.advances(font);

        const int y = r[QStringLiteral("y")].toInt();
        long long x = r[QStringLiteral("x")].toInt();
        if (lines.empty() || lines.back().y != y)
            lines.push_back(LaidLine{y, {}});
        else
            EXPECT_EQ(x, lines.back().cells.back().x1) << "a run of line " << y << " does not continue the one before";
        for (const QChar c : r[QStringLiteral("text")].toString()) {
            const long long advance = advances[static_cast<unsigned char>(bytes.value(c))];
            lines.back().cells.push_back(Cell{c, x, x + advance});
            x += advance;
        }
    }
    return lines;
}

struct WordBox
{
    QString text;
    double xMin = 0;
    double yMin = 0;
    double xMax = 0;
    double yMax = 0;
};

// The words of the laid lines, in points from the sheet's top left corner; the top of each is
// the top of its line.
std::vector<WordBox> laidWords(const std::vector<LaidLine>& lines, int dpiX, int dpiY)
{
    std::vector<WordBox> words;
    for (const LaidLine& line : lines) {
        bool inWord = false;
        for (const Cell& cell : line.cells) {
            if (cell.character == QLatin1Char(' ')) {
                inWord = false;
                continue;
            }
            if (!inWord)
                words.push_back(WordBox{{}, cell.x0 * 72.0 / dpiX, line.y * 72.0 / dpiY});
            inWord = true;
            words.back().text += cell.character;
            words.back().xMax = cell.x1 * 72.0 / dpiX;
        }
    }
    return words;
}

// The words of a PDF with their boxes in points, as pdftotext reads them.
std::vector<WordBox> pdfWords(const QString& pdf)
{
    const QString boxes = runHelper(QStringLiteral("pdftotext"), {QStringLiteral("-bbox"), pdf, QStringLiteral("-")});
    static const QRegularExpression word(QStringLiteral(
        "<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\" xMax=\"([0-9.]+)\" yMax=\"([0-9.]+)\">([^<]*)</word>"));
    std::vector<WordBox> words;
    for (auto it = word.globalMatch(boxes); it.hasNext();) {
        const auto m = it.next();
        words.push_back(WordBox{m.captured(5), m.captured(1).toDouble(), m.captured(2).toDouble(),
                                m.captured(3).toDouble(), m.captured(4).toDouble()});
    }
    return words;
}

// A page image in grey; a pixel darker than mid grey is ink.
QImage grey(const QString& path)
{
    return QImage(path).convertToFormat(QImage::Format_Grayscale8);
}

bool ink(const QImage& image, int x, int y)
{
    return image.rect().contains(x, y) && image.constScanLine(y)[x] < 128;
}

bool inkNear(const QImage& image, int x, int y)
{
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            if (ink(image, x + dx, y + dy))
                return true;
        }
    }
    return false;
}

// Two drawings of one page agree but for anti-aliasing: each band of rows with ink (a line of
// text) has its ink within a pixel of the other's on every side, and next to no ink of either
// lies more than a pixel away from the other's. Returns the number of bands.
int expectSameInk(const QImage& replay, const QImage& pdf)
{
    EXPECT_EQ(replay.size(), pdf.size());
    if (replay.size() != pdf.size())
        return 0;
    long long dark = 0;
    long long strays = 0;
    std::vector<bool> inkedRow(replay.height());
    for (int y = 0; y < replay.height(); ++y) {
        for (int x = 0; x < replay.width(); ++x) {
            const bool a = ink(replay, x, y);
            const bool b = ink(pdf, x, y);
            dark += a + b;
            strays += (a && !inkNear(pdf, x, y)) + (b && !inkNear(replay, x, y));
            inkedRow[y] = inkedRow[y] || a || b;
        }
    }
    EXPECT_LE(strays * 500, dark) << strays << " of " << dark << " dark pixels are off by more than a pixel";

    const auto box = [](const QImage& image, int top, int bottom) {
        QRect r;
        for (int y = top; y < bottom; ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (ink(image, x, y))
                    r = r.united(QRect(x, y, 1, 1));
            }
        }
        return r;
    };
    int bands = 0;
    for (int y = 0; y < replay.height(); ++y) {
        if (!inkedRow[y])
            continue;
        const int top = y;
        while (y < replay.height() && inkedRow[y])
            ++y;
        ++bands;
        const QRect a = box(replay, top, y);
        const QRect b = box(pdf, top, y);
        SCOPED_TRACE(testing::Message() << "rows " << top << " to " << y);
        EXPECT_FALSE(a.isNull() || b.isNull()) << "ink in only one of the drawings";
        EXPECT_NEAR(a.left(), b.left(), 1);
        EXPECT_NEAR(a.right(), b.right(), 1);
        EXPECT_NEAR(a.top(), b.top(), 1);
        EXPECT_NEAR(a.bottom(), b.bottom(), 1);
    }
    return bands;
}

// A logo: a dark mark in a frame a pixel wide, on white, which the pages show through.
QString writeLogo(const QTemporaryDir& dir, QSize size, QRect mark)
{
    QImage logo(size, QImage::Format_RGB32);
    logo.fill(Qt::white);
    {
        QPainter painter(&logo);
        painter.fillRect(mark, QColor(0, 0, 160));
        painter.setPen(Qt::black);
        painter.drawRect(mark.adjusted(-2, -2, 1, 1));
    }
    const QString path = dir.filePath(QStringLiteral("logo%1.png").arg(size.width()));
    EXPECT_TRUE(logo.save(path));
    return path;
}

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

TEST(RenderToolPdf, CzechSampleIsASoundFileThatReadsBackWhole)
{
    if (!havePoppler() || !haveProgram("pdffonts") || !haveProgram("pdfimages"))
        GTEST_SKIP() << "pdftotext, pdfinfo, pdffonts, pdfimages (poppler-utils) not installed";
    QTemporaryDir dir;
    const QString pdf = dir.filePath(QStringLiteral("czech.pdf"));
    const ToolRun run = runTool({testDataPath(QStringLiteral("czech.prn")), QStringLiteral("--device"), kLaser,
                                 QStringLiteral("--logo"), writeLogo(dir, QSize(40, 60), QRect(4, 44, 16, 8)),
                                 QStringLiteral("-o"), pdf});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    // Whole lines, letters, boxes and rules exactly: every byte maps back to its character.
    const QStringList lines = runHelper(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")}).split('\n');
    for (const char* expected :
         {"FAKTURA č. 2024/0815", "Dodavatel: Účetní služby Řehoř, s.r.o., Žižkova 12, České Budějovice",
          "Příliš žluťoučký kůň úpěl ďábelské ódy.", "┌──────────────────────────┬──────────┬──────────────┐",
          "├──────────────────────────┼──────────┼──────────────┤",
          "└──────────────────────────┴──────────┴──────────────┘", "│ Položka",
          "════════════════════════════════════════════════════",
          "Normální hustota: čeština s háčky a čárkami - ěščřžýáíéůú ĚŠČŘŽÝÁÍÉŮÚ.",
          "Zhuštěný tisk: řádek obsahuje více znaků, než se vejde v normální hustotě písma.",
          "Vytištěno programem pro DOS; strana 3 ze 3."})
        EXPECT_TRUE(lines.contains(QString::fromUtf8(expected))) << expected << "\n" << lines.join('\n').toStdString();
    EXPECT_FALSE(lines.join('\n').contains(QStringLiteral("GARBAGE")));

    const QString info = runHelper(QStringLiteral("pdfinfo"), {pdf});
    EXPECT_TRUE(info.contains(QRegularExpression(QStringLiteral("^Pages:\\s+3$"), QRegularExpression::MultilineOption)))
        << info.toStdString();
    EXPECT_TRUE(info.contains(QRegularExpression(QStringLiteral("^Title:\\s+Pagello : czech.prn  1-3$"),
                                                 QRegularExpression::MultilineOption)))
        << info.toStdString();

    // The regular and the bold face, each embedded as a subset and mapped back to text.
    const QString fonts = runHelper(QStringLiteral("pdffonts"), {pdf});
    const QRegularExpression font(
        QStringLiteral("^[A-Z]{6}\\+(\\S+)\\s+CID TrueType\\s+\\S+\\s+(\\S+)\\s+(\\S+)\\s+(\\S+)\\s+\\d+\\s+\\d+$"),
        QRegularExpression::MultilineOption);
    std::set<QString> faces;
    for (auto it = font.globalMatch(fonts); it.hasNext();) {
        const auto m = it.next();
        faces.insert(m.captured(1));
        EXPECT_EQ(m.captured(2) + m.captured(3) + m.captured(4), QStringLiteral("yesyesyes"))
            << m.captured(0).toStdString();
    }
    EXPECT_EQ(faces.size(), 2u) << fonts.toStdString();
    EXPECT_EQ(fonts.count(QLatin1Char('\n')), 2 + fonts.count(QStringLiteral("CID TrueType"))) << fonts.toStdString();

    // The logo of every page is one image, with its transparency as a mask.
    const QStringList images = runHelper(QStringLiteral("pdfimages"), {QStringLiteral("-list"), pdf}).split('\n');
    std::set<QString> pages, objects;
    int masks = 0;
    for (const QString& line : images.mid(2)) {
        const QStringList fields = line.simplified().split(QLatin1Char(' '));
        if (fields.size() < 11)
            continue;
        if (fields[2] == QLatin1String("image")) {
            pages.insert(fields[0]);
            objects.insert(fields[10]);
        }
        masks += fields[2] == QLatin1String("smask");
    }
    EXPECT_EQ(pages.size(), 3u) << images.join('\n').toStdString();
    EXPECT_EQ(objects.size(), 1u) << images.join('\n').toStdString();
    EXPECT_EQ(masks, 3) << images.join('\n').toStdString();

    if (!haveProgram("qpdf"))
        GTEST_SKIP() << "qpdf not installed: the file's structure was not checked";
    const QString check = runHelper(QStringLiteral("qpdf"), {QStringLiteral("--check"), pdf});
    EXPECT_TRUE(check.contains(QStringLiteral("No syntax or stream encoding errors found"))) << check.toStdString();
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
        QStringList words{info.section(QStringLiteral("Page size:"), 1).section(QLatin1Char('\n'), 0, 0).simplified()};
        // Each word with its box in half points: one a letter out of place (7.2 pt) or drawn at
        // another width is far off.
        for (const WordBox& w : pdfWords(pdf)) {
            words << w.text;
            for (const double v : {w.xMin, w.yMin, w.xMax, w.yMax})
                words.last() += QLatin1Char(' ') + QString::number(qRound(v * 2));
        }
        return words.join(QLatin1Char('\n')).toStdString();
    };
    const std::string square = layout(QStringLiteral("600:4960x7016:100,100"));
    EXPECT_TRUE(square.starts_with("595.2 x 841.92 pts")) << square;
    EXPECT_EQ(std::count(square.begin(), square.end(), '\n'), 7) << square;
    EXPECT_EQ(layout(QStringLiteral("600x300:4960x3508:100,50")), square);
    EXPECT_EQ(layout(QStringLiteral("300x600:2480x7016:50,100")), square);
}

TEST(RenderToolPdf, EveryWordStandsWhereTheLayoutPutItAtEveryResolution)
{
    if (!havePoppler())
        GTEST_SKIP() << "pdftotext/pdfinfo (poppler-utils) not installed";
    const OemCodePage codePage = *OemCodePage::load(852);
    // 12 pt plain, bold and underlined, 10 pt elite, and a condensed 7 pt line of 130 columns:
    // a glyph drawn at its face's own advance instead of the layout's drifts along the line,
    // by points at its end.
    QString condensed = QStringLiteral("Kód  Položka  Množství  Cena  Řezníčková  Šťastný  Žluťoučký  úpěl  "
                                       "ďábelské  ódy  Čechy  Ústí nad Labem  Plzeň  Třebíč");
    condensed = condensed.leftJustified(125) + QStringLiteral("KONEC");
    const std::string spool = encode(QStringLiteral("Odběratel: Řezníčková Alžběta, Žďár nad Sázavou\r\n"
                                                    "\x1b"
                                                    "EŽĎÁR NAD SÁZAVOU\x1b"
                                                    "F tučné písmo\r\n"),
                                     codePage) +
                              "\x1b-\x01" + encode(QStringLiteral("Podtržený řádek účtu"), codePage) + "\x1b-\xff" +
                              encode(QStringLiteral(" a dál\r\n\x1bMElitní písmo: příliš žluťoučký kůň úpěl "
                                                    "ďábelské ódy\x1bP\r\n\x0f") +
                                         condensed + QStringLiteral("\x12\r\n"),
                                     codePage);
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("words.prn"));
    ASSERT_TRUE(writeFile(input, spool));

    // And on pixels twice as wide as high, where each size of font is stretched by its own
    // rounding of the em.
    for (const char* device :
         {"300:2480x3508:50,50", "600:4960x7016:100,100", "1200:9920x14032:200,200", "600x300:4960x3508:100,50"}) {
        SCOPED_TRACE(device);
        const QStringList args{input, QStringLiteral("--device"), QString::fromLatin1(device)};
        const ToolRun dump = runTool(args + QStringList{QStringLiteral("--json")});
        ASSERT_EQ(dump.exitCode, 0) << dump.err.toStdString();
        const QJsonObject json = parseJson(dump);
        const std::vector<LaidLine> lines = laidLines(json, codePage);
        ASSERT_EQ(lines.size(), 5u);
        ASSERT_EQ(lines.back().cells.size(), 130u);
        const QJsonObject metrics = json[QStringLiteral("device")].toObject();
        const std::vector<WordBox> expected =
            laidWords(lines, metrics[QStringLiteral("dpi_x")].toInt(), metrics[QStringLiteral("dpi_y")].toInt());

        const QString pdf = dir.filePath(QStringLiteral("words.pdf"));
        const ToolRun run = runTool(args + QStringList{QStringLiteral("-o"), pdf});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        const std::vector<WordBox> found = pdfWords(pdf);
        QStringList expectedText, foundText;
        for (const WordBox& w : expected)
            expectedText << w.text;
        for (const WordBox& w : found)
            foundText << w.text;
        ASSERT_EQ(foundText, expectedText);
        ASSERT_GT(expected.back().xMax, 500.0) << "the condensed line is too short to show a drift";
        // pdftotext puts a word's top at its base line less the face's ascent, which is where
        // the layout hangs the text from.
        double worst = 0;
        std::string where;
        for (std::size_t i = 0; i < found.size(); ++i) {
            for (const auto& [name, at, laid] : {std::tuple("xMin", found[i].xMin, expected[i].xMin),
                                                 std::tuple("xMax", found[i].xMax, expected[i].xMax),
                                                 std::tuple("yMin", found[i].yMin, expected[i].yMin)}) {
                if (std::abs(at - laid) > worst) {
                    worst = std::abs(at - laid);
                    where = found[i].text.toStdString() + " " + name + " " + std::to_string(at) + " pt, laid out at " +
                            std::to_string(laid);
                }
            }
        }
        EXPECT_LE(worst, 0.1) << where;
    }
}

// An Epson ESC/P 2 document: every word where its commands put it, in its face, and its
// bit image where it belongs. Column 0 is the printable area's left edge (12 pt in), the
// first line's top 0.3 inch below the printable area's top (33.6 pt down).
TEST(RenderToolPdf, EpsonSampleStandsWhereItsCommandsPutIt)
{
    if (!havePoppler() || !haveProgram("pdffonts") || !haveProgram("pdftoppm"))
        GTEST_SKIP() << "pdftotext, pdffonts, pdftoppm (poppler-utils) not installed";
    QTemporaryDir dir;
    const QString input = testDataPath(QStringLiteral("epson.prn"));
    const QString pdf = dir.filePath(QStringLiteral("epson.pdf"));
    const ToolRun run = runTool({input, QStringLiteral("--device"), kLaser, QStringLiteral("--emulation"),
                                 QStringLiteral("escp2"), QStringLiteral("-o"), pdf});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    struct Expected
    {
        const char* word;
        double xMin;
        double yMin;
    };
    const double line = 12; // 1/6 inch
    const Expected expected[] = {
        {"Faktura", 12, 33.6},
        {"ESC/P", 12 + 8 * 7.2, 33.6},
        {"Elite", 12, 33.6 + line},
        {"12cpi", 12 + 6 * 6, 33.6 + line},
        {"Kurzíva", 12, 33.6 + 2 * line},
        {"DVOJITÁ", 12, 33.6 + 3 * line},
        {"ŠÍŘKA", 12 + 8 * 14.4, 33.6 + 3 * line},
        {"Sloupec", 12 + 72, 33.6 + 4 * line},
        {"Graf:", 12, 33.6 + 5 * line},
        {"konec", 12 + 180 + 7.2, 33.6 + 5 * line},
        {"Podtrženo", 12, 33.6 + 6 * line},
        {"normálně", 12 + 10 * 7.2, 33.6 + 6 * line},
        {"Strana", 12, 33.6},
        {"2", 12 + 7 * 7.2, 33.6},
    };
    const std::vector<WordBox> found = pdfWords(pdf);
    ASSERT_EQ(found.size(), std::size(expected));
    for (std::size_t i = 0; i < found.size(); ++i) {
        SCOPED_TRACE(expected[i].word);
        EXPECT_EQ(found[i].text, QString::fromUtf8(expected[i].word));
        EXPECT_NEAR(found[i].xMin, expected[i].xMin, 0.5);
        EXPECT_NEAR(found[i].yMin, expected[i].yMin, 0.5);
    }
    // Double width: twice the width of the 10-cpi cells, 14.4 pt a letter.
    EXPECT_NEAR(found[6].xMax - found[6].xMin, 5 * 14.4, 0.5);

    // The upright, bold and italic faces, each embedded and mapped back to text.
    const QString fonts = runHelper(QStringLiteral("pdffonts"), {pdf});
    EXPECT_TRUE(fonts.contains(QRegularExpression(QStringLiteral("\\+\\S*Mono\\S*Italic")))) << fonts.toStdString();
    EXPECT_TRUE(fonts.contains(QRegularExpression(QStringLiteral("\\+\\S*Mono\\S*Bold")))) << fonts.toStdString();
    std::set<QString> faces;
    static const QRegularExpression face(QStringLiteral("^[A-Z]{6}\\+(\\S+)\\s+CID TrueType\\s+\\S+\\s+yes yes yes"),
                                         QRegularExpression::MultilineOption);
    for (auto it = face.globalMatch(fonts); it.hasNext();)
        faces.insert(it.next().captured(1));
    EXPECT_EQ(faces.size(), 3u) << fonts.toStdString();

    // The bar of the bit image: 2 inches from the left margin, half an inch wide, 24/180 inch
    // high on the sixth line.
    const QString png = dir.filePath(QStringLiteral("page"));
    runHelper(QStringLiteral("pdftoppm"),
              {QStringLiteral("-r"), QStringLiteral("72"), QStringLiteral("-png"), QStringLiteral("-singlefile"),
               QStringLiteral("-f"), QStringLiteral("1"), QStringLiteral("-l"), QStringLiteral("1"), pdf, png});
    const QImage page = grey(png + QStringLiteral(".png"));
    ASSERT_EQ(page.width(), 596);
    const double top = 33.6 + 5 * line;
    for (const double x : {157.0, 174.0, 191.0}) {
        for (const double y : {top + 1, top + 5, top + 8.5})
            EXPECT_TRUE(ink(page, static_cast<int>(x), static_cast<int>(y))) << x << "," << y;
    }
    for (const auto& [x, y] : {std::pair(154.0, top + 5), std::pair(194.0, top + 5), std::pair(174.0, top + 11)})
        EXPECT_FALSE(ink(page, static_cast<int>(x), static_cast<int>(y))) << x << "," << y;

    // The same file under the command table prints what it does not know.
    const ToolRun table = runTool({input, QStringLiteral("--device"), kLaser, QStringLiteral("--json")});
    ASSERT_EQ(table.exitCode, 0) << table.err.toStdString();
    const ToolRun escp = runTool(
        {input, QStringLiteral("--device"), kLaser, QStringLiteral("--emulation=escp2"), QStringLiteral("--json")});
    ASSERT_EQ(escp.exitCode, 0) << escp.err.toStdString();
    EXPECT_TRUE(table.out.contains(QStringLiteral("Elite 12cpi"))) << "ESC M is a command of the table too";
    EXPECT_TRUE(table.out.contains(QStringLiteral("\u2190@")) || table.out.contains(QStringLiteral("←@")));
    EXPECT_FALSE(escp.out.contains(QStringLiteral("←")));
    EXPECT_EQ(runTool({input, QStringLiteral("--device"), kLaser, QStringLiteral("--emulation"),
                       QStringLiteral("table"), QStringLiteral("--json")})
                  .out,
              table.out);
    // PCL consumes the escape sequences too, by its own grammar, and prints no control code.
    const ToolRun pcl = runTool({input, QStringLiteral("--device"), kLaser, QStringLiteral("--emulation"),
                                 QStringLiteral("pcl5"), QStringLiteral("--json")});
    ASSERT_EQ(pcl.exitCode, 0) << pcl.err.toStdString();
    EXPECT_NE(pcl.out, table.out);
    EXPECT_FALSE(pcl.out.contains(QStringLiteral("←")));
}

// An HP PCL 5 document: every word on the base line its commands put it on, in its face, and
// its raster graphic and rectangles where they belong. The logical page's left edge is the
// printable area's (12 pt in); the first base line is 3/4 of a 1/6-inch line below the
// half-inch top margin (45 pt down). A word's top is its base line less its face's ascent.
TEST(RenderToolPdf, LaserSampleStandsWhereItsCommandsPutIt)
{
    if (!havePoppler() || !haveProgram("pdffonts") || !haveProgram("pdftoppm"))
        GTEST_SKIP() << "pdftotext, pdffonts, pdftoppm (poppler-utils) not installed";
    QTemporaryDir dir;
    const QString input = testDataPath(QStringLiteral("laser.prn"));
    const QString pdf = dir.filePath(QStringLiteral("laser.pdf"));
    const ToolRun run = runTool({input, QStringLiteral("--device"), kLaser, QStringLiteral("--emulation"),
                                 QStringLiteral("pcl5"), QStringLiteral("-o"), pdf});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    // The ascents of Liberation Mono and Liberation Serif at 12 points.
    const double mono = 12 * 1705.0 / 2048;
    const double serif = 12 * 1825.0 / 2048;
    struct Expected
    {
        const char* word;
        double xMin; // negative: proportional, where only the line is checked
        double yMin;
    };
    const Expected expected[] = {
        {"Faktura", 12, 45 - mono},      {"PCL", 12 + 8 * 7.2, 45 - mono},
        {"Tučně", 12, 57 - mono},        {"obyčejně", 12 + 6 * 7.2, 57 - mono},
        {"Times", 12, 69 - serif},       {"kurzíva", -1, 69 - serif},
        {"Sloupec", 12 + 72, 81 - mono}, {"Pozice", 12 + 144, 36 + 360 - mono},
        {"Strana", 12, 45 - mono},       {"2", 12 + 7 * 7.2, 45 - mono},
    };
    const std::vector<WordBox> found = pdfWords(pdf);
    ASSERT_EQ(found.size(), std::size(expected));
    for (std::size_t i = 0; i < found.size(); ++i) {
        SCOPED_TRACE(expected[i].word);
        EXPECT_EQ(found[i].text, QString::fromUtf8(expected[i].word));
        if (expected[i].xMin >= 0) {
            EXPECT_NEAR(found[i].xMin, expected[i].xMin, 0.5);
        }
        EXPECT_NEAR(found[i].yMin, expected[i].yMin, 0.5);
    }
    EXPECT_GT(found[5].xMin, found[4].xMax) << "the italic word follows on the line";

    // Courier upright and bold, Times upright and italic, each embedded.
    const QString fonts = runHelper(QStringLiteral("pdffonts"), {pdf});
    EXPECT_TRUE(fonts.contains(QRegularExpression(QStringLiteral("\\+\\S*Mono\\S*Bold")))) << fonts.toStdString();
    EXPECT_TRUE(fonts.contains(QRegularExpression(QStringLiteral("\\+\\S*Serif\\S*Italic")))) << fonts.toStdString();
    std::set<QString> faces;
    static const QRegularExpression face(QStringLiteral("^[A-Z]{6}\\+(\\S+)\\s+CID TrueType\\s+\\S+\\s+yes yes yes"),
                                         QRegularExpression::MultilineOption);
    for (auto it = face.globalMatch(fonts); it.hasNext();)
        faces.insert(it.next().captured(1));
    EXPECT_EQ(faces.size(), 4u) << fonts.toStdString();

    // Six inches below the top margin (468 pt down): the raster bar from 84 to 160.8 pt, the
    // black rectangle from 300 to 372 pt and the grey one from 444 to 480 pt, all half an
    // inch high.
    const QString png = dir.filePath(QStringLiteral("page"));
    runHelper(QStringLiteral("pdftoppm"),
              {QStringLiteral("-r"), QStringLiteral("72"), QStringLiteral("-png"), QStringLiteral("-singlefile"),
               QStringLiteral("-f"), QStringLiteral("1"), QStringLiteral("-l"), QStringLiteral("1"), pdf, png});
    const QImage page = grey(png + QStringLiteral(".png"));
    ASSERT_EQ(page.width(), 596);
    for (const int y : {470, 486, 502}) {
        for (const int x : {86, 120, 158, 302, 336, 370})
            EXPECT_TRUE(ink(page, x, y)) << x << "," << y;
        for (const int x : {82, 163, 298, 374, 442, 482})
            EXPECT_FALSE(ink(page, x, y)) << x << "," << y;
        for (const int x : {446, 462, 478}) {
            const int level = page.constScanLine(y)[x];
            EXPECT_TRUE(level > 100 && level < 160) << x << "," << y << ": " << level;
        }
    }
    for (const int x : {120, 336, 462}) {
        EXPECT_FALSE(ink(page, x, 465)) << x;
        EXPECT_FALSE(ink(page, x, 507)) << x;
    }
}

TEST(RenderToolPdf, PagesLookAsTheReplayDrawsThem)
{
    if (!havePoppler() || !haveProgram("pdftoppm"))
        GTEST_SKIP() << "pdftoppm (poppler-utils) not installed";
    // At no more than 200 dpi the page images are drawn at the device's own resolution, as
    // the PDF is rasterised. The logo is stretched over the page: one as large is drawn pixel
    // for pixel, where neither drawing smooths its edges.
    QTemporaryDir dir;
    const QString logo = writeLogo(dir, QSize(1240, 1754), QRect(100, 1300, 300, 80));
    const OemCodePage cp852 = *OemCodePage::load(852);
    const OemCodePage cp864 = *OemCodePage::load(864);
    const std::string invoice =
        encode(QStringLiteral("\x1b"
                              "EFAKTURA č. 2024/0815\x1b"
                              "F\r\nOdběratel: Řezníčková Alžběta, ŽĎÁR nad Sázavou\r\n"),
               cp852) +
        "\x1b-\x01" + encode(QStringLiteral("Podtržený řádek"), cp852) + "\x1b-\xff" +
        encode(QStringLiteral(" a dál\r\n\r\n┌──────────┬──────────┐\r\n│ Šroub    │  1 234,50│\r\n"
                              "└──────────┴──────────┘\r\n\x1bMElitní písmo: příliš žluťoučký kůň úpěl "
                              "ďábelské ódy\x1bP\r\n\x0fZhuštěný tisk: příliš žluťoučký kůň úpěl "
                              "ďábelské ódy, 0123456789\x12\r\n"),
               cp852);
    // Liberation Mono has no Arabic: these glyphs come from another face, underlined too.
    const std::string arabic = "Arabic: \xc1\xc2\xc3\xc4\xc5\xc6\xc7\xc8\xc9\xca end\r\n"
                               "\x1b-\x01Under \xe1\xe2\xe3\xe4 line\x1b-\xff\r\n";
    const QString square = QStringLiteral("150:1240x1754:25,25");
    const QStringList arabicPage{QStringLiteral("--cp"), QStringLiteral("864")};
    const struct
    {
        const char* name;
        const OemCodePage& codePage;
        const std::string& spool;
        QStringList args;
        int bands; // lines of text, and the logo's mark
    } cases[] = {
        {"invoice", cp852, invoice, {QStringLiteral("--device"), square, QStringLiteral("--logo"), logo}, 7},
        {"fallback", cp864, arabic, QStringList{QStringLiteral("--device"), square} + arabicPage, 3},
        // Pixels twice as tall as wide: every face drawn twice as wide as its em is high.
        {"unequal", cp864, arabic,
         QStringList{QStringLiteral("--device"), QStringLiteral("150x75:1240x877:25,12")} + arabicPage, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString input = dir.filePath(QString::fromLatin1(c.name) + QStringLiteral(".prn"));
        ASSERT_TRUE(writeFile(input, c.spool));
        const QStringList args = QStringList{input} + c.args;
        const ToolRun dump = runTool(args + QStringList{QStringLiteral("--json")});
        ASSERT_EQ(dump.exitCode, 0) << dump.err.toStdString();
        const QJsonObject json = parseJson(dump);
        const QJsonObject device = json[QStringLiteral("device")].toObject();
        const int dpiY = device[QStringLiteral("dpi_y")].toInt();

        const QString pdf = dir.filePath(QString::fromLatin1(c.name) + QStringLiteral(".pdf"));
        const QString png = dir.filePath(QString::fromLatin1(c.name));
        ASSERT_EQ(runTool(args + QStringList{QStringLiteral("-o"), pdf}).exitCode, 0);
        ASSERT_EQ(runTool(args + QStringList{QStringLiteral("--png"), png}).exitCode, 0);
        runHelper(QStringLiteral("pdftoppm"),
                  {QStringLiteral("-rx"), QString::number(device[QStringLiteral("dpi_x")].toInt()),
                   QStringLiteral("-ry"), QString::number(dpiY), QStringLiteral("-png"), QStringLiteral("-singlefile"),
                   pdf, png});
        const QImage replay = grey(png + QStringLiteral("/page-001.png"));
        const QImage printed = grey(png + QStringLiteral(".png"));
        ASSERT_EQ(replay.width(), 1240);
        EXPECT_EQ(expectSameInk(replay, printed), c.bands);

        // Each character cell shows ink in both: no glyph, of the font's face or another,
        // went missing from both alike.
        for (const LaidLine& line : laidLines(json, c.codePage)) {
            for (const Cell& cell : line.cells) {
                if (cell.character.isSpace())
                    continue;
                SCOPED_TRACE(testing::Message() << "U+" << std::hex << int(cell.character.unicode()));
                for (const QImage* image : {&replay, &printed}) {
                    bool inked = false;
                    for (long long x = cell.x0; x < cell.x1 && !inked; ++x) {
                        for (int y = line.y; y < line.y + dpiY / 6 && !inked; ++y)
                            inked = ink(*image, int(x), y);
                    }
                    EXPECT_TRUE(inked) << "at " << cell.x0 << ", " << line.y;
                }
            }
        }
    }
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
        {{input, QStringLiteral("--json"), QStringLiteral("--logo")}, "--logo needs a value"},
        {{input, QStringLiteral("--png"), QStringLiteral("--json")}, "--png needs a value"},
        {{input, QStringLiteral("--json"), QStringLiteral("--cp"), QStringLiteral("--")}, "--cp needs a value"},
        {{input, QStringLiteral("--json"), QStringLiteral("--logo"), QStringLiteral("-")}, "cannot read the logo '-'"},
        {{input, QStringLiteral("--png=")}, "--png: the value is empty"},
        {{input, QStringLiteral("--json"), QStringLiteral("--device=")}, "bad --device ''"},
        {{input, QStringLiteral("--json=yes")}, "--json takes no value"},
        {{input, QStringLiteral("--json"), QStringLiteral("--logo=-x.bmp")}, "cannot read the logo '-x.bmp'"},
        // Only the spellings listed in the help: no long name after one dash, no value
        // joined to a letter, no letter after two dashes.
        {{input, QStringLiteral("--json"), QStringLiteral("-output"), pdf}, "unknown option -output"},
        {{input, QStringLiteral("-o=") + pdf}, "unknown option -o="},
        {{input, QStringLiteral("--o"), pdf}, "unknown option --o"},
        {{input, QStringLiteral("--frob=1"), QStringLiteral("--json")}, "unknown option --frob\n"},
        // "-" is a file name, and after "--" everything is.
        {{input, QStringLiteral("-"), QStringLiteral("--json")}, "also got '-'"},
        {{input, QStringLiteral("--json"), QStringLiteral("--"), QStringLiteral("--png")}, "also got '--png'"},
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
        {{input, QStringLiteral("--json"), QStringLiteral("--emulation")}, "--emulation needs a value"},
        {{input, QStringLiteral("--json"), QStringLiteral("--emulation"), QStringLiteral("epson")},
         "bad --emulation 'epson': expected table, escp2 or pcl5"},
        {{input, QStringLiteral("--json"), QStringLiteral("--emulation=ESCP2")}, "bad --emulation 'ESCP2'"},
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

TEST(RenderToolErrors, OutputFailureExitsWithOne)
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
}

TEST(RenderToolErrors, HelpAndVersionAnswerWhateverElseIsGiven)
{
    for (const QStringList& args :
         {QStringList{QStringLiteral("--help")}, QStringList{QStringLiteral("--frobnicate"), QStringLiteral("-h")},
          QStringList{QStringLiteral("--version"), QStringLiteral("--help")}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const ToolRun help = runTool(args);
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_TRUE(help.out.startsWith(QStringLiteral("Usage: pagello-render"))) << help.out.toStdString();
        for (const char* option :
             {"--output", "--png", "--json", "--preview", "--device", "--logo", "--cp", "--help", "--version"})
            EXPECT_TRUE(help.out.contains(QLatin1String(option))) << option;
        EXPECT_TRUE(help.err.isEmpty());
    }
    for (const QStringList& args :
         {QStringList{QStringLiteral("--version")},
          QStringList{testDataPath(QStringLiteral("czech.prn")), QStringLiteral("--json"), QStringLiteral("--version")},
          QStringList{QStringLiteral("--cp"), QStringLiteral("latin"), QStringLiteral("--version")}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const ToolRun version = runTool(args);
        EXPECT_EQ(version.exitCode, 0);
        EXPECT_EQ(version.out, QStringLiteral("pagello-render " PAGELLO_VERSION "\n"));
        EXPECT_TRUE(version.err.isEmpty()) << version.err.toStdString();
    }
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

// A desktop without any font: nothing can be drawn, and the tool says so instead of
// crashing, for every output that draws or measures text, and leaves no file.
TEST(RenderToolErrors, NoFontInstalledFailsWithTheFontsName)
{
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("fonts.conf"));
    ASSERT_TRUE(writeFile(config, "<fontconfig><cachedir>" + dir.filePath(QStringLiteral("cache")).toStdString() +
                                      "</cachedir></fontconfig>\n"));
    QProcessEnvironment noFonts;
    noFonts.insert(QStringLiteral("FONTCONFIG_FILE"), config);
    const QString pdf = dir.filePath(QStringLiteral("x.pdf"));
    const QString png = dir.filePath(QStringLiteral("png"));
    for (const QStringList& output : {QStringList{QStringLiteral("-o"), pdf}, QStringList{QStringLiteral("--png"), png},
                                      QStringList{QStringLiteral("--json")}}) {
        SCOPED_TRACE(output.join(' ').toStdString());
        const ToolRun run =
            runTool(QStringList{testDataPath(QStringLiteral("czech.prn")), QStringLiteral("--device"), kLaser} + output,
                    QString(), RLIM_INFINITY, noFonts);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, QStringLiteral("pagello-render: There is no font for \"Courier New\"\n"));
        EXPECT_TRUE(run.out.isEmpty());
    }
    EXPECT_FALSE(QFileInfo::exists(pdf));
    EXPECT_FALSE(QFileInfo::exists(png) && !QDir(png).isEmpty());
}
