#include "EngineTestSupport.h"

#include "platform/Errors.h"

#include <gtest/gtest.h>

TEST(PreviewPrinter, DefaultsOfAFreshEngine)
{
    EngineFixture f;
    TPreviewPrinter& e = f.engine;
    EXPECT_EQ(e.Units(), unInches);
    EXPECT_EQ(e.UnitsFactor(), 1.0);
    EXPECT_EQ(e.ZoomOption, zoFitToPage);
    EXPECT_EQ(e.ZoomVal, 100);
    TTextOptions& o = e.TextOptions();
    EXPECT_EQ(o.MarginLeft, 1.0);
    EXPECT_EQ(o.HeaderMargin, 0.5);
    EXPECT_EQ(o.FooterMargin, 0.75);
    EXPECT_EQ(o.BodyFont().Name(), "Arial");
    EXPECT_EQ(o.BodyFont().Size(), 10);
    EXPECT_EQ(o.HeaderFont().Name(), "Times New Roman");
    EXPECT_EQ(o.HeaderFont().Size(), 18);
    EXPECT_EQ(o.HeaderFont().Style(), fsBold);
    EXPECT_EQ(o.PageNumFont().Style(), fsItalic);
    EXPECT_EQ(o.PageNumAlign, taRightJustify);
    EXPECT_EQ(o.PageNumText, "Page %d");

    // Writing a font property copies attributes into the owned font.
    TFont courier(QStringLiteral("Courier New"), 12);
    TFont* owned = &o.BodyFont();
    o.setBodyFont(courier);
    EXPECT_EQ(&o.BodyFont(), owned);
    EXPECT_EQ(o.BodyFont().Name(), "Courier New");
}

TEST(PreviewPrinter, OnlyAnUnusedLastPageIsDropped)
{
    EngineFixture f;
    TPreviewPrinter& e = f.engine;

    e.BeginDoc();
    e.EndDoc();
    EXPECT_EQ(e.PageCount(), 0) << "BeginDoc then EndDoc leaves nothing";

    e.BeginDoc();
    e.Canvas();
    e.EndDoc();
    EXPECT_EQ(e.PageCount(), 1) << "asking for the canvas uses the page, drawn on or not";

    e.BeginDoc();
    e.NewPage(); // page 1 never drawn on, but not the last
    e.Canvas()->TextOut(0, 0, "x");
    e.NewPage();
    e.EndDoc();
    EXPECT_EQ(e.PageCount(), 2);
    EXPECT_TRUE(e.Pages(0).isEmpty());
    EXPECT_FALSE(e.Pages(1).isEmpty());
    EXPECT_FALSE(e.Printing());
}

TEST(PreviewPrinter, StatusEventsOfADocument)
{
    EngineFixture f;
    std::vector<StatusEvent> events;
    recordStatus(f.engine, events);
    f.engine.BeginDoc();
    f.engine.Canvas();
    f.engine.NewPage();
    f.engine.EndDoc();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].message, "Paginating page 1");
    EXPECT_EQ(events[0].pageNum, 1);
    EXPECT_EQ(events[0].type, stPaginating);
    EXPECT_EQ(events[1].message, "Paginating page 2");
    EXPECT_EQ(events[2].message, "Pagination Complete");
    EXPECT_EQ(events[2].pageNum, -1);
    EXPECT_EQ(events[2].type, stPaginationComplete);
}

TEST(PreviewPrinter, MisuseOutsideADocumentIsAnAssertion)
{
    EngineFixture f;
    try {
        f.engine.NewPage();
        FAIL();
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.assertion(), "Assertion failure");
        EXPECT_EQ(e.sourceFile(), "PrevPrinter");
    }
    try {
        f.engine.Canvas();
        FAIL();
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.assertion(), "Canvas is not available before BeginDoc");
    }
    EXPECT_EQ(f.engine.PageCount(), 0);
    EXPECT_THROW(f.engine.Pages(0), EListError);

    // The document protocol allows discarding pages mid-document, but an empty list
    // cannot lose its last page.
    f.engine.BeginDoc();
    f.engine.Clear();
    EXPECT_THROW(f.engine.EndDoc(), EListError);
    EXPECT_FALSE(f.engine.Printing());
}

TEST(PreviewPrinter, DeviceMetricsFromThePrinterOrTheScreen)
{
    {
        SCOPED_TRACE("printer");
        EngineFixture f(true, laser600(7016, 120));
        f.engine.BeginDoc();
        EXPECT_EQ(f.engine.PixelsPerInchY(), 600);
        EXPECT_EQ(f.engine.PageHeight(), 7016);
        EXPECT_EQ(f.engine.PageOffsetX(), 120);
        EXPECT_EQ(f.engine.Canvas()->reference().logPixelsY, 600);
    }
    {
        SCOPED_TRACE("no printer: US Letter at 96 dpi");
        EngineFixture f(false);
        f.engine.BeginDoc();
        EXPECT_EQ(f.engine.PixelsPerInchX(), 96);
        EXPECT_EQ(f.engine.PageWidth(), 816);
        EXPECT_EQ(f.engine.PageHeight(), 1056);
        EXPECT_EQ(f.engine.PageOffsetX(), 0);
        EXPECT_EQ(f.engine.PageOffsetY(), 0);
    }
    {
        SCOPED_TRACE("a printer that cannot be used falls back to the screen");
        EngineFixture f;
        f.fake.printers.failOn(FakePrinters::Failure::Metrics);
        f.engine.BeginDoc();
        EXPECT_EQ(f.engine.PixelsPerInchY(), 96);
        EXPECT_EQ(f.engine.PageWidth(), 816);
        ASSERT_NE(f.engine.Canvas(), nullptr);
    }
    {
        SCOPED_TRACE("orientation is applied before each page");
        EngineFixture f;
        f.engine.Orientation = poLandscape;
        f.engine.BeginDoc();
        EXPECT_EQ(f.fake.printers.orientation(), poLandscape);
        EXPECT_EQ(f.engine.PageWidth(), 6600);
    }
}

TEST(PreviewPrinter, UnitConversions)
{
    EngineFixture f;
    TPreviewPrinter& e = f.engine;
    e.BeginDoc();
    // 600 dpi: halves round to even.
    EXPECT_EQ(e.UnitsToPixelsX(1.0), 600);
    EXPECT_EQ(e.UnitsToPixelsX(0.5 / 600), 0);
    EXPECT_EQ(e.UnitsToPixelsX(1.5 / 600), 2);
    EXPECT_EQ(e.UnitsToPixelsY(2.5 / 600), 2);
    EXPECT_DOUBLE_EQ(e.PixelsToUnitsY(300), 0.5);

    e.TextOptions().MarginLeft = 1.0;
    e.setUnits(unCentimeters);
    EXPECT_EQ(e.UnitsFactor(), 2.54);
    EXPECT_EQ(e.TextOptions().MarginLeft, 1.0) << "margins are not converted";
    EXPECT_EQ(e.UnitsToPixelsX(2.54), 600);
    EXPECT_DOUBLE_EQ(e.PixelsToUnitsX(600), 2.54);

    // Absurd values saturate instead of overflowing.
    EXPECT_GT(e.UnitsToPixelsX(1e300), 1000000000);
    EXPECT_LT(e.UnitsToPixelsY(-1e300), -1000000000);
}

TEST(PreviewPrinter, CanvasesCarryTheFontAcrossPages)
{
    EngineFixture f;
    TPreviewPrinter& e = f.engine;
    e.BeginDoc();
    TVelMetaFileCanvas* first = e.Canvas();
    EXPECT_EQ(first->Font.Name(), "Arial");
    EXPECT_EQ(first->Font.Size(), 10);
    EXPECT_EQ(first->Font.PixelsPerInch(), 600);
    EXPECT_EQ(first->Brush.Style, bsClear);

    // A font change on the canvas reaches its recording: the forwarded notification
    // makes the next text use the new font.
    first->Font.setName(QStringLiteral("Courier New"));
    first->Font.setSize(12);
    first->TextOut(10, 20, "A");
    first->Font.setStyle(fsBold);
    first->TextOut(70, 20, "B");
    const std::vector<TextRun> runs = textRuns(e.Pages(0));
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].size, 12);
    EXPECT_FALSE(runs[0].bold);
    EXPECT_TRUE(runs[1].bold);
    EXPECT_EQ(e.Pages(0).font(e.Pages(0).records()[0]).pixelSize, 100);

    e.NewPage();
    EXPECT_EQ(e.Canvas()->Font.Name(), "Courier New");
    EXPECT_EQ(e.Canvas()->Font.Style(), fsBold);

    // After CloseCanvas the next page starts from the defaults again.
    e.CloseCanvas();
    EXPECT_EQ(e.Canvas(), nullptr);
    e.NewPage();
    EXPECT_EQ(e.Canvas()->Font.Name(), "Arial");
    e.EndDoc();
}

TEST(PreviewPrinter, AdjustFontKeepsThePointSize)
{
    EngineFixture f;
    f.engine.BeginDoc();
    TFont font(QStringLiteral("Courier New"), 7);
    EXPECT_EQ(font.Height(), -9); // 96 dpi
    f.engine.AdjustFont(font);
    EXPECT_EQ(font.Size(), 7);
    EXPECT_EQ(font.Height(), -58); // 7 pt at 600 dpi
}
