#include "engine/PrevPrinter.h"
#include "engine/SpoolFile.h"
#include "platform/Errors.h"
#include "platform/fake/FakePlatform.h"

#include <QGuiApplication>
#include <QImage>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

// Spool bytes from a DOS program are outside input: whatever they hold, cutting and
// laying them out, printing in batches while the layout runs (as the spooler does for
// long documents), and printing the rest must neither crash nor corrupt memory. The same
// bytes, uncut, are also laid out as Epson ESC/P 2 and as HP PCL 5, whole and in pieces.

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

namespace {

// The text in pieces read into one buffer, as a spool file is read: each piece overwrites
// the one before and what it does not fill is scribbled over. The sizes run from 1 byte
// to `limit`, taken in turn from the input's own bytes.
class ReusedBuffer : public TTextSource
{
public:
    ReusedBuffer(std::string_view text, std::string_view sizes, std::size_t limit)
        : m_rest(text)
        , m_sizes(sizes)
        , m_buffer(limit, '#')
    {}
    std::string_view next() override
    {
        std::fill(m_buffer.begin(), m_buffer.end(), '#');
        std::size_t size = m_buffer.size();
        if (!m_sizes.empty())
            size = 1 + static_cast<unsigned char>(m_sizes[m_turn++ % m_sizes.size()]) % m_buffer.size();
        const std::string_view piece = m_rest.substr(0, size);
        m_rest.remove_prefix(piece.size());
        std::copy(piece.begin(), piece.end(), m_buffer.begin());
        return std::string_view(m_buffer.data(), piece.size());
    }

private:
    std::string_view m_rest;
    std::string_view m_sizes;
    std::size_t m_turn = 0;
    std::string m_buffer;
};

bool sameRecords(const TMetafile& a, const TMetafile& b)
{
    if (a.records().size() != b.records().size() || a.number() != b.number())
        return false;
    for (std::size_t i = 0; i < a.records().size(); ++i) {
        const MetaRecord& ra = a.records()[i];
        const MetaRecord& rb = b.records()[i];
        if (ra.op != rb.op || ra.x != rb.x || ra.y != rb.y)
            return false;
        if (ra.op == RecordOp::Text ? a.bytes(ra) != b.bytes(rb) || !(a.font(ra) == b.font(rb))
                                    : ra.width != rb.width || ra.height != rb.height)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text = cutSpoolText(std::string(reinterpret_cast<const char*>(data), size));

    // The first byte, still part of the text, also picks the run's settings: the batch
    // size (0 = no batches), whether a logo is drawn on the pages and the largest piece
    // the text is read in.
    const unsigned char knobs = size > 0 ? data[0] : 0;
    const int batch = knobs & 0x07;
    const bool withLogo = knobs & 0x08;
    const std::size_t pieceLimit = (knobs >> 4) == 15 ? 4096 : 1 + (knobs >> 4);

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
    std::string refused;
    try {
        engine.RenderText(text);
        engine.Title = QStringLiteral("Pagello : fuzz.prn  1-%1").arg(engine.PageCount());
        if (engine.PageCount() > 0)
            engine.Print();
    } catch (const EDocumentError& e) {
        // A refused document is a valid outcome; only crashes and memory errors count.
        refused = e.what();
    } catch (const PagelloError&) {
    }

    // Read in pieces into one reused buffer, as the spooler reads a spool file, the text
    // lays out as it does whole: the same pages with the same records, or the same refusal.
    if (batch == 0) {
        FakePlatform split;
        split.printers.addPrinter(QStringLiteral("Laser"), DeviceMetrics{600, 600, 4960, 7016, 100, 100});
        TPreviewPrinter pieces(split.platform());
        pieces.setUnits(unInches);
        if (withLogo) {
            split.bitmaps.addBitmap(QStringLiteral("logo.bmp"), QImage(8, 4, QImage::Format_RGB32));
            pieces.Logo = QStringLiteral("logo.bmp");
        }
        ReusedBuffer source(text, std::string_view(text).substr(0, 64), pieceLimit);
        std::string piecesRefused;
        try {
            pieces.RenderText(source);
        } catch (const EDocumentError& e) {
            piecesRefused = e.what();
        }
        if (piecesRefused != refused || pieces.PageCount() != engine.PageCount())
            std::abort();
        for (int p = 0; p < engine.PageCount(); ++p) {
            if (!sameRecords(engine.Pages(p), pieces.Pages(p)))
                std::abort();
        }
    }
    // As ESC/P 2 and as PCL 5 the bytes are read as the file has them: NUL bytes are
    // parameters and graphics.
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const auto layOutRaw = [&](void (TPreviewPrinter::*render)(std::string_view),
                               void (TPreviewPrinter::*renderPieces)(TTextSource&)) {
        FakePlatform rawFake;
        rawFake.printers.addPrinter(QStringLiteral("Laser"), DeviceMetrics{600, 600, 4960, 7016, 100, 100});
        rawFake.printers.setKeepRecords(false);
        TPreviewPrinter whole(rawFake.platform());
        whole.setUnits(unInches);
        whole.OnNewPage = [batch](TPreviewPrinter& sender, int) {
            if (batch > 0 && sender.PageCount() >= batch) {
                sender.CloseCanvas();
                sender.Print();
                sender.Clear();
            }
        };
        std::string wholeRefused;
        try {
            (whole.*render)(raw);
            whole.Title = QStringLiteral("Pagello : fuzz.prn  1-%1").arg(whole.PageCount());
            if (whole.PageCount() > 0)
                whole.Print();
        } catch (const EDocumentError& e) {
            wholeRefused = e.what();
        } catch (const PagelloError&) {
        }
        if (batch != 0)
            return;
        FakePlatform split;
        split.printers.addPrinter(QStringLiteral("Laser"), DeviceMetrics{600, 600, 4960, 7016, 100, 100});
        TPreviewPrinter pieces(split.platform());
        pieces.setUnits(unInches);
        ReusedBuffer source(raw, raw.substr(0, 64), pieceLimit);
        std::string piecesRefused;
        try {
            (pieces.*renderPieces)(source);
        } catch (const EDocumentError& e) {
            piecesRefused = e.what();
        }
        if (piecesRefused != wholeRefused || pieces.PageCount() != whole.PageCount())
            std::abort();
        for (int p = 0; p < whole.PageCount(); ++p) {
            if (!sameRecords(whole.Pages(p), pieces.Pages(p)))
                std::abort();
        }
    };
    layOutRaw(&TPreviewPrinter::RenderEscP2, &TPreviewPrinter::RenderEscP2);
    layOutRaw(&TPreviewPrinter::RenderPcl5, &TPreviewPrinter::RenderPcl5);
    return 0;
}
