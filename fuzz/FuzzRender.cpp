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

    // Read in pieces, as the spooler reads a spool file, the text lays out as it does
    // whole: the same pages with the same records.
    if (batch == 0) {
        const std::size_t pieceSize = 1 + (knobs >> 4);
        FakePlatform split;
        split.printers.addPrinter(QStringLiteral("Laser"), DeviceMetrics{600, 600, 4960, 7016, 100, 100});
        TPreviewPrinter pieces(split.platform());
        pieces.setUnits(unInches);
        if (withLogo) {
            split.bitmaps.addBitmap(QStringLiteral("logo.bmp"), QImage(8, 4, QImage::Format_RGB32));
            pieces.Logo = QStringLiteral("logo.bmp");
        }
        struct Pieces : TTextSource
        {
            std::string_view rest;
            std::size_t size;
            std::string_view next() override
            {
                const std::string_view piece = rest.substr(0, size);
                rest.remove_prefix(piece.size());
                return piece;
            }
        } source;
        source.rest = text;
        source.size = pieceSize;
        try {
            pieces.RenderText(source);
        } catch (const PagelloError&) {
        }
        if (pieces.PageCount() != engine.PageCount())
            std::abort();
        for (int p = 0; p < engine.PageCount(); ++p) {
            const auto& a = engine.Pages(p).records();
            const auto& b = pieces.Pages(p).records();
            if (a.size() != b.size())
                std::abort();
            for (std::size_t r = 0; r < a.size(); ++r)
                if (a[r].op != b[r].op || a[r].x != b[r].x || a[r].y != b[r].y || a[r].textLength != b[r].textLength)
                    std::abort();
        }
    }
    return 0;
}
