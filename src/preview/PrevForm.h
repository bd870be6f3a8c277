#pragma once

#include "platform/IApplication.h"
#include "platform/Platform.h"

#include <QDialog>

#include <memory>

namespace Ui {
class TPreviewForm;
}
class QPainter;
class TPaintBox;
class TPreviewPrinter;

// The preview window: shows the recorded pages of one engine, one page or two side by
// side, at a chosen zoom, optionally with a one-inch grid; the user moves through the
// pages, jumps to a page number, zooms with the magnifier, drags with the hand, prints
// through the engine's print dialog and closes the window. It only reads the engine.
// The window owns its controls; the engine must outlive it. Main thread only.
class TPreviewForm : public QDialog
{
public:
    // The magnifier's number in the screen's cursor table.
    static constexpr int kZoomCursor = 40;

    // Builds the window from its form description, then runs FormCreate.
    explicit TPreviewForm(const Platform& platform, QWidget* owner = nullptr);
    ~TPreviewForm() override;

    Ui::TPreviewForm& controls() { return *ui; }

    // Not owned; set by the engine that creates the window.
    TPreviewPrinter* PreviewPrinter = nullptr;
    int CurrentPage = 0;
    // The zoom the layout applied last: the custom zoom and the magnifier's base.
    double Zoom = 1.0;
    int DragStartX = 0;
    int DragStartY = 0;
    bool Dragging = false;
    IApplication::HintHandler SavedOnHint;

    // Handlers, under the names the form binds them by.
    void FormCreate();
    void FormShow();
    void FormClose();
    void ScrollBox1Resize();
    void ZoomBoxChange();
    void FitPageButClick();
    void FitWidthButClick();
    void OnePageButMouseUp();
    void TwoPageButClick();
    void GridButClick();
    void ZoomCursorButClick();
    void HandCursorButClick();
    void PBPaint(TPaintBox& sender, QPainter& painter);
    void PB1MouseDown(Qt::MouseButton button, Qt::MouseButtons buttons, int x, int y);
    void PB1MouseMove(int x, int y);
    void PB1MouseUp();
    void NextPageButClick();
    void PrevPageButClick();
    void FirstPageSpeedClick();
    void LastPageSpeedClick();
    void PageNumSpeedClick();
    void PrintButClick();
    void CloseButClick();

    void SetPage(int index);
    void UpdateButtons();
    void ShowAppHint();

protected:
    void showEvent(QShowEvent* event) override;

private:
    int pageCount() const;
    void connectHandlers();
    void restoreHint();

    std::unique_ptr<Ui::TPreviewForm> ui;
    Platform m_platform;
    bool m_hintInstalled = false;
};
