#include "support/TestSupport.h"

#include "platform/Errors.h"
#include "platform/IBitmaps.h"
#include "platform/Metafile.h"
#include "platform/OemCodePage.h"
#include "platform/Replay.h"
#include "platform/linux/LinuxPlatform.h"

#include <QCursor>
#include <QFile>
#include <QFontInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStatusTipEvent>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <utility>

namespace {

const OemCodePage& cp852()
{
    static const OemCodePage cp = *OemCodePage::load(852);
    return cp;
}

FontSpec courier(int pixelSize, std::uint8_t style = 0)
{
    return FontSpec{.name = QStringLiteral("Courier New"),
                    .size = 12,
                    .pixelSize = pixelSize,
                    .style = style,
                    .charset = OEM_CHARSET};
}

// Leftmost and rightmost column holding any dark pixel; (-1, -1) for a blank image.
std::pair<int, int> inkColumns(const QImage& image)
{
    int left = -1;
    int right = -1;
    for (int x = 0; x < image.width(); ++x) {
        for (int y = 0; y < image.height(); ++y) {
            if (qGray(image.pixel(x, y)) < 128) {
                if (left < 0)
                    left = x;
                right = x;
                break;
            }
        }
    }
    return {left, right};
}

QImage render(const TMetafile& page, IFonts& fonts)
{
    QImage image(200, 40, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    replayPage(painter, page, QPoint(0, 0), fonts);
    return image;
}

// Standard output of a poppler tool; empty when it cannot be run.
QString runTool(const QString& program, const QStringList& args)
{
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return {};
    return QString::fromUtf8(process.readAllStandardOutput());
}

} // namespace

TEST(OemCodePageTest, Cp852DecodesCzechLettersBoxesAndControlGlyphs)
{
    const struct
    {
        unsigned char byte;
        char16_t expected;
    } cases[] = {
        {0x9F, u'č'},     {0xFD, u'ř'},      {0xA7, u'ž'},      {0x85, u'ů'},      {0xA6, u'Ž'},     {0xE7, u'š'},
        {179, u'\u2502'}, {0xC4, u'\u2500'}, {0xDA, u'\u250C'}, {0xDB, u'\u2588'}, {'A', u'A'},      {1, u'\u263A'},
        {3, u'\u2665'},   {13, u'\u266A'},   {27, u'\u2190'},   {31, u'\u25BC'},   {127, u'\u2302'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "byte " << int(c.byte));
        EXPECT_EQ(cp852().glyph(c.byte), QChar(c.expected));
    }
    // No byte a DOS program can print may vanish as an invisible control character.
    for (int b = 1; b < 256; ++b) {
        SCOPED_TRACE(testing::Message() << "byte " << b);
        EXPECT_NE(cp852().glyph(static_cast<unsigned char>(b)).category(), QChar::Other_Control);
    }
    EXPECT_EQ(cp852().decode("\x9F\xFD\xA7\x85"), QStringLiteral("čřžů"));
}

TEST(OemCodePageTest, LoadsOtherPagesAndRejectsUnknownNumbers)
{
    const auto cp437 = OemCodePage::load(437);
    ASSERT_TRUE(cp437.has_value());
    EXPECT_EQ(cp437->number(), 437);
    EXPECT_EQ(cp437->glyph(0x82), QChar(u'é'));
    EXPECT_EQ(cp437->glyph(179), QChar(u'\u2502'));
    for (int number : {0, -852, 12345}) {
        SCOPED_TRACE(number);
        EXPECT_FALSE(OemCodePage::load(number).has_value());
    }
}

TEST(MakeTransparentTest, BottomLeftColourBecomesTransparentOthersKept)
{
    QImage image(3, 2, QImage::Format_RGB32);
    image.fill(qRgb(255, 0, 0));
    image.setPixel(1, 0, qRgb(0, 0, 255));
    image.setPixel(2, 1, qRgb(254, 0, 0));
    const QImage out = makeTransparent(image);
    EXPECT_EQ(qAlpha(out.pixel(0, 1)), 0);
    EXPECT_EQ(qAlpha(out.pixel(0, 0)), 0);
    EXPECT_EQ(out.pixel(1, 0), qRgba(0, 0, 255, 255));
    EXPECT_EQ(out.pixel(2, 1), qRgba(254, 0, 0, 255));
}

TEST(QtFontsTest, DesktopFacesResolveToLiberationTwins)
{
    QtFonts fonts(cp852());
    const std::pair<const char*, const char*> cases[] = {
        {"Courier New", "Liberation Mono"},
        {"Arial", "Liberation Sans"},
        {"Times New Roman", "Liberation Serif"},
    };
    for (const auto& [face, twin] : cases) {
        SCOPED_TRACE(face);
        FontSpec desc = courier(100);
        desc.name = QString::fromLatin1(face);
        EXPECT_EQ(QFontInfo(unhintedFont(desc)).family(), QString::fromLatin1(twin));
    }
}

TEST(QtFontsTest, CourierNewAt600DpiAdvancesSixtyForEveryByte)
{
    QtFonts fonts(cp852());
    ASSERT_EQ(pointsToPixels(12, 600), 100);
    for (std::uint8_t style : {std::uint8_t(0), std::uint8_t(fsBold)}) {
        const GlyphAdvances& advances = fonts.advances(courier(100, style));
        for (int b = 0; b < 256; ++b) {
            SCOPED_TRACE(testing::Message() << "style " << int(style) << " byte " << b);
            EXPECT_EQ(advances[b], 60);
        }
    }
}

TEST(QtFontsTest, EachFontIsMeasuredOnceUnderItsOwnKey)
{
    QtFonts fonts(cp852());
    const FontSpec base{.name = QStringLiteral("Times New Roman"), .size = 12, .pixelSize = 50, .charset = OEM_CHARSET};
    const GlyphAdvances& first = fonts.advances(base);

    // Colour and decoration do not change widths: the same measurement serves them.
    FontSpec decorated = base;
    decorated.color = 0xffff0000;
    decorated.style = fsUnderline | fsStrikeOut;
    EXPECT_EQ(&fonts.advances(decorated), &first);

    // Everything else does; each variant must get its own widths, whatever was measured before.
    std::vector<FontSpec> variants(5, base);
    variants[0].pixelSize = 16;
    variants[1].style = fsBold;
    variants[2].style = fsItalic;
    variants[3].charset = DEFAULT_CHARSET;
    variants[4].name = QStringLiteral("Arial");
    for (const FontSpec& v : variants) {
        SCOPED_TRACE(testing::Message() << v.name.toStdString() << ' ' << v.pixelSize << " style " << int(v.style)
                                        << " charset " << v.charset);
        QtFonts fresh(cp852());
        const GlyphAdvances expected = fresh.advances(v);
        EXPECT_NE(expected, first);
        EXPECT_EQ(fonts.advances(v), expected);
    }
}

TEST(MetafileTest, TextJoinsTheLastRecordOnlyWhereItContinuesIt)
{
    TMetafile page;
    const int font = page.fontIndex(courier(100));
    const int bold = page.fontIndex(courier(100, fsBold));
    page.addText(100, 50, font, "ab", 120);
    page.addText(220, 50, font, "cd", 120); // continues exactly: joins
    page.addText(340, 50, font, "e", 60);
    page.addText(401, 50, font, "f", 60); // another x: not joined
    page.addText(461, 50, font, "gh", 120);
    page.addText(581, 51, font, "i", 60); // another line
    page.addText(641, 51, bold, "j", 60); // another font
    page.addLine(0, 0, 10, 10, 0xff000000);
    page.addText(701, 51, bold, "k", 60); // a line record lies between
    page.addText(761, 51, bold, "l", 60);
    page.addText(0, 60, font, "m"); // of no known width: nothing joins it
    page.addText(30, 60, font, "n", 30);

    std::vector<std::pair<int, std::string>> runs;
    for (const MetaRecord& r : page.records()) {
        if (r.op == RecordOp::Text)
            runs.emplace_back(r.x, std::string(page.bytes(r)));
    }
    const std::vector<std::pair<int, std::string>> expected = {{100, "abcde"}, {401, "fgh"}, {581, "i"}, {641, "j"},
                                                               {701, "kl"},    {0, "m"},     {30, "n"}};
    EXPECT_EQ(runs, expected);
    EXPECT_EQ(page.textBytes(), 14u);
}

TEST(MetafileTest, PageBeyondItsBoundsIsRefusedByNumber)
{
    TMetafile page;
    page.setNumber(7);
    const int font = page.fontIndex(courier(100));
    page.addText(0, 0, font, std::string(TMetafile::kMaxTextBytes - 1, 'x'));
    page.addText(0, 100, font, "y");
    try {
        page.addText(0, 200, font, "z");
        FAIL() << "text beyond the bound must be refused";
    } catch (const EDocumentError& e) {
        EXPECT_STREQ(e.what(), "Page 7 needs more than 1 MiB of text");
    }
    EXPECT_EQ(page.textBytes(), TMetafile::kMaxTextBytes);

    TMetafile lines;
    lines.setNumber(3);
    for (std::size_t i = 0; i < TMetafile::kMaxRecords; ++i)
        lines.addLine(0, int(i), 10, int(i), 0xff000000);
    EXPECT_THROW(lines.addFrame(QRect(0, 0, 5, 5), 0xffff0000), EDocumentError);
    try {
        lines.addLine(0, 0, 1, 1, 0xff000000);
        FAIL() << "a record beyond the bound must be refused";
    } catch (const EDocumentError& e) {
        EXPECT_STREQ(e.what(), "Page 3 needs more than 200000 drawing records");
    }
    EXPECT_EQ(lines.records().size(), TMetafile::kMaxRecords);
    // One colour, kept once in the page's table.
    EXPECT_EQ(lines.color(lines.records().back()), 0xff000000);
}

TEST(ReplayTest, FixedPitchRunEndsWhereRecordedAdvancesSay)
{
    QtFonts fonts(cp852());
    const FontSpec desc = courier(pointsToPixels(12, 96));
    const int advance = fonts.advances(desc)['M'];
    ASSERT_EQ(advance, 10); // 9.6 pixels natural, rounded

    TMetafile run;
    run.addText(10, 10, run.fontIndex(desc), "MMMMMMMMMM");
    TMetafile glyphs;
    const int font = glyphs.fontIndex(desc);
    for (int i = 0; i < 10; ++i)
        glyphs.addText(10 + i * advance, 10, font, "M");

    const auto [runLeft, runRight] = inkColumns(render(run, fonts));
    const auto [glyphLeft, glyphRight] = inkColumns(render(glyphs, fonts));
    ASSERT_GE(runLeft, 0);
    EXPECT_NEAR(runLeft, glyphLeft, 1);
    EXPECT_NEAR(runRight, glyphRight, 1);
    EXPECT_GT(runRight, 10 + 9 * advance);
}

TEST(PdfFilePrinterTest, WritesSheetsOfTheDeviceWithTitleAndCzechText)
{
    const QString pdfinfo = QStandardPaths::findExecutable(QStringLiteral("pdfinfo"));
    const QString pdftotext = QStandardPaths::findExecutable(QStringLiteral("pdftotext"));
    if (pdfinfo.isEmpty() || pdftotext.isEmpty())
        GTEST_SKIP() << "poppler-utils (pdfinfo, pdftotext) is not installed";

    QtFonts fonts(cp852());
    TMetafile first;
    const int font = first.fontIndex(courier(100));
    first.addText(0, 0, font, "\x9F \xFD \xA7 \x85");
    first.addText(0, 200, font, "\xDA\xC4\xC4\xBF");
    first.addText(0, 300, font, "\xB3\xDB\xB3");
    TMetafile second;
    second.addText(400, 400, second.fontIndex(courier(100)), "Strana 2");

    const struct
    {
        TPrinterOrientation orientation;
        DeviceMetrics idle; // a PDF's printable area is the whole sheet: no offsets in a job
        double width;
        double height;
    } cases[] = {{poPortrait, {600, 600, 4960, 7016, 100, 120}, 595.2, 841.92},
                 {poLandscape, {600, 600, 7016, 4960, 120, 100}, 841.92, 595.2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.orientation);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("out.pdf"));
        PdfFilePrinter printer(DeviceMetrics{600, 600, 4960, 7016, 100, 120}, file, fonts);
        printer.setOrientation(c.orientation);
        printer.setTitle(QStringLiteral("Pagello : FAKTURA.PRN  1-2 č"));
        EXPECT_EQ(printer.deviceMetrics(), c.idle);
        printer.beginDoc();
        DeviceMetrics inJob = c.idle;
        inJob.physicalOffsetX = inJob.physicalOffsetY = 0;
        EXPECT_EQ(printer.deviceMetrics(), inJob);
        printer.drawPage(first, QPoint(100, 100));
        printer.newPage();
        printer.drawPage(second, QPoint(100, 100));
        printer.endDoc();
        EXPECT_EQ(printer.deviceMetrics(), c.idle);

        const QString info = runTool(pdfinfo, {file});
        EXPECT_TRUE(info.contains(QRegularExpression(QStringLiteral("Pages:\\s+2\\n")))) << info.toStdString();
        EXPECT_TRUE(info.contains(QRegularExpression(QStringLiteral("Title:\\s+Pagello : FAKTURA.PRN  1-2 č\\n"))))
            << info.toStdString();
        const auto size = QRegularExpression(QStringLiteral("Page size:\\s+([0-9.]+) x ([0-9.]+) pts")).match(info);
        ASSERT_TRUE(size.hasMatch()) << info.toStdString();
        EXPECT_NEAR(size.captured(1).toDouble(), c.width, 1.0);
        EXPECT_NEAR(size.captured(2).toDouble(), c.height, 1.0);

        const QString text = runTool(pdftotext, {file, QStringLiteral("-")});
        for (const QString& expected :
             {QStringLiteral("č ř ž ů"), QStringLiteral("┌──┐"), QStringLiteral("│█│"), QStringLiteral("Strana 2")})
            EXPECT_TRUE(text.contains(expected)) << expected.toStdString() << " in " << text.toStdString();
    }
}

TEST(PdfFilePrinterTest, FailuresRaisePrinterErrorAndAbortLeavesNoFile)
{
    QtFonts fonts(cp852());
    QTemporaryDir dir;
    const DeviceMetrics device = laser600();

    PdfFilePrinter unnamed(device, QString(), fonts);
    EXPECT_THROW(unnamed.beginDoc(), EPrinterError);
    EXPECT_FALSE(unnamed.printing());

    const QString unwritable = dir.filePath(QStringLiteral("no/such/dir/out.pdf"));
    PdfFilePrinter blocked(device, unwritable, fonts);
    try {
        blocked.beginDoc();
        ADD_FAILURE() << "beginDoc wrote into a missing directory";
    } catch (const EPrinterError& e) {
        EXPECT_TRUE(QString::fromStdString(e.what()).contains(unwritable)) << e.what();
    }
    EXPECT_FALSE(blocked.printing());
    EXPECT_THROW(blocked.newPage(), EPrinterError);

    const QString file = dir.filePath(QStringLiteral("aborted.pdf"));
    PdfFilePrinter aborted(device, file, fonts);
    aborted.beginDoc();
    aborted.abortDoc();
    EXPECT_FALSE(aborted.printing());
    EXPECT_FALSE(QFile::exists(file));
}

TEST(QtPrintersTest, WithoutInstalledPrintersNothingIsCurrent)
{
    QtFonts fonts(cp852());
    QtPrinters printers(fonts);
    if (printers.printerCount() > 0)
        GTEST_SKIP() << "this machine has CUPS printers; the check needs a desktop without any";
    EXPECT_EQ(printers.printerIndex(), -1);
    EXPECT_THROW(printers.deviceMetrics(), EPrinterError);
    EXPECT_THROW(printers.beginDoc(), EPrinterError);
    EXPECT_FALSE(printers.printing());
}

TEST(QtPrintersTest, IndexOutsideTheListIsRejected)
{
    QtFonts fonts(cp852());
    QtPrinters printers(fonts);
    const int before = printers.printerIndex();
    for (int index : {printers.printerCount(), -2}) {
        SCOPED_TRACE(index);
        EXPECT_THROW(printers.setPrinterIndex(index), EPrinterError);
        EXPECT_EQ(printers.printerIndex(), before);
    }
}

TEST(QtPrintersTest, InstalledPrinterReportsHardwareMargins)
{
    QtFonts fonts(cp852());
    QtPrinters printers(fonts);
    if (printers.printerCount() == 0)
        GTEST_SKIP() << "no CUPS printer is installed (no cupsd runs here)";
    const DeviceMetrics portrait = printers.deviceMetrics();
    EXPECT_GT(portrait.logPixelsX, 0);
    EXPECT_EQ(portrait.logPixelsX, portrait.logPixelsY);
    EXPECT_GT(portrait.physicalHeight, portrait.physicalWidth);
    EXPECT_GE(portrait.physicalOffsetX, 0);
    EXPECT_LT(portrait.physicalOffsetX, portrait.physicalWidth / 4);
    printers.setOrientation(poLandscape);
    const DeviceMetrics landscape = printers.deviceMetrics();
    EXPECT_EQ(landscape.physicalWidth, portrait.physicalHeight);
    EXPECT_EQ(landscape.physicalHeight, portrait.physicalWidth);
}

TEST(QtScreenTest, BusyCursorShowsUntilEveryBeginIsEnded)
{
    QtScreen screen;
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        EXPECT_EQ(screen.pixelsPerInch(), 96);
    }
    ASSERT_EQ(QGuiApplication::overrideCursor(), nullptr);
    {
        BusyCursor outer(screen);
        BusyCursor inner(screen);
        ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        inner.release();
        EXPECT_NE(QGuiApplication::overrideCursor(), nullptr);
    }
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST(QtApplicationTest, HintFollowsStatusTipsOncePerChange)
{
    QtApplication application;
    int changes = 0;
    application.setOnHint([&] { ++changes; });
    QWidget window;
    QWidget* child = new QWidget(&window);
    // A status tip travels from the child up to its window: one change, not two.
    QStatusTipEvent tip(QStringLiteral("Tisk dokumentu"));
    QCoreApplication::sendEvent(child, &tip);
    EXPECT_EQ(application.hint(), QStringLiteral("Tisk dokumentu"));
    EXPECT_EQ(changes, 1);
    QStatusTipEvent leave{QString()};
    QCoreApplication::sendEvent(child, &leave);
    EXPECT_EQ(application.hint(), QString());
    EXPECT_EQ(changes, 2);
}

TEST(QtBitmapsTest, LoadsBmpFilesAndNamesTheFileItCannotLoad)
{
    QTemporaryDir dir;
    QImage image(4, 3, QImage::Format_RGB32);
    image.fill(qRgb(10, 20, 30));
    const QString logo = dir.filePath(QStringLiteral("logo.bmp"));
    ASSERT_TRUE(image.save(logo, "BMP"));
    const QString garbage = dir.filePath(QStringLiteral("garbage.bmp"));
    QFile file(garbage);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a bitmap");
    file.close();

    QtBitmaps bitmaps;
    const auto loaded = bitmaps.load(logo);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->size(), QSize(4, 3));
    EXPECT_EQ(loaded->pixel(3, 2) & 0xffffff, 0x0a141eu);
    for (const QString& path : {dir.filePath(QStringLiteral("missing.bmp")), garbage}) {
        SCOPED_TRACE(path.toStdString());
        try {
            bitmaps.load(path);
            ADD_FAILURE() << "no error";
        } catch (const EFileError& e) {
            EXPECT_EQ(e.what(), QStringLiteral("Cannot load bitmap '%1'").arg(path).toStdString());
        }
    }
}
