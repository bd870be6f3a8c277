#include "OffscreenMain.h"
#include "ReportGenerator.h"

#include "engine/PrevPrinter.h"
#include "platform/OemCodePage.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/LinuxPlatform.h"

#include <QGuiApplication>

#include <benchmark/benchmark.h>

// Layout speed of the engine: a 1,000-page report laid out with RenderText, and the same
// report read as Epson ESC/P 2 (its commands mean the same there) and as HP PCL 5 (where its
// ESC E, bold in the table, is a reset that ejects the page: two pages for each), against a 600-dpi laser
// printer. The printer is a fake (no CUPS in the measurement); the fonts
// are real in the first benchmark and fixed-pitch fakes in the second, which shows what
// measuring and the font table cost.

namespace {

constexpr int kReportPages = 1000;

const std::string& report()
{
    static const std::string text = makeReport(kReportPages);
    return text;
}

void layOut(benchmark::State& state, IFonts& fonts, TEmulation emulation = TEmulation::CommandTable)
{
    FakePlatform fake;
    fake.printers.addPrinter(QStringLiteral("Laser"), DeviceMetrics{600, 600, 4960, 7016, 100, 100});
    TPreviewPrinter engine(
        Platform{fake.printers, fake.printDialog, fake.screen, fonts, fake.bitmaps, fake.application});
    engine.setUnits(unInches);
    const std::string& text = report();

    // One untimed run measures every font the report uses, as a spooler that has
    // printed before has them measured.
    const auto render = [&] {
        if (emulation == TEmulation::EscP2)
            engine.RenderEscP2(text);
        else if (emulation == TEmulation::Pcl5)
            engine.RenderPcl5(text);
        else
            engine.RenderText(text);
    };
    render();

    for (auto _ : state) {
        render();
        benchmark::DoNotOptimize(engine.PageCount());
    }

    std::size_t records = 0;
    std::size_t bytes = 0;
    for (int i = 0; i < engine.PageCount(); ++i) {
        records += engine.Pages(i).records().size();
        bytes += engine.Pages(i).memoryBytes();
    }
    const double pages = engine.PageCount();
    state.counters["pages"] = pages;
    state.counters["records_per_page"] = pages > 0 ? static_cast<double>(records) / pages : 0;
    state.counters["bytes_per_page"] = pages > 0 ? static_cast<double>(bytes) / pages : 0;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

void BM_RenderText_QtFonts(benchmark::State& state)
{
    QtFonts fonts(OemCodePage::system());
    layOut(state, fonts);
}
BENCHMARK(BM_RenderText_QtFonts)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_RenderText_FakeFonts(benchmark::State& state)
{
    FakeFonts fonts;
    layOut(state, fonts);
}
BENCHMARK(BM_RenderText_FakeFonts)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_RenderEscP2_QtFonts(benchmark::State& state)
{
    QtFonts fonts(OemCodePage::system());
    layOut(state, fonts, TEmulation::EscP2);
}
BENCHMARK(BM_RenderEscP2_QtFonts)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_RenderEscP2_FakeFonts(benchmark::State& state)
{
    FakeFonts fonts;
    layOut(state, fonts, TEmulation::EscP2);
}
BENCHMARK(BM_RenderEscP2_FakeFonts)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_RenderPcl5_QtFonts(benchmark::State& state)
{
    QtFonts fonts(OemCodePage::system());
    layOut(state, fonts, TEmulation::Pcl5);
}
BENCHMARK(BM_RenderPcl5_QtFonts)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_RenderPcl5_FakeFonts(benchmark::State& state)
{
    FakeFonts fonts;
    layOut(state, fonts, TEmulation::Pcl5);
}
BENCHMARK(BM_RenderPcl5_FakeFonts)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

int main(int argc, char** argv)
{
    return runOffscreenBenchmarks<QGuiApplication>(argc, argv);
}
