#include "PrevPrinter.h"

#include "Coordinates.h"

#include "platform/IBitmaps.h"
#include "platform/IScreen.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>

namespace {

// The bytes that may start a command; every other byte is text.
constexpr std::array<bool, 256> kCommandStart = [] {
    std::array<bool, 256> t{};
    for (unsigned char b : {10, 12, 13, 15, 18, 27, 179, 255})
        t[b] = true;
    return t;
}();

// The bytes that end a run of text: those that may start a command, and NUL, which
// ends the text.
constexpr std::array<bool, 256> kRunStop = [] {
    std::array<bool, 256> t = kCommandStart;
    t[0] = true;
    return t;
}();

enum class Cmd
{
    CarriageReturn,
    LineFeed,
    FormFeed,
    VerticalRule,
    Ignore,
    Size, // size := value
    BoldOn,
    BoldOff,
    UnderlineOn,
    UnderlineOff,
    LineHeight // line height := ppi / value
};

struct Command
{
    std::string_view bytes;
    Cmd cmd;
    int value = 0;
};

using namespace std::string_view_literals;

// Tried in this order; the first whose whole sequence lies before the end wins.
constexpr Command kCommands[] = {
    {"\r"sv, Cmd::CarriageReturn},
    {"\n"sv, Cmd::LineFeed},
    {"\f"sv, Cmd::FormFeed},
    {"\xb3"sv, Cmd::VerticalRule},
    {"\xff"sv, Cmd::Ignore},
    {"\x0f"sv, Cmd::Size, 7},
    {"\x12"sv, Cmd::Size, 12},
    {"\x1bM"sv, Cmd::Size, 10},
    {"\x1bP"sv, Cmd::Size, 12},
    {"\x1b"
     "E"sv,
     Cmd::BoldOn},
    {"\x1bG"sv, Cmd::BoldOn},
    {"\x1b"
     "F"sv,
     Cmd::BoldOff},
    {"\x1bH"sv, Cmd::BoldOff},
    {"\x1b-\x01"sv, Cmd::UnderlineOn},
    {"\x1b-\xff"sv, Cmd::UnderlineOff},
    {"\x1b(s17H"sv, Cmd::Size, 7},
    {"\x1b(s12H"sv, Cmd::Size, 10},
    {"\x1b(s10H"sv, Cmd::Size, 12},
    {"\x1b&d0D"sv, Cmd::UnderlineOn},
    {"\x1b&d@"sv, Cmd::UnderlineOff},
    {"\x1b&l8D"sv, Cmd::LineHeight, 8},
    {"\x1b&l6D"sv, Cmd::LineHeight, 6},
    {"\x1b&l12D"sv, Cmd::LineHeight, 12},
};

constexpr std::size_t kLongestCommand = [] {
    std::size_t longest = 0;
    for (const Command& c : kCommands)
        longest = std::max(longest, c.bytes.size());
    return longest;
}();

// The whole text as one piece.
class WholeText : public TTextSource
{
public:
    explicit WholeText(std::string_view text)
        : m_text(text)
    {}
    std::string_view next() override { return std::exchange(m_text, std::string_view()); }

private:
    std::string_view m_text;
};

const Command* matchCommand(std::string_view rest)
{
    for (const Command& c : kCommands) {
        if (rest.size() >= c.bytes.size() && std::memcmp(rest.data(), c.bytes.data(), c.bytes.size()) == 0)
            return &c;
    }
    return nullptr;
}

} // namespace

void TPreviewPrinter::RenderText(std::string_view Text)
{
    WholeText whole(Text);
    RenderText(whole);
}

void TPreviewPrinter::RenderText(TTextSource& Source)
{
    BusyCursor busy(m_platform.screen);
    BeginDoc();

    std::shared_ptr<const QImage> logo;
    if (!Logo.isEmpty()) {
        try {
            logo = std::make_shared<const QImage>(makeTransparent(*m_platform.bitmaps.load(Logo)));
        } catch (...) {
            // A logo that cannot be loaded must not leave a document open.
            try {
                EndDoc();
            } catch (...) {
            }
            throw;
        }
    }

    try {
        // The text arrives in pieces; of one piece only what is still needed (a run of
        // text not yet drawn, a command cut by the piece's end) is carried into the next.
        std::string_view piece = Source.next();
        const char* pos = piece.data();
        const char* end = pos + piece.size();
        bool exhausted = piece.empty();
        // What is kept of pieces read before; pos, end and a pending run lie in it, or in
        // the source's piece.
        std::string carried;
        bool fromCarried = false;

        TFont runFont(QStringLiteral("Courier New"), 12, 0, OEM_CHARSET);
        AdjustFont(runFont);
        int currentSize = 12;
        std::uint8_t currentStyle = 0;

        TTextOptions& options = TextOptions();
        {
            TFont body(QStringLiteral("Courier New"), 12, 0, OEM_CHARSET);
            options.setBodyFont(body);
            AdjustFont(options.BodyFont());
            AdjustFont(options.HeaderFont());
            AdjustFont(options.FooterFont());
            AdjustFont(options.PageNumFont());
        }
        options.MarginTop = PixelsToUnitsY(m_pageOffsetY) + 0.3;
        options.MarginLeft = PixelsToUnitsX(m_pageOffsetX);
        options.MarginRight = PixelsToUnitsX(m_pageOffsetX);
        options.MarginBottom = PixelsToUnitsY(m_pageOffsetY);

        long long x = UnitsToPixelsX(options.MarginLeft);
        long long y = -2;
        int lineHeight = roundToPixels(m_pixelsPerInchY / 6.0);
        std::string_view pending;
        bool pageHasText = false;
        int pageOrdinal = 0;
        long long limit = 0;

        auto bottomLimit = [&] {
            return static_cast<long long>(UnitsToPixelsY(PixelsToUnitsY(m_pageHeight) - options.MarginBottom));
        };

        // Every drawing call goes to a live canvas: a handler may have closed or
        // discarded the page it was on, and then a fresh page takes the text.
        auto canvas = [&]() -> TVelMetaFileCanvas& {
            TVelMetaFileCanvas* c = Canvas();
            if (!c) {
                NewPage();
                c = Canvas();
                c->Font.Assign(runFont);
                c->metafile().setNumber(std::max(pageOrdinal, 1));
            }
            return *c;
        };

        auto flush = [&] {
            if (!pending.empty()) {
                runFont.setSize(currentSize);
                runFont.setStyle(currentStyle);
                TVelMetaFileCanvas& c = canvas();
                c.Font.Assign(runFont);
                const int cx = clampCoordinate(x);
                const int cy = clampCoordinate(y);
                x = clampCoordinate(x + c.TextOut(cx, cy, pending));
                pageHasText = true;
            }
            pending = {};
        };

        auto more = [&]() -> bool {
            if (exhausted)
                return false;
            // A pending run ends at pos: it starts what is kept.
            const char* keep = pending.empty() ? pos : pending.data();
            if (keep == end) {
                // Nothing to keep: the next piece is read where it lies.
                const std::string_view next = Source.next();
                exhausted = next.empty();
                fromCarried = false;
                pos = next.data();
                end = pos + next.size();
                return !exhausted;
            }
            const std::size_t pendingSize = pending.size();
            const std::size_t posOffset = static_cast<std::size_t>(pos - keep);
            std::size_t keepOffset = 0;
            if (fromCarried) {
                // Carried already; what lies before it is dropped once that is most of the
                // buffer, so that carrying costs no more than reading, however small the
                // pieces.
                keepOffset = static_cast<std::size_t>(keep - carried.data());
                if (keepOffset > carried.size() / 2) {
                    carried.erase(0, keepOffset);
                    keepOffset = 0;
                }
            } else {
                // The source may read the next piece over this one: what is kept of it is
                // copied first.
                carried.assign(keep, end);
                fromCarried = true;
            }
            const std::string_view next = Source.next();
            exhausted = next.empty();
            carried.append(next);
            keep = carried.data() + keepOffset;
            if (pendingSize > 0)
                pending = std::string_view(keep, pendingSize);
            pos = keep + posOffset;
            end = carried.data() + carried.size();
            return !exhausted;
        };

        auto changeFont = [&](int size, std::uint8_t style) {
            if (size != currentSize || style != currentStyle)
                flush();
            currentSize = size;
            currentStyle = style;
        };

        auto beginPage = [&] {
            ++pageOrdinal;
            if (OnNewPage)
                OnNewPage(*this, pageOrdinal);
            if (y >= -1 || m_pages.empty() || !m_canvas)
                NewPage();
            TVelMetaFileCanvas& c = canvas();
            c.Font.Assign(runFont);
            // Pages are numbered in the document, also when a handler discards them in batches.
            c.metafile().setNumber(pageOrdinal);
            y = UnitsToPixelsY(options.MarginTop);
            if (logo)
                c.StretchDraw(QRect(clampCoordinate(x), clampCoordinate(y), m_pageWidth, m_pageHeight), logo);
            pageHasText = false;
            limit = bottomLimit();
        };

        for (;;) {
            if (pos == end && !more())
                break;
            // The text ends at a NUL byte.
            if (*pos == '\0')
                break;
            if (y < 0 || limit < y + lineHeight)
                beginPage();

            const unsigned char b = static_cast<unsigned char>(*pos);
            if (kCommandStart[b]) {
                flush();
                // A command may run on into the next piece; none reaches past a NUL.
                while (static_cast<std::size_t>(end - pos) < kLongestCommand && more()) {
                }
                std::size_t ahead = std::min(static_cast<std::size_t>(end - pos), kLongestCommand);
                if (const void* nul = std::memchr(pos, 0, ahead))
                    ahead = static_cast<std::size_t>(static_cast<const char*>(nul) - pos);
                const Command* c = matchCommand(std::string_view(pos, ahead));
                if (c) {
                    pos += c->bytes.size();
                    switch (c->cmd) {
                    case Cmd::CarriageReturn:
                        x = UnitsToPixelsX(options.MarginLeft);
                        break;
                    case Cmd::LineFeed:
                        y = clampCoordinate(y + lineHeight);
                        break;
                    case Cmd::FormFeed:
                        y = UnitsToPixelsY(PixelsToUnitsY(m_pageHeight));
                        break;
                    case Cmd::VerticalRule: {
                        TVelMetaFileCanvas& cv = canvas();
                        const char rule[] = "\xb3";
                        const int cx = clampCoordinate(x);
                        const int third = lineHeight / 3;
                        cv.TextOut(cx, clampCoordinate(y - third), rule);
                        cv.TextOut(cx, clampCoordinate(y + third), rule);
                        cv.TextOut(cx, clampCoordinate(y), rule);
                        x = clampCoordinate(x + cv.GlyphWidth(0xb3));
                        break;
                    }
                    case Cmd::Ignore:
                        break;
                    case Cmd::Size:
                        changeFont(c->value, currentStyle);
                        break;
                    case Cmd::BoldOn:
                        changeFont(currentSize, currentStyle | fsBold);
                        break;
                    case Cmd::BoldOff:
                        changeFont(currentSize, currentStyle & ~fsBold);
                        break;
                    case Cmd::UnderlineOn:
                        changeFont(currentSize, currentStyle | fsUnderline);
                        break;
                    case Cmd::UnderlineOff:
                        changeFont(currentSize, currentStyle & ~fsUnderline);
                        break;
                    case Cmd::LineHeight:
                        lineHeight = roundToPixels(static_cast<double>(m_pixelsPerInchY) / c->value);
                        break;
                    }
                    continue;
                }
                // A byte that starts no command is text, like any other.
                pending = std::string_view(pos, 1);
                ++pos;
            }
            // Ordinary bytes up to the next possible command join the pending run; the
            // line cannot move before that, so the fit test holds for all of them.
            const char* runEnd = pos;
            while (runEnd < end && !kRunStop[static_cast<unsigned char>(*runEnd)])
                ++runEnd;
            if (pending.empty())
                pending = std::string_view(pos, static_cast<std::size_t>(runEnd - pos));
            else
                pending = std::string_view(pending.data(), static_cast<std::size_t>(runEnd - pending.data()));
            pos = runEnd;
            // A run longer than a page may hold is refused now rather than carried on.
            if (pending.size() > TMetafile::kMaxTextBytes)
                flush();
        }
        flush();
        m_pageUsed = pageHasText;
        EndDoc();
    } catch (...) {
        // A failing handler or printer ends the document; the pages made so far stay.
        m_printing = false;
        CloseCanvas();
        throw;
    }
}
