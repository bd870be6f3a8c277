#include "engine/PrevPrinter.h"
#include "engine/SpoolFile.h"
#include "platform/Errors.h"
#include "platform/fake/FakePlatform.h"

#include <QGuiApplication>
#include <QImage>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

// Spool bytes from a DOS program are outside input: whatever they hold, cutting and
// laying them out, printing in batches while the layout runs (as the spooler does for
// long documents), and printing the rest must neither crash nor corrupt memory.

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // Fonts need a GUI application; the fuzzer never shows anything. The application
    // gets arguments of its own (the fuzzer's flags are not Qt's) and lives until the
    // process ends: destroying it after Qt's own statics are gone would crash at exit.
    (void)argc;
    static int qtArgc = 1;
    static char* qtArgv[] = {(*argv)[0], nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QGuiApplication* app = new QGuiApplication(qtArgc, qtArgv);
    (void)app;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text = cutSpoolText(std::string(reinterpret_cast<const char*>(data), size));

    // The first byte, still part of the text, also picks the run's settings: the batch
    // size (0 = no batches) and whether a logo is drawn on the pages.
    const unsigned char knobs = size > 0 ? data[0] : 0;
    const int batch = knobs & 0x07;
    const bool withLogo = knobs & 0x08;

    FakePlatform fake;
    fake.printers.addPrinter(QStringLiteral("Laser"), DeviceMetrics{600, 600, 4960, 7016, 100, 100});
    fake.printers.setKeepRecords(false);
    if (withLogo) {
        QImage logo(8, 4, QImage::Format_RGB32);
        logo.fill(Qt::blue);
        logo.setPixel(0, 3, qRgb(255, 255, 255));
        fake.bitmaps.addBitmap(QStringLiteral("logo.bmp"), logo);
    }

    TPreviewPrinter engine(fake.platform());
    engine.setUnits(unInches);
    if (withLogo)
        engine.Logo = QStringLiteral("logo.bmp");
    engine.OnNewPage = [batch](TPreviewPrinter& sender, int) {
        // The spooler's batches: once the pages laid out reach the batch size, print them
        // and start afresh. A batch of 1 discards the still empty first page as well.
        if (batch > 0 && sender.PageCount() >= batch) {
            sender.CloseCanvas();
            sender.Print();
            sender.Clear();
        }
    };
    try {
        engine.RenderText(text);
        engine.Title = QStringLiteral("Pagello : fuzz.prn  1-%1").arg(engine.PageCount());
        if (engine.PageCount() > 0)
            engine.Print();
    } catch (const PagelloError&) {
        // A refused document is a valid outcome; only crashes and memory errors count.
    }
    return 0;
}
