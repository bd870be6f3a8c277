#include "Main.h"
#include "OffscreenMain.h"
#include "Queue.h"
#include "platform/fake/FakePlatform.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

// Rescans of a spool directory of 10,000 spool files, merged into the queue window's list
// on the fake platform: the rescan a notification or the 4-second poll causes when
// nothing changed, one after a single file was added, and the merge alone.

namespace {

constexpr int kFiles = 10000;

struct Spool
{
    Spool()
    {
        QDir().mkpath(dir.filePath(QStringLiteral("tisk")));
        for (int i = 0; i < kFiles; ++i) {
            QFile file(dir.filePath(QStringLiteral("tisk/DOC%1.PRN").arg(i, 5, 10, QLatin1Char('0'))));
            if (file.open(QIODevice::WriteOnly))
                file.write("x\r\n", 3);
        }
        fake.environment.programDir = dir.path();
        fake.printers.addPrinter(QStringLiteral("Laser"), DeviceMetrics{600, 600, 4960, 7016, 100, 100});
        form = std::make_unique<TForm1>(fake.spooler(), QStringList());
    }
    QTemporaryDir dir;
    FakeSpoolerPlatform fake;
    std::unique_ptr<TForm1> form;
};

Spool& spool()
{
    static Spool s;
    return s;
}

void BM_RescanUnchanged10k(benchmark::State& state)
{
    TForm1& form = *spool().form;
    for (auto _ : state)
        form.ScanQueue();
    state.counters["entries"] = form.queue().count();
}
BENCHMARK(BM_RescanUnchanged10k)->Unit(benchmark::kMillisecond);

void BM_RescanOneAddedOneGone10k(benchmark::State& state)
{
    TForm1& form = *spool().form;
    const QString extra = spool().dir.filePath(QStringLiteral("tisk/NEW.PRN"));
    bool present = false;
    for (auto _ : state) {
        state.PauseTiming();
        present = !present;
        if (present) {
            QFile file(extra);
            file.open(QIODevice::WriteOnly);
        } else {
            QFile::remove(extra);
        }
        state.ResumeTiming();
        form.ScanQueue();
    }
}
BENCHMARK(BM_RescanOneAddedOneGone10k)->Unit(benchmark::kMillisecond);

void BM_MergeIntoEmpty10k(benchmark::State& state)
{
    const QByteArrayList names = listSpoolFiles(spool().dir.filePath(QStringLiteral("tisk")));
    for (auto _ : state) {
        TQueueModel model;
        model.merge(names);
        benchmark::DoNotOptimize(model.count());
    }
}
BENCHMARK(BM_MergeIntoEmpty10k)->Unit(benchmark::kMillisecond);

void BM_ListDirectory10k(benchmark::State& state)
{
    const QString dir = spool().dir.filePath(QStringLiteral("tisk"));
    for (auto _ : state)
        benchmark::DoNotOptimize(listSpoolFiles(dir).size());
}
BENCHMARK(BM_ListDirectory10k)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    return runOffscreenBenchmarks<QApplication>(argc, argv);
}
