#include "OffscreenMain.h"
#include "ReportGenerator.h"

#include "PrevForm.h"
#include "engine/PrevPrinter.h"
#include "platform/OemCodePage.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/LinuxPlatform.h"
#include "ui_PrevForm.h"

#include <QApplication>

#include <benchmark/benchmark.h>

// Speed of the preview window on the 1,000-page report laid out for a 600-dpi A4
// printer, with real fonts, in a 1920 x 1080 window: opening it, painting a page at
// fit-page zoom and at 200 %, and turning pages.

namespace {

struct Preview
{
    Preview()
        : fonts(OemCodePage::system())
    {
        fake.printers.addPrinter(QStringLiteral("Laser"), DeviceMetrics{600, 600, 4960, 7016, 100, 100});
        engine.RenderText(makeReport(1000));
    }
    std::unique_ptr<TPreviewForm> open()
    {
        auto form = engine.CreatePreviewForm();
        form->setWindowState(Qt::WindowNoState);
        form->resize(1920, 1080);
        form->show();
        return form;
    }
    FakePlatform fake;
    QtFonts fonts;
    TPreviewPrinter engine{
        Platform{fake.printers, fake.printDialog, fake.screen, fonts, fake.bitmaps, fake.application}};
};

Preview& preview()
{
    static Preview p;
    return p;
}

// Paints the widget as the screen would get it.
void paint(QWidget* widget)
{
    static QImage target;
    if (target.size() != widget->size())
        target = QImage(widget->size(), QImage::Format_ARGB32_Premultiplied);
    widget->render(&target);
    benchmark::DoNotOptimize(target.constBits());
}

void BM_OpenPreview(benchmark::State& state)
{
    for (auto _ : state) {
        auto form = preview().open();
        paint(form->controls().PB1);
    }
}
BENCHMARK(BM_OpenPreview)->Unit(benchmark::kMillisecond);

void paintAt(benchmark::State& state, int zoomItem)
{
    auto form = preview().open();
    form->controls().ZoomBox->setCurrentIndex(zoomItem);
    form->ZoomBoxChange();
    for (auto _ : state)
        paint(form->controls().PB1);
    state.counters["panel_w"] = form->controls().PagePanel->width();
    state.counters["panel_h"] = form->controls().PagePanel->height();
}

void BM_PaintFitPage(benchmark::State& state)
{
    paintAt(state, 0);
}
BENCHMARK(BM_PaintFitPage)->Unit(benchmark::kMillisecond);

void BM_Paint200Percent(benchmark::State& state)
{
    paintAt(state, 9);
}
BENCHMARK(BM_Paint200Percent)->Unit(benchmark::kMillisecond);

void BM_NextPageTwoPages(benchmark::State& state)
{
    auto form = preview().open();
    form->controls().TwoPageBut->setDown(true);
    form->TwoPageButClick();
    for (auto _ : state) {
        if (form->CurrentPage + 2 >= preview().engine.PageCount())
            form->FirstPageSpeedClick();
        form->NextPageButClick();
        paint(form->controls().ContainPanel);
    }
}
BENCHMARK(BM_NextPageTwoPages)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    return runOffscreenBenchmarks<QApplication>(argc, argv);
}
