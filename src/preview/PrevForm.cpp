#include "PrevForm.h"
#include "ui_PrevForm.h"

#include "Glyphs.h"
#include "Gopage.h"
#include "PreviewLayout.h"
#include "engine/PrevPrinter.h"
#include "platform/IScreen.h"
#include "platform/Metafile.h"
#include "platform/Replay.h"
#include "ui_Gopage.h"

#include <QGuiApplication>
#include <QPainter>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>

namespace {

const QColor kGridColor(192, 192, 192);

QFont pixelFont(const QString& family, int pixels)
{
    QFont font(family);
    font.setPixelSize(pixels);
    return font;
}

void fill(QWidget* widget, QPalette::ColorRole source)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, palette.color(source));
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

} // namespace

TPreviewForm::TPreviewForm(const Platform& platform, QWidget* owner)
    : QDialog(owner)
    , ui(std::make_unique<Ui::TPreviewForm>())
    , m_platform(platform)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(Glyphs::windowIcon());

    ui->ToolBarPanel->setFont(pixelFont(QStringLiteral("Arial"), 12));
    ui->StatBarPanel->setFont(pixelFont(QStringLiteral("Arial"), 12));
    ui->MoveButPanel->setFont(QFont(QStringLiteral("Times New Roman")));
    fill(ui->ScrollBox1->viewport(), QPalette::Button);
    fill(ui->ContainPanel, QPalette::Dark);
    fill(ui->PagePanel, QPalette::Base);
    fill(ui->PagePanel2, QPalette::Base);

    const QSize glyphSize(18, 18);
    const std::pair<TSpeedButton*, QIcon> glyphs[] = {
        {ui->FitPageBut, Glyphs::fitPage()},       {ui->FitWidthBut, Glyphs::fitWidth()},
        {ui->ZoomCursorBut, Glyphs::magnifier()},  {ui->HandCursorBut, Glyphs::hand()},
        {ui->FirstPageSpeed, Glyphs::firstPage()}, {ui->PrevPageSpeed, Glyphs::prevPage()},
        {ui->NextPageSpeed, Glyphs::nextPage()},   {ui->LastPageSpeed, Glyphs::lastPage()},
        {ui->PageNumSpeed, Glyphs::pageNumber()},
    };
    for (const auto& [button, icon] : glyphs) {
        button->setIcon(icon);
        button->setIconSize(glyphSize);
    }
    ui->PrevPageBut->setEnabled(false);

    // The restored size, centred; the window itself opens maximised.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }

    connectHandlers();
    guarded(m_platform.application, [this] { FormCreate(); });
}

TPreviewForm::~TPreviewForm()
{
    // A window destroyed while shown must not leave its handler behind.
    restoreHint();
}

void TPreviewForm::connectHandlers()
{
    const auto bind = [this](auto* sender, auto signal, void (TPreviewForm::*handler)()) {
        connect(sender, signal, this,
                [this, handler] { guarded(m_platform.application, [&] { (this->*handler)(); }); });
    };
    // A pass that takes scroll bars away or brings them up changes the client area it
    // fitted to; a second pass fits the page to the area that is left.
    connect(ui->ScrollBox1, &TScrollBox::resized, this, [this] {
        guarded(m_platform.application, [this] {
            const QSize client = ui->ScrollBox1->viewport()->size();
            ScrollBox1Resize();
            if (ui->ScrollBox1->viewport()->size() != client)
                ScrollBox1Resize();
        });
    });
    bind(ui->ZoomBox, &QComboBox::activated, &TPreviewForm::ZoomBoxChange);
    bind(ui->FitPageBut, &QToolButton::clicked, &TPreviewForm::FitPageButClick);
    bind(ui->FitWidthBut, &QToolButton::clicked, &TPreviewForm::FitWidthButClick);
    bind(ui->OnePageBut, &TSpeedButton::mouseUp, &TPreviewForm::OnePageButMouseUp);
    bind(ui->OnePageBut, &QToolButton::clicked, &TPreviewForm::ScrollBox1Resize);
    bind(ui->TwoPageBut, &QToolButton::clicked, &TPreviewForm::TwoPageButClick);
    bind(ui->GridBut, &QToolButton::clicked, &TPreviewForm::GridButClick);
    bind(ui->ZoomCursorBut, &QToolButton::clicked, &TPreviewForm::ZoomCursorButClick);
    bind(ui->HandCursorBut, &QToolButton::clicked, &TPreviewForm::HandCursorButClick);
    bind(ui->NextPageBut, &QPushButton::clicked, &TPreviewForm::NextPageButClick);
    bind(ui->NextPageSpeed, &QToolButton::clicked, &TPreviewForm::NextPageButClick);
    bind(ui->PrevPageBut, &QPushButton::clicked, &TPreviewForm::PrevPageButClick);
    bind(ui->PrevPageSpeed, &QToolButton::clicked, &TPreviewForm::PrevPageButClick);
    bind(ui->FirstPageSpeed, &QToolButton::clicked, &TPreviewForm::FirstPageSpeedClick);
    bind(ui->LastPageSpeed, &QToolButton::clicked, &TPreviewForm::LastPageSpeedClick);
    bind(ui->PageNumSpeed, &QToolButton::clicked, &TPreviewForm::PageNumSpeedClick);
    bind(ui->PrintBut, &QPushButton::clicked, &TPreviewForm::PrintButClick);
    bind(ui->CloseBut, &QPushButton::clicked, &TPreviewForm::CloseButClick);
    // Every way of closing ends the dialog: the close button, Escape, the title bar.
    bind(this, &QDialog::finished, &TPreviewForm::FormClose);

    for (TPaintBox* box : {ui->PB1, ui->PB2})
        connect(box, &TPaintBox::paint, this,
                [this, box](QPainter& painter) { guarded(m_platform.application, [&] { PBPaint(*box, painter); }); });
    connect(ui->PB1, &TPaintBox::mouseDown, this,
            [this](Qt::MouseButton button, Qt::MouseButtons buttons, int x, int y) {
                guarded(m_platform.application, [&] { PB1MouseDown(button, buttons, x, y); });
            });
    connect(ui->PB1, &TPaintBox::mouseMove, this,
            [this](Qt::MouseButtons, int x, int y) { guarded(m_platform.application, [&] { PB1MouseMove(x, y); }); });
    bind(ui->PB1, &TPaintBox::mouseUp, &TPreviewForm::PB1MouseUp);
}

void TPreviewForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        guarded(m_platform.application, [this] { FormShow(); });
}

int TPreviewForm::pageCount() const
{
    return PreviewPrinter ? PreviewPrinter->PageCount() : 0;
}

void TPreviewForm::FormCreate()
{
    ui->ZoomBox->setCurrentIndex(kZoomFitPage);
    setWindowState(windowState() | Qt::WindowMaximized);
    m_platform.screen.setCursor(kZoomCursor, Glyphs::zoomCursor());
    ZoomCursorButClick();
}

void TPreviewForm::FormShow()
{
    SetPage(0);
    if (!m_hintInstalled) {
        SavedOnHint = m_platform.application.onHint();
        m_platform.application.setOnHint([this] { ShowAppHint(); });
        m_hintInstalled = true;
    }
    UpdateButtons();
}

void TPreviewForm::FormClose()
{
    // The window is freed by whoever showed it (Preview, once its modal loop returns).
    restoreHint();
}

void TPreviewForm::restoreHint()
{
    if (!m_hintInstalled)
        return;
    m_platform.application.setOnHint(SavedOnHint);
    m_hintInstalled = false;
}

void TPreviewForm::ScrollBox1Resize()
{
    PreviewLayoutInput in;
    in.itemIndex = ui->ZoomBox->currentIndex();
    in.twoPages = ui->TwoPageBut->Down();
    in.client = ui->ScrollBox1->viewport()->size();
    in.screenPpi = m_platform.screen.pixelsPerInch();
    if (PreviewPrinter) {
        in.pageWidth = PreviewPrinter->PageWidth();
        in.pageHeight = PreviewPrinter->PageHeight();
        in.printerPpiX = PreviewPrinter->PixelsPerInchX();
        in.printerPpiY = PreviewPrinter->PixelsPerInchY();
    }
    in.storedZoom = Zoom;
    const PreviewLayout out = layoutPreview(in);

    // The fit buttons show the zoom box's choice; neither is down for a percentage.
    if (out.fitPageDown)
        ui->FitPageBut->setDown(true);
    else if (out.fitWidthDown)
        ui->FitWidthBut->setDown(true);
    else {
        ui->FitPageBut->setDown(false);
        ui->FitWidthBut->setDown(false);
    }
    if (ui->ZoomBox->currentIndex() != out.itemIndex)
        ui->ZoomBox->setCurrentIndex(out.itemIndex);
    if (out.onePageForced)
        ui->OnePageBut->setDown(true);

    ui->PagePanel->resize(out.page);
    ui->PagePanel2->setVisible(out.twoPages);
    if (out.twoPages)
        ui->PagePanel2->resize(out.page);
    ui->ContainPanel->resize(out.contain);
    ui->PagePanel->move(out.page1);
    ui->PagePanel2->move(out.page2);

    Zoom = out.zoom;
    ui->ZoomLabel->setText(zoomLabelText(out.zoom, QLocale()));

    // The next pass of the layout sees the client area the scroll bars leave.
    ui->ScrollBox1->settleScrollBars();
}

void TPreviewForm::ZoomBoxChange()
{
    // The first pass may bring up or take away the scroll bars, which changes the client
    // area the second pass fits to.
    ScrollBox1Resize();
    ScrollBox1Resize();
}

void TPreviewForm::FitPageButClick()
{
    ui->ZoomBox->setCurrentIndex(kZoomFitPage);
    ZoomBoxChange();
}

void TPreviewForm::FitWidthButClick()
{
    ui->ZoomBox->setCurrentIndex(kZoomFitWidth);
    ZoomBoxChange();
}

void TPreviewForm::OnePageButMouseUp()
{
    ui->ZoomBox->setCurrentIndex(kZoomFitPage);
    ScrollBox1Resize();
}

void TPreviewForm::TwoPageButClick()
{
    ui->ZoomBox->setCurrentIndex(kZoomFitPage);
    ScrollBox1Resize();
}

void TPreviewForm::GridButClick()
{
    ui->PB1->update();
    ui->PB2->update();
}

void TPreviewForm::ZoomCursorButClick()
{
    const QCursor cursor = m_platform.screen.cursor(kZoomCursor);
    ui->PB1->setCursor(cursor);
    ui->PB2->setCursor(cursor);
}

void TPreviewForm::HandCursorButClick()
{
    ui->PB1->setCursor(Qt::PointingHandCursor);
    ui->PB2->setCursor(Qt::PointingHandCursor);
}

void TPreviewForm::PBPaint(TPaintBox& sender, QPainter& painter)
{
    if (!PreviewPrinter)
        return;
    const TPreviewPrinter& engine = *PreviewPrinter;
    const int pw = engine.PageWidth();
    const int ph = engine.PageHeight();
    if (pw <= 0 || ph <= 0)
        return;

    const bool first = &sender == ui->PB1;
    const int index = first ? CurrentPage : CurrentPage + 1;
    const bool drawPage = index >= 0 && index < engine.PageCount() && (first || ui->TwoPageBut->Down());

    // One logical unit is one printer pixel of the physical page, stretched to the box.
    painter.setWindow(0, 0, pw, ph);
    painter.setViewport(0, 0, sender.width(), sender.height());
    painter.setRenderHints(QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform);
    if (drawPage)
        replayPage(painter, engine.Pages(index), QPoint(0, 0), m_platform.fonts);

    if (ui->GridBut->Down()) {
        QPen pen(kGridColor, 0); // one screen pixel at any zoom
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRect(QPoint(engine.PageOffsetX(), engine.PageOffsetY()), QPoint(pw - 1, ph - 1)));
        const int lpx = engine.PixelsPerInchX();
        const int lpy = engine.PixelsPerInchY();
        for (int i = 1; lpx > 0 && i <= pw / lpx; ++i)
            painter.drawLine(lpx * i, 0, lpx * i, ph);
        for (int j = 1; lpy > 0 && j <= ph / lpy; ++j)
            painter.drawLine(0, lpy * j, pw, lpy * j);
    }
}

void TPreviewForm::PB1MouseDown(Qt::MouseButton, Qt::MouseButtons buttons, int x, int y)
{
    if (ui->ZoomCursorBut->Down()) {
        // The clicked point as a share of the page, before the zoom changes.
        const float fx = ui->PagePanel->width() > 0 ? float(x) / ui->PagePanel->width() : 0.0f;
        const float fy = ui->PagePanel->height() > 0 ? float(y) / ui->PagePanel->height() : 0.0f;
        Zoom = magnifiedZoom(Zoom, buttons.testFlag(Qt::LeftButton), buttons.testFlag(Qt::RightButton));
        ui->ZoomBox->setCurrentIndex(kZoomCustom);
        ScrollBox1Resize();
        // The clicked point comes to the middle of the box.
        ui->ScrollBox1->horizontalScrollBar()->setValue(int(ui->PagePanel->width() * fx) - ui->ScrollBox1->width() / 2);
        ui->ScrollBox1->verticalScrollBar()->setValue(int(ui->PagePanel->height() * fy) - ui->ScrollBox1->height() / 2);
    }
    if (ui->HandCursorBut->Down()) {
        DragStartX = x;
        DragStartY = y;
        Dragging = true;
    }
}

void TPreviewForm::PB1MouseMove(int x, int y)
{
    if (!Dragging)
        return;
    // Measured from the press: the page moves under the mouse, so the offset shrinks as
    // the view catches up with the hand.
    QScrollBar* horizontal = ui->ScrollBox1->horizontalScrollBar();
    QScrollBar* vertical = ui->ScrollBox1->verticalScrollBar();
    horizontal->setValue(horizontal->value() + DragStartX - x);
    vertical->setValue(vertical->value() + DragStartY - y);
}

void TPreviewForm::PB1MouseUp()
{
    Dragging = false;
}

void TPreviewForm::SetPage(int index)
{
    CurrentPage = index;
    ui->CurPageLabel->setText(QStringLiteral("Stránka %1 z %2").arg(index + 1).arg(pageCount()));
    ui->PB1->update();
    ui->PB2->update();
}

void TPreviewForm::UpdateButtons()
{
    const int count = pageCount();
    ui->NextPageBut->setEnabled(CurrentPage + 1 < count);
    ui->PrevPageBut->setEnabled(CurrentPage > 0);
    ui->NextPageSpeed->setEnabled(ui->NextPageBut->isEnabled());
    ui->LastPageSpeed->setEnabled(ui->NextPageBut->isEnabled());
    ui->PrevPageSpeed->setEnabled(ui->PrevPageBut->isEnabled());
    ui->FirstPageSpeed->setEnabled(ui->PrevPageBut->isEnabled());
    ui->PageNumSpeed->setEnabled(count > 1);
}

void TPreviewForm::NextPageButClick()
{
    SetPage(CurrentPage + 1);
    UpdateButtons();
}

void TPreviewForm::PrevPageButClick()
{
    SetPage(CurrentPage - 1);
    UpdateButtons();
}

void TPreviewForm::FirstPageSpeedClick()
{
    SetPage(0);
    UpdateButtons();
}

void TPreviewForm::LastPageSpeedClick()
{
    SetPage(pageCount() - 1);
    UpdateButtons();
}

void TPreviewForm::PageNumSpeedClick()
{
    const int count = pageCount();
    // Without pages there is no number to go to.
    if (count < 1)
        return;
    TGoPageForm dialog(this);
    dialog.controls().PageNum->setMaximum(count);
    dialog.controls().PageNum->setValue(CurrentPage + 1);
    if (m_platform.application.execModal(dialog) != QDialog::Accepted)
        return;
    // A number typed without leaving the field is taken as it stands, within the pages.
    dialog.controls().PageNum->interpretText();
    SetPage(std::clamp(dialog.controls().PageNum->value(), 1, count) - 1);
    UpdateButtons();
}

void TPreviewForm::PrintButClick()
{
    if (PreviewPrinter)
        PreviewPrinter->PrintWithDialog();
}

void TPreviewForm::CloseButClick()
{
    close();
}

void TPreviewForm::ShowAppHint()
{
    ui->HintLabel->setText(m_platform.application.hint());
    ui->HintLabel->adjustSize();
}
