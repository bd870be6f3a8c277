#include "PrevForm.h"
#include "ui_Gopage.h"
#include "ui_PrevForm.h"

#include "EngineTestSupport.h"
#include "Glyphs.h"
#include "Gopage.h"
#include "platform/Errors.h"

#include <QLineEdit>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// A three-page document on the 600-dpi laser printer, previewed in a window of a known
// size instead of maximised.
struct PreviewFixture : EngineFixture
{
    explicit PreviewFixture(int lines = 150)
    {
        if (lines > 0)
            engine.RenderText(numberedLines(lines));
    }

    TPreviewForm& open(QSize size = QSize(900, 700))
    {
        form = engine.CreatePreviewForm();
        form->setWindowState(Qt::WindowNoState);
        form->resize(size);
        form->show();
        return *form;
    }
    Ui::TPreviewForm& ui() { return form->controls(); }
    QString pageLabel() { return ui().CurPageLabel->text(); }

    std::unique_ptr<TPreviewForm> form;
};

TEST(PrevForm, CreatePreviewFormWhileRecordingFails)
{
    PreviewFixture f(0);
    f.engine.BeginDoc();
    try {
        f.engine.CreatePreviewForm();
        FAIL() << "no assertion failure";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.assertion(), "Assertion failure");
        EXPECT_EQ(e.sourceFile(), "PrevPrinter");
    }
}

TEST(PrevForm, OpensAsTheEngineAsks)
{
    PreviewFixture f;
    f.engine.ShowGrid = true;
    f.open();
    EXPECT_TRUE(f.ui().GridBut->Down());
    EXPECT_EQ(f.ui().ZoomBox->currentIndex(), 0);
    EXPECT_TRUE(f.ui().ZoomCursorBut->Down());
    EXPECT_TRUE(f.ui().OnePageBut->Down());
    EXPECT_FALSE(f.ui().PagePanel2->isVisible());
    EXPECT_EQ(f.pageLabel(), QStringLiteral("Stránka 1 z 3"));
    EXPECT_TRUE(f.fake.screen.hasCursor(TPreviewForm::kZoomCursor));
    EXPECT_EQ(f.ui().PB1->cursor().hotSpot(), QPoint(10, 10));
    // Fit page: the page fills the client height less 10 pixels above and below.
    const int client = f.ui().ScrollBox1->viewport()->height();
    EXPECT_EQ(f.ui().PagePanel->height(), client - 20);
    EXPECT_EQ(f.ui().PagePanel->y(), 10);

    PreviewFixture two;
    two.engine.ZoomOption = zoTwoPages;
    two.open(QSize(1400, 700));
    EXPECT_TRUE(two.ui().TwoPageBut->Down());
    EXPECT_TRUE(two.ui().PagePanel2->isVisible());
    EXPECT_EQ(two.ui().PagePanel2->x(), two.ui().PagePanel->x() + two.ui().PagePanel->width() + 20);

    // A custom zoom is a percentage; the window writes nothing back.
    PreviewFixture custom;
    custom.engine.ZoomOption = zoCustom;
    custom.engine.ZoomVal = 100;
    custom.open();
    EXPECT_EQ(custom.ui().ZoomBox->currentText(), QStringLiteral("Volitelné"));
    EXPECT_DOUBLE_EQ(custom.form->Zoom, 1.0);
    EXPECT_EQ(custom.ui().ZoomLabel->text(), QStringLiteral("100%"));
    custom.ui().TwoPageBut->click();
    EXPECT_EQ(custom.engine.ZoomOption, zoCustom);
    EXPECT_FALSE(custom.engine.ShowGrid);
}

TEST(PrevForm, SpeedButtonClicksChooseOneOrTwoPages)
{
    PreviewFixture f;
    f.open();
    TSpeedButton* one = f.ui().OnePageBut;
    TSpeedButton* two = f.ui().TwoPageBut;

    QTest::mouseClick(two, Qt::LeftButton);
    EXPECT_TRUE(two->Down());
    EXPECT_FALSE(one->Down());
    EXPECT_TRUE(f.ui().PagePanel2->isVisible());
    EXPECT_TRUE(f.ui().FitPageBut->Down());

    // A percentage forces one page and lifts the fit buttons.
    f.ui().ZoomBox->setCurrentIndex(9);
    emit f.ui().ZoomBox->activated(9);
    EXPECT_TRUE(one->Down());
    EXPECT_FALSE(f.ui().PagePanel2->isVisible());
    EXPECT_FALSE(f.ui().FitPageBut->Down() || f.ui().FitWidthBut->Down());
    EXPECT_EQ(f.ui().ZoomLabel->text(), QStringLiteral("200%"));

    // The release selects fit page before the button goes down: one page at fit page.
    QTest::mouseClick(one, Qt::LeftButton);
    EXPECT_TRUE(one->Down());
    EXPECT_EQ(f.ui().ZoomBox->currentIndex(), 0);
    EXPECT_TRUE(f.ui().FitPageBut->Down());
    // The down button of a group stays down when clicked again.
    QTest::mouseClick(one, Qt::LeftButton);
    EXPECT_TRUE(one->Down());

    // The grid is a plain toggle.
    QTest::mouseClick(f.ui().GridBut, Qt::LeftButton);
    EXPECT_TRUE(f.ui().GridBut->Down());
    QTest::mouseClick(f.ui().GridBut, Qt::LeftButton);
    EXPECT_FALSE(f.ui().GridBut->Down());

    QTest::mouseClick(f.ui().FitWidthBut, Qt::LeftButton);
    EXPECT_TRUE(f.ui().FitWidthBut->Down());
    EXPECT_FALSE(f.ui().FitPageBut->Down());
    EXPECT_EQ(f.ui().ZoomBox->currentIndex(), 1);
}

TEST(PrevForm, MagnifierZoomsInAndOutAroundTheClick)
{
    PreviewFixture f;
    f.engine.ZoomOption = zoCustom;
    f.open();
    TPaintBox* pb = f.ui().PB1;
    const QPoint click(pb->width() / 2, pb->height() / 3);
    const float fx = float(click.x()) / f.ui().PagePanel->width();
    QTest::mouseClick(pb, Qt::LeftButton, {}, click);
    EXPECT_DOUBLE_EQ(f.form->Zoom, 1.5);
    EXPECT_EQ(f.ui().ZoomLabel->text(), QStringLiteral("150%"));
    EXPECT_EQ(f.ui().ZoomBox->currentText(), QStringLiteral("Volitelné"));
    // The clicked point comes to the middle of the box.
    const QScrollBar* h = f.ui().ScrollBox1->horizontalScrollBar();
    EXPECT_GT(h->maximum(), 0);
    EXPECT_EQ(h->value(), int(f.ui().PagePanel->width() * fx) - f.ui().ScrollBox1->width() / 2);
    EXPECT_GT(f.ui().ScrollBox1->verticalScrollBar()->value(), 0);

    QTest::mouseClick(pb, Qt::RightButton, {}, QPoint(10, 10));
    EXPECT_DOUBLE_EQ(f.form->Zoom, 1.0);
    EXPECT_EQ(f.ui().ZoomLabel->text(), QStringLiteral("100%"));

    // Never beyond 1600 %.
    for (int i = 0; i < 12; ++i)
        QTest::mouseClick(pb, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_DOUBLE_EQ(f.form->Zoom, 16.0);
    EXPECT_EQ(f.ui().ZoomLabel->text(), QLocale().toString(1600.0, 'f', 0) + QStringLiteral("%"));
}

TEST(PrevForm, HandDragsTheViewOppositeToTheMouse)
{
    PreviewFixture f;
    f.engine.ZoomOption = zoCustom;
    f.engine.ZoomVal = 200;
    f.open();
    QTest::mouseClick(f.ui().HandCursorBut, Qt::LeftButton);
    EXPECT_FALSE(f.ui().ZoomCursorBut->Down());
    EXPECT_EQ(f.ui().PB1->cursor().shape(), Qt::PointingHandCursor);

    QScrollBar* h = f.ui().ScrollBox1->horizontalScrollBar();
    QScrollBar* v = f.ui().ScrollBox1->verticalScrollBar();
    h->setValue(100);
    v->setValue(100);
    f.form->PB1MouseDown(Qt::LeftButton, Qt::LeftButton, 300, 300);
    f.form->PB1MouseMove(260, 280); // the mouse moves left and up
    EXPECT_EQ(h->value(), 140);
    EXPECT_EQ(v->value(), 120);
    f.form->PB1MouseUp();
    f.form->PB1MouseMove(0, 0);
    EXPECT_EQ(h->value(), 140);
    EXPECT_DOUBLE_EQ(f.form->Zoom, 2.0); // the hand does not zoom
}

TEST(PrevForm, NavigationFollowsThePage)
{
    PreviewFixture f;
    f.open();
    auto& ui = f.ui();
    const auto enabled = [&] {
        return std::vector<bool>{ui.PrevPageBut->isEnabled(),   ui.FirstPageSpeed->isEnabled(),
                                 ui.PrevPageSpeed->isEnabled(), ui.NextPageBut->isEnabled(),
                                 ui.NextPageSpeed->isEnabled(), ui.LastPageSpeed->isEnabled(),
                                 ui.PageNumSpeed->isEnabled()};
    };
    EXPECT_EQ(enabled(), (std::vector<bool>{false, false, false, true, true, true, true}));
    QTest::mouseClick(ui.NextPageSpeed, Qt::LeftButton);
    EXPECT_EQ(f.pageLabel(), QStringLiteral("Stránka 2 z 3"));
    EXPECT_EQ(enabled(), (std::vector<bool>{true, true, true, true, true, true, true}));
    QTest::mouseClick(ui.LastPageSpeed, Qt::LeftButton);
    EXPECT_EQ(f.pageLabel(), QStringLiteral("Stránka 3 z 3"));
    EXPECT_EQ(enabled(), (std::vector<bool>{true, true, true, false, false, false, true}));
    QTest::mouseClick(ui.PrevPageBut, Qt::LeftButton);
    QTest::mouseClick(ui.FirstPageSpeed, Qt::LeftButton);
    EXPECT_EQ(f.form->CurrentPage, 0);

    PreviewFixture empty(0);
    empty.open();
    EXPECT_EQ(empty.pageLabel(), QStringLiteral("Stránka 1 z 0"));
    auto& e = empty.ui();
    for (QWidget* w : std::initializer_list<QWidget*>{e.PrevPageBut, e.NextPageBut, e.FirstPageSpeed, e.PrevPageSpeed,
                                                      e.NextPageSpeed, e.LastPageSpeed, e.PageNumSpeed})
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
}

TEST(PrevForm, GoToPageTakesOnlyPagesThatExist)
{
    PreviewFixture f;
    f.open();
    int asked = -1;
    int maximum = -1;
    const auto answer = [&](int value, int result) {
        f.fake.application.answerModal = [&, value, result](QDialog& dialog) {
            auto& go = static_cast<TGoPageForm&>(dialog).controls();
            asked = go.PageNum->value();
            maximum = go.PageNum->maximum();
            go.PageNum->setValue(value);
            return result;
        };
    };

    answer(3, QDialog::Accepted);
    QTest::mouseClick(f.ui().PageNumSpeed, Qt::LeftButton);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(maximum, 3);
    EXPECT_EQ(f.pageLabel(), QStringLiteral("Stránka 3 z 3"));
    EXPECT_FALSE(f.ui().NextPageBut->isEnabled());

    answer(1, QDialog::Rejected);
    QTest::mouseClick(f.ui().PageNumSpeed, Qt::LeftButton);
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(f.form->CurrentPage, 2);

    // A number typed beyond the document stays within it.
    f.fake.application.answerModal = [](QDialog& dialog) {
        auto& go = static_cast<TGoPageForm&>(dialog).controls();
        go.PageNum->findChild<QLineEdit*>()->setText(QStringLiteral("9"));
        return int(QDialog::Accepted);
    };
    f.form->PageNumSpeedClick();
    EXPECT_EQ(f.pageLabel(), QStringLiteral("Stránka 3 z 3"));
    EXPECT_EQ(f.fake.application.modals().size(), 3u);
}

TEST(PrevForm, HintLineWhileShownAndThePreviousHandlerAfter)
{
    PreviewFixture f;
    int previousCalls = 0;
    f.fake.application.setOnHint([&] { ++previousCalls; });
    f.open();
    f.fake.application.setHint(QStringLiteral("Tisk dokumentu"));
    EXPECT_EQ(f.ui().HintLabel->text(), QStringLiteral("Tisk dokumentu"));
    EXPECT_EQ(previousCalls, 0);

    QTest::keyClick(f.form.get(), Qt::Key_Escape);
    EXPECT_FALSE(f.form->isVisible());
    f.fake.application.setHint(QStringLiteral("jinde"));
    EXPECT_EQ(previousCalls, 1);
    EXPECT_EQ(f.ui().HintLabel->text(), QStringLiteral("Tisk dokumentu"));
}

TEST(PrevForm, PrintAsksThePrintDialogAndStaysOpen)
{
    PreviewFixture f;
    f.open();
    f.fake.printDialog.scriptAnswer(PrintDialogChoice{false, 2, 3, 1});
    QTest::mouseClick(f.ui().PrintBut, Qt::LeftButton);
    ASSERT_EQ(f.fake.printDialog.shown().size(), 1u);
    EXPECT_EQ(f.fake.printDialog.shown()[0].maxPage, 3);
    ASSERT_EQ(f.fake.printers.jobs().size(), 1u);
    EXPECT_EQ(f.fake.printers.jobs()[0].sheets.size(), 2u);
    EXPECT_TRUE(f.form->isVisible());

    // A failing printer is reported in the error box, not thrown out of the click.
    f.fake.printers.failOn(FakePrinters::Failure::BeginDoc);
    f.fake.printDialog.scriptAnswer(PrintDialogChoice{});
    QTest::mouseClick(f.ui().PrintBut, Qt::LeftButton);
    EXPECT_EQ(f.fake.application.errors().size(), 1u);
}

TEST(PrevForm, PaintsThePageAndAnInchGrid)
{
    PreviewFixture f;
    f.engine.ShowGrid = true;
    f.open();
    const QImage image = f.ui().PB1->grab().toImage();
    // One inch of the 600-dpi sheet, stretched to the box.
    const int inch = 600 * image.width() / f.engine.PageWidth();
    const auto greyIn = [&](QRect area) {
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                if (image.pixelColor(x, y) == QColor(192, 192, 192))
                    return true;
        return false;
    };
    EXPECT_TRUE(greyIn(QRect(inch - 1, image.height() / 2, 3, 1)));
    EXPECT_TRUE(greyIn(QRect(image.width() / 2, inch - 1, 1, 3)));
    EXPECT_FALSE(greyIn(QRect(inch + 5, image.height() / 2, inch - 10, 1)));
    // "Line 1" starts at the margin, 100 printer pixels in: dark pixels there.
    bool text = false;
    const int margin = 100 * image.width() / f.engine.PageWidth();
    for (int y = margin; y < margin + inch / 2 && !text; ++y)
        for (int x = margin; x < margin + inch / 2 && !text; ++x)
            text = image.pixelColor(x, y).lightness() < 100;
    EXPECT_TRUE(text);
}

// The program's icon for desktops and menus is the window icon drawn afresh at each size:
// the same picture as the title bar's and the tray's, filling its square at any size.
TEST(PrevForm, WindowIconImageIsTheWindowIconAtEverySize)
{
    const QImage small = Glyphs::windowIconImage(18).convertToFormat(QImage::Format_ARGB32);
    const QImage shown = Glyphs::windowIcon().pixmap(18, 18).toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(small, shown);

    for (const int size : {16, 22, 48, 256}) {
        SCOPED_TRACE(size);
        const QImage image = Glyphs::windowIconImage(size);
        ASSERT_EQ(image.size(), QSize(size, size));
        EXPECT_TRUE(image.hasAlphaChannel());
        // The sheet, 13 of the 18 units wide from 2.5 in and as tall as the square; the
        // mitre of its folded corner reaches a little further right.
        QRect drawn;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                if (qAlpha(image.pixel(x, y)) > 0)
                    drawn |= QRect(x, y, 1, 1);
        const double unit = size / 18.0;
        EXPECT_NEAR(drawn.left(), 2 * unit, 1.5);
        EXPECT_GE(drawn.right() + 1, 16 * unit - 1);
        EXPECT_LE(drawn.right() + 1, 17 * unit + 1);
        EXPECT_NEAR(drawn.top(), 0, 1.5);
        EXPECT_NEAR(drawn.bottom() + 1, size, 1.5);
        // White paper under the short last line, opaque.
        EXPECT_EQ(image.pixelColor(qRound(12 * unit), qRound(15 * unit)), QColor(Qt::white));
    }
}

} // namespace
