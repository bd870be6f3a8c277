#include "PreviewLayout.h"

#include <QLocale>

#include <gtest/gtest.h>

namespace {

// A portrait A4 sheet at 600 dpi on a 96-PPI screen.
PreviewLayoutInput a4(int item, QSize client, bool twoPages = false)
{
    PreviewLayoutInput in;
    in.itemIndex = item;
    in.twoPages = twoPages;
    in.client = client;
    in.pageWidth = 4960;
    in.pageHeight = 7016;
    in.printerPpiX = 600;
    in.printerPpiY = 600;
    return in;
}

TEST(PreviewLayout, FitPageFillsTheHeightLessTheMargins)
{
    const PreviewLayout out = layoutPreview(a4(kZoomFitPage, QSize(900, 600)));
    EXPECT_TRUE(out.fitPageDown);
    EXPECT_FALSE(out.fitWidthDown);
    EXPECT_EQ(out.page.height(), 580);
    EXPECT_EQ(out.page.width(), int(96 * out.zoom * 4960 / 600));
    EXPECT_EQ(out.contain, QSize(899, 600));
    EXPECT_EQ(out.page1.y(), 10);
    // Narrower than the box: centred across it.
    EXPECT_EQ(out.page1.x(), 899 / 2 - out.page.width() / 2);
}

TEST(PreviewLayout, TwoPagesSideBySideAndCentred)
{
    const PreviewLayout out = layoutPreview(a4(kZoomFitPage, QSize(1200, 600), true));
    ASSERT_TRUE(out.twoPages);
    const int w = out.page.width();
    EXPECT_EQ(out.page2.x() - out.page1.x(), w + 20);
    EXPECT_EQ(out.page2.y(), out.page1.y());
    // The pair's left and right dark margins differ by at most a pixel of rounding.
    const int right = out.contain.width() - (out.page2.x() + w);
    EXPECT_LE(std::abs(right - out.page1.x()), 1);
}

TEST(PreviewLayout, PercentagesShowOnePageAndLiftTheFitButtons)
{
    for (int item = kZoomCustom; item < kZoomItemCount; ++item) {
        SCOPED_TRACE(item);
        PreviewLayoutInput in = a4(item, QSize(800, 600), true);
        in.storedZoom = 0.8;
        const PreviewLayout out = layoutPreview(in);
        EXPECT_TRUE(out.onePageForced);
        EXPECT_FALSE(out.twoPages);
        EXPECT_FALSE(out.fitPageDown || out.fitWidthDown);
        EXPECT_DOUBLE_EQ(out.zoom, item == kZoomCustom ? 0.8 : zoomItemFactor(item));
    }
    // 100 % is the paper's own size on the screen: 8.27 inches at 96 PPI.
    EXPECT_EQ(layoutPreview(a4(6, QSize(800, 600))).page, QSize(793, 1122));
}

TEST(PreviewLayout, LargerThanTheBoxStartsAtTheMargin)
{
    const PreviewLayout out = layoutPreview(a4(9, QSize(800, 600)));
    EXPECT_EQ(out.page1, QPoint(10, 10));
    EXPECT_EQ(out.contain, QSize(out.page.width() + 20, out.page.height() + 20));
}

TEST(PreviewLayout, FitWidthAndNothingSelected)
{
    const PreviewLayout width = layoutPreview(a4(kZoomFitWidth, QSize(820, 600)));
    EXPECT_TRUE(width.fitWidthDown);
    EXPECT_EQ(width.page.width(), 800);
    EXPECT_TRUE(width.onePageForced);

    // Nothing selected: fit page, but neither fit button goes down on this pass.
    const PreviewLayout none = layoutPreview(a4(-1, QSize(820, 600)));
    EXPECT_EQ(none.itemIndex, kZoomFitPage);
    EXPECT_FALSE(none.fitPageDown);
    EXPECT_EQ(none.page.height(), 580);
}

TEST(PreviewLayout, AbsurdInputGivesEmptyPanels)
{
    PreviewLayoutInput noPage = a4(kZoomFitPage, QSize(800, 600));
    noPage.pageHeight = 0;
    noPage.printerPpiY = 0;
    EXPECT_EQ(layoutPreview(noPage).page.height(), 0);

    // A box smaller than its margins: no negative sizes.
    const PreviewLayout tiny = layoutPreview(a4(kZoomFitPage, QSize(5, 5)));
    EXPECT_GE(tiny.page.width(), 0);
    EXPECT_GE(tiny.page.height(), 0);

    // A custom zoom far beyond the window system's limits is held to what it can show.
    PreviewLayoutInput huge = a4(kZoomCustom, QSize(800, 600));
    huge.storedZoom = 1e9;
    EXPECT_LE(layoutPreview(huge).page.height(), 32767);
}

TEST(PreviewLayout, MagnifierStepsByHalfWithinLimits)
{
    const double up = magnifiedZoom(1.0, true, false);
    EXPECT_DOUBLE_EQ(up, 1.5);
    EXPECT_DOUBLE_EQ(magnifiedZoom(up, false, true), 1.0);
    EXPECT_DOUBLE_EQ(magnifiedZoom(1.0, true, true), 1.0);
    EXPECT_DOUBLE_EQ(magnifiedZoom(15.0, true, false), kMaxZoom);
    EXPECT_DOUBLE_EQ(magnifiedZoom(0.06, false, true), kMinZoom);
}

TEST(PreviewLayout, ZoomLabelUsesTheLocale)
{
    EXPECT_EQ(zoomLabelText(1.5, QLocale::c()), QStringLiteral("150%"));
    EXPECT_EQ(zoomLabelText(0.824, QLocale::c()), QStringLiteral("82%"));
    // Thousands are grouped as the user's locale groups them.
    EXPECT_EQ(zoomLabelText(16.0, QLocale(QLocale::English, QLocale::UnitedStates)), QStringLiteral("1,600%"));
}

} // namespace
