// The engine's two operations that open the preview window. They live here, beside the
// window, so that the engine itself needs no widgets.

#include "PrevForm.h"
#include "ui_PrevForm.h"

#include "PreviewLayout.h"
#include "engine/PrevPrinter.h"
#include "platform/Errors.h"

std::unique_ptr<TPreviewForm> TPreviewPrinter::CreatePreviewForm()
{
    if (Printing())
        throw EAssertionFailed("Assertion failure", "PrevPrinter");
    auto form = std::make_unique<TPreviewForm>(m_platform);
    form->PreviewPrinter = this;
    Ui::TPreviewForm& ui = form->controls();
    ui.GridBut->setDown(ShowGrid);
    switch (ZoomOption) {
    case zoFitToPage:
        ui.ZoomBox->setCurrentIndex(kZoomFitPage);
        break;
    case zoFitToWidth:
        ui.ZoomBox->setCurrentIndex(kZoomFitWidth);
        break;
    case zoTwoPages:
        ui.TwoPageBut->setDown(true);
        break;
    case zoCustom:
        // ZoomVal is a percentage: 100 shows the page at its physical size.
        ui.ZoomBox->setCurrentIndex(kZoomCustom);
        form->Zoom = ZoomVal / 100.0;
        break;
    }
    form->ScrollBox1Resize();
    return form;
}

void TPreviewPrinter::Preview()
{
    std::unique_ptr<TPreviewForm> form = CreatePreviewForm();
    m_platform.application.execModal(*form);
}
