// The Epson ESC/P 2 printer language laid out into the engine's recorded pages.

#include "PrevPrinter.h"

#include "ByteReader.h"

#include "Coordinates.h"

#include "platform/IBitmaps.h"
#include "platform/IScreen.h"
#include "platform/OemCodePage.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using emulation::ByteReader;
using emulation::WholeText;

// Every distance of the language is a whole number of 1/360 inch.
constexpr int kUnitsPerInch = 360;

// The advance of a Courier glyph in ems: a fixed-pitch face is drawn with an em as wide as
// its character cell over this.
constexpr double kCourierAdvance = 0.6;

// The characters an international set puts at 0x23, 0x24, 0x40, 0x5B, 0x5C, 0x5D, 0x5E,
// 0x60, 0x7B, 0x7C, 0x7D and 0x7E, by the number the set is selected with.
constexpr std::array<unsigned char, 12> kNationalPositions = {0x23, 0x24, 0x40, 0x5B, 0x5C, 0x5D,
                                                              0x5E, 0x60, 0x7B, 0x7C, 0x7D, 0x7E};

struct NationalSet
{
    int number;
    char16_t characters[12];
};

constexpr NationalSet kNationalSets[] = {
    {1, {u'#', u'$', u'à', u'°', u'ç', u'§', u'^', u'`', u'é', u'ù', u'è', u'¨'}},   // France
    {2, {u'#', u'$', u'§', u'Ä', u'Ö', u'Ü', u'^', u'`', u'ä', u'ö', u'ü', u'ß'}},   // Germany
    {3, {u'£', u'$', u'@', u'[', u'\\', u']', u'^', u'`', u'{', u'|', u'}', u'~'}},  // United Kingdom
    {4, {u'#', u'$', u'@', u'Æ', u'Ø', u'Å', u'^', u'`', u'æ', u'ø', u'å', u'~'}},   // Denmark I
    {5, {u'#', u'¤', u'É', u'Ä', u'Ö', u'Å', u'Ü', u'é', u'ä', u'ö', u'å', u'ü'}},   // Sweden
    {6, {u'#', u'$', u'@', u'°', u'\\', u'é', u'^', u'ù', u'à', u'ò', u'è', u'ì'}},  // Italy
    {7, {u'₧', u'$', u'@', u'¡', u'Ñ', u'¿', u'^', u'`', u'¨', u'ñ', u'}', u'~'}},   // Spain I
    {8, {u'#', u'$', u'@', u'[', u'¥', u']', u'^', u'`', u'{', u'|', u'}', u'~'}},   // Japan
    {9, {u'#', u'¤', u'É', u'Æ', u'Ø', u'Å', u'Ü', u'é', u'æ', u'ø', u'å', u'ü'}},   // Norway
    {10, {u'#', u'$', u'É', u'Æ', u'Ø', u'Å', u'Ü', u'é', u'æ', u'ø', u'å', u'ü'}},  // Denmark II
    {11, {u'#', u'$', u'á', u'¡', u'Ñ', u'¿', u'é', u'`', u'í', u'ñ', u'ó', u'ú'}},  // Spain II
    {12, {u'#', u'$', u'á', u'¡', u'Ñ', u'¿', u'é', u'ü', u'í', u'ñ', u'ó', u'ú'}},  // Latin America
    {13, {u'#', u'$', u'@', u'[', u'₩', u']', u'^', u'`', u'{', u'|', u'}', u'~'}},  // Korea
    {64, {u'#', u'$', u'§', u'°', u'\'', u'"', u'¶', u'`', u'©', u'®', u'†', u'™'}}, // Legal
};

// The print mode: everything the look and the width of the next character depend on.
struct PrintMode
{
    int pitch = 10;       // 10, 12 or 15 characters per inch
    int cellOverride = 0; // a character cell set in 1/360 inch (ESC c, ESC X), 0 = by the pitch
    int pointSize = 0;    // half points set by ESC X, 0 = the pitch's own
    bool proportional = false;
    bool condensed = false;
    bool bold = false;
    bool doubleStrike = false;
    bool italic = false;
    bool underline = false;
    bool doubleWidth = false;     // until cancelled
    bool lineDoubleWidth = false; // for the rest of the line
    bool doubleHeight = false;
    int script = 0;   // 0 normal, 1 superscript, 2 subscript
    int typeface = 0; // 0 roman, 1 sans serif, ...
    int extraSpace = 0;
};

} // namespace

// One run of ESC/P 2 layout: the state of the printer and the page being recorded.
class EscP2Layout
{
public:
    EscP2Layout(TPreviewPrinter& engine, TTextSource& source)
        : m_engine(engine)
        , m_in(source)
    {}

    void run();

private:
    // Positions: x from the left edge of the printable area, y from the top of the form.
    int devX(double units) const { return clampCoordinate(m_leftDev + nearest(units * m_pixelsX)); }
    int devY(double units) const { return clampCoordinate(m_topDev + nearest(units * m_pixelsY)); }
    // Rounds half away from zero; a position past any page saturates.
    static long long nearest(double v)
    {
        constexpr double limit = 1e15;
        v = std::clamp(v, -limit, limit);
        return v < 0 ? -static_cast<long long>(-v + 0.5) : static_cast<long long>(v + 0.5);
    }

    TVelMetaFileCanvas& canvas();
    void beginPage();
    bool fits() const;
    void ensurePage();
    bool fitted() const
    {
        return m_pageOpen && !m_pageFull && m_fitted[0] == m_y && m_fitted[1] == m_lineSpacing &&
               m_fitted[2] == m_pageLength && m_fitted[3] == m_bottomSkip;
    }
    void flush();
    // Draws the runs of a centred, right-aligned or justified line where they belong; a line
    // that `wrapped` at the right margin is the one a justified paragraph spreads.
    void endLine(bool wrapped = false);
    void drawJustified();
    void wrapWord();
    void modeChanged() { m_fontDirty = true; }
    void applyFont();
    int cellUnits() const;
    int baseCellUnits() const;
    void printByte(int b);
    void printMapped(unsigned char byte, bool italic);
    void printPlainRun();
    void carriageReturn();
    void lineFeed(long long units);
    void formFeed();
    void reset();
    void command(int b);
    void escape();
    void parenthesized(int name);
    void bitImage(int mode, int columns);
    void rasterImage();
    void graphicsRaster();
    void binaryRaster(int compression, double columnUnits, double rowUnits);
    bool readPacked(int compression, std::size_t total, const std::function<void(int)>& put);
    void drawImage(const QImage& image, double widthUnits, double heightUnits);
    void drawImageAt(const QImage& image, double x, double y, double widthUnits, double heightUnits);
    void setNationalSet(int number);
    void readTabs(std::vector<long long>& stops, std::size_t limit, long long step);

    TPreviewPrinter& m_engine;
    ByteReader m_in;

    // The page.
    double m_pixelsX = 0; // device pixels in 1/360 inch
    double m_pixelsY = 0;
    std::shared_ptr<const QImage> m_logo;
    long long m_leftDev = 0;
    long long m_topDev = 0;
    long long m_limit = 0;
    int m_pageOrdinal = 0;
    bool m_pageOpen = false;
    bool m_pageFull = false;
    bool m_pageHasText = false;
    // What the last fit test saw: the same position and format fit again.
    std::array<long long, 4> m_fitted = {-1, -1, -1, -1};

    // The position, in 1/360 inch.
    double m_x = 0;
    long long m_y = 0;
    long long m_lineSpacing = 60;
    double m_leftMargin = 0;
    double m_rightMargin = 0;
    double m_printableWidth = 0;
    long long m_pageLength = 0; // 0: the sheet's
    long long m_bottomSkip = 0;
    std::vector<long long> m_tabs; // from the left margin; empty: every 8 characters
    bool m_tabsSet = false;
    std::vector<long long> m_verticalTabs;
    int m_unit = 10;             // the unit of the positioning commands, in 1/3600 inch
    bool m_graphicsMode = false; // entered by ESC ( G, left only by ESC @

    // The characters.
    PrintMode m_mode;
    std::array<bool, 4> m_italicTable = {true, false, false, false};
    int m_table = 1;
    bool m_upperControls = false; // 0x80-0x9F are control codes
    std::array<unsigned char, 256> m_charMap{};
    std::unordered_map<char16_t, unsigned char> m_oemBytes;

    // The font of the pending run and the run itself.
    TFont m_font;
    bool m_fontDirty = true;
    bool m_italicGlyph = false; // the font is the italic table's
    const GlyphAdvances* m_advances = nullptr;
    double m_cell = 0;  // of a fixed-pitch character, with the extra space
    int m_cellDev = -1; // the cell in device pixels where that is whole, else -1
    std::string m_pending;
    int m_justify = 0; // 0 left, 1 centred, 2 right, 3 full
    struct LineRun
    {
        int x;
        int y;
        long long end;
        TFont font;
        std::string bytes;
    };
    std::vector<LineRun> m_line;
    int m_runX = 0;
    int m_runY = 0;
    long long m_runEnd = 0;
};

TVelMetaFileCanvas& EscP2Layout::canvas()
{
    // A handler may have closed or discarded the page it was on: a fresh page takes the text.
    TVelMetaFileCanvas* c = m_engine.Canvas();
    if (!c) {
        m_engine.NewPage();
        c = m_engine.Canvas();
        c->Font.Assign(m_font);
        c->metafile().setNumber(std::max(m_pageOrdinal, 1));
    }
    return *c;
}

void EscP2Layout::beginPage()
{
    endLine();
    ++m_pageOrdinal;
    if (m_engine.OnNewPage)
        m_engine.OnNewPage(m_engine, m_pageOrdinal);
    if (m_pageOpen || m_engine.m_pages.empty() || !m_engine.m_canvas)
        m_engine.NewPage();
    TVelMetaFileCanvas& c = canvas();
    c.Font.Assign(m_font);
    c.metafile().setNumber(m_pageOrdinal);
    if (m_logo)
        c.StretchDraw(
            QRect(clampCoordinate(m_leftDev), clampCoordinate(m_topDev), m_engine.m_pageWidth, m_engine.m_pageHeight),
            m_logo);
    m_pageOpen = true;
    m_pageFull = false;
    m_pageHasText = false;
    m_y = 0;
}

bool EscP2Layout::fits() const
{
    // The first line of a page is always drawn.
    if (m_y <= 0)
        return true;
    if (m_pageLength > 0 && m_y + m_lineSpacing > m_pageLength - m_bottomSkip)
        return false;
    const long long bottom = m_pageLength > 0 ? m_limit : m_limit - (m_bottomSkip * m_engine.m_pixelsPerInchY) / 360;
    return devY(static_cast<double>(m_y + m_lineSpacing)) <= bottom;
}

void EscP2Layout::ensurePage()
{
    if (fitted())
        return;
    if (!m_pageOpen || m_pageFull || !fits())
        beginPage();
    m_fitted = {m_y, m_lineSpacing, m_pageLength, m_bottomSkip};
}

void EscP2Layout::flush()
{
    if (m_pending.empty())
        return;
    if (m_justify >= 1 && m_justify <= 3) {
        // Centred, right-aligned or justified text moves as a whole line once the line ends.
        m_line.push_back({m_runX, m_runY, m_runEnd, m_font, m_pending});
        m_pending.clear();
        if (m_line.size() >= 1024)
            endLine();
        return;
    }
    TVelMetaFileCanvas& c = canvas();
    c.Font.Assign(m_font);
    c.TextOut(m_runX, m_runY, m_pending);
    m_pageHasText = true;
    m_pending.clear();
}

void EscP2Layout::endLine(bool wrapped)
{
    flush();
    if (m_line.empty())
        return;
    if (m_justify == 3) {
        // The last line of a paragraph stays where it was set.
        if (wrapped)
            drawJustified();
        else {
            TVelMetaFileCanvas& c = canvas();
            for (const LineRun& r : m_line) {
                c.Font.Assign(r.font);
                c.TextOut(r.x, r.y, r.bytes);
            }
            c.Font.Assign(m_font);
        }
        m_pageHasText = true;
        m_line.clear();
        return;
    }
    long long right = m_line.front().end;
    for (const LineRun& r : m_line)
        right = std::max(right, r.end);
    long long shift = devX(m_rightMargin) - right;
    if (m_justify == 1)
        shift /= 2;
    shift = std::max(0LL, shift);
    TVelMetaFileCanvas& c = canvas();
    for (const LineRun& r : m_line) {
        c.Font.Assign(r.font);
        c.TextOut(clampCoordinate(r.x + shift), r.y, r.bytes);
    }
    c.Font.Assign(m_font);
    m_pageHasText = true;
    m_line.clear();
}

// Spreads a wrapped line over the width between the margins: the room its last printed
// character leaves before the right margin is shared out between the gaps of spaces that
// part its words. A word and the spaces after it stay one run.
void EscP2Layout::drawJustified()
{
    TVelMetaFileCanvas& c = canvas();
    const auto space = static_cast<char>(m_charMap[' ']);
    struct Glyph
    {
        std::size_t run;
        std::size_t index;
        long long x;
        bool space;
    };
    std::vector<Glyph> glyphs;
    long long right = LLONG_MIN;
    for (std::size_t i = 0; i < m_line.size(); ++i) {
        const LineRun& r = m_line[i];
        c.Font.Assign(r.font);
        const GlyphAdvances& advances = c.Advances();
        long long x = r.x;
        for (std::size_t k = 0; k < r.bytes.size(); ++k) {
            const bool blank = r.bytes[k] == space;
            const long long advance = advances[static_cast<unsigned char>(r.bytes[k])];
            glyphs.push_back({i, k, x, blank});
            if (!blank)
                right = std::max(right, x + advance);
            x += advance;
        }
    }
    // A gap begins at a word after spaces that follow a word.
    std::vector<std::size_t> gapStarts;
    bool seenWord = false;
    for (std::size_t g = 0; g < glyphs.size(); ++g) {
        if (!glyphs[g].space && seenWord && glyphs[g - 1].space)
            gapStarts.push_back(g);
        seenWord = seenWord || !glyphs[g].space;
    }
    const long long extra = right == LLONG_MIN ? 0 : std::max(0LL, devX(m_rightMargin) - right);
    const auto gaps = static_cast<long long>(gapStarts.size());
    // The shift of every glyph: the share of each gap before it.
    std::vector<long long> shift(glyphs.size(), 0);
    for (std::size_t j = 0, g = 0; g < glyphs.size(); ++g) {
        while (j < gapStarts.size() && gapStarts[j] <= g)
            ++j;
        shift[g] = gaps > 0 ? extra * static_cast<long long>(j) / gaps : 0;
    }
    // A run is cut where the shift changes.
    for (std::size_t g = 0; g < glyphs.size();) {
        std::size_t end = g + 1;
        while (end < glyphs.size() && glyphs[end].run == glyphs[g].run && shift[end] == shift[g])
            ++end;
        const LineRun& r = m_line[glyphs[g].run];
        c.Font.Assign(r.font);
        c.TextOut(clampCoordinate(glyphs[g].x + shift[g]), r.y, r.bytes.substr(glyphs[g].index, end - g));
        g = end;
    }
    c.Font.Assign(m_font);
}

// Ends a justified line at the right margin: the word it was in the middle of begins the
// next line, as it was set. A word as long as the line breaks where it reaches the margin.
void EscP2Layout::wrapWord()
{
    flush();
    const auto space = static_cast<char>(m_charMap[' ']);
    // The last space after a word, and where the word after it begins.
    std::size_t run = m_line.size();
    std::size_t index = 0;
    bool word = false;
    for (std::size_t i = 0; i < m_line.size() && !word; ++i)
        word = m_line[i].bytes.find_first_not_of(space) != std::string::npos;
    for (std::size_t i = m_line.size(); i-- > 0 && run == m_line.size();) {
        const std::size_t at = m_line[i].bytes.find_last_of(space);
        if (at != std::string::npos) {
            run = i;
            index = at + 1;
        }
    }
    std::vector<LineRun> carried;
    if (word && run < m_line.size()) {
        TVelMetaFileCanvas& c = canvas();
        LineRun& split = m_line[run];
        c.Font.Assign(split.font);
        const GlyphAdvances& advances = c.Advances();
        long long x = split.x;
        for (std::size_t k = 0; k < index; ++k)
            x += advances[static_cast<unsigned char>(split.bytes[k])];
        // The spaces before the word must follow one.
        const bool afterWord =
            split.bytes.find_first_not_of(space) < index - 1 ||
            std::any_of(m_line.begin(), m_line.begin() + static_cast<std::ptrdiff_t>(run),
                        [space](const LineRun& r) { return r.bytes.find_first_not_of(space) != std::string::npos; });
        if (afterWord) {
            if (index < split.bytes.size())
                carried.push_back({clampCoordinate(x), split.y, split.end, split.font, split.bytes.substr(index)});
            split.bytes.resize(index);
            split.end = x;
            carried.insert(carried.end(), m_line.begin() + static_cast<std::ptrdiff_t>(run) + 1, m_line.end());
            m_line.resize(run + 1);
        }
        c.Font.Assign(m_font);
    }
    const int oldTop = devY(static_cast<double>(m_y));
    endLine(true);
    lineFeed(m_lineSpacing);
    if (carried.empty())
        return;
    ensurePage();
    const long long start = carried.front().x;
    long long end = start;
    for (const LineRun& r : carried)
        end = std::max(end, r.end);
    const int left = devX(m_leftMargin);
    const int top = devY(static_cast<double>(m_y));
    for (LineRun& r : carried) {
        r.x = clampCoordinate(left + (r.x - start));
        r.y = clampCoordinate(static_cast<long long>(top) + (r.y - oldTop));
        r.end = left + (r.end - start);
        m_line.push_back(std::move(r));
    }
    m_x = m_leftMargin + static_cast<double>(end - start) / m_pixelsX;
}

int EscP2Layout::baseCellUnits() const
{
    if (m_mode.cellOverride > 0)
        return m_mode.cellOverride;
    return kUnitsPerInch / m_mode.pitch;
}

// The width of a fixed-pitch character, in 1/360 inch.
int EscP2Layout::cellUnits() const
{
    int cell = baseCellUnits();
    // Condensed: 17.14 characters per inch from 10, 20 from 12; 15 stays as it is.
    if (m_mode.condensed && m_mode.cellOverride == 0 && m_mode.pitch != 15)
        cell = m_mode.pitch == 10 ? 21 : 18;
    if (m_mode.doubleWidth || m_mode.lineDoubleWidth)
        cell *= 2;
    return cell;
}

void EscP2Layout::applyFont()
{
    if (!m_fontDirty)
        return;
    flush();
    m_fontDirty = false;
    const int dpiX = std::max(1, m_engine.m_pixelsPerInchX);
    const int dpiY = std::max(1, m_engine.m_pixelsPerInchY);
    // The face is as tall as the pitch's own font; condensed and double-width faces are
    // narrower or wider, as a printer draws them.
    double points = m_mode.pointSize > 0 ? m_mode.pointSize / 2.0 : (m_mode.pitch == 15 ? 8.0 : 12.0);
    if (m_mode.proportional && m_mode.pointSize == 0)
        points = 10.5;
    if (m_mode.script != 0)
        points = points * 2 / 3;
    double height = points * dpiY / 72;
    double width;
    if (m_mode.proportional) {
        width = points * dpiX / 72;
        if (m_mode.condensed)
            width = width * 21 / 36;
        if (m_mode.doubleWidth || m_mode.lineDoubleWidth)
            width *= 2;
    } else {
        width = cellUnits() * static_cast<double>(dpiX) / kUnitsPerInch / kCourierAdvance;
        if (m_mode.script != 0)
            width = width * 2 / 3;
    }
    if (m_mode.doubleHeight)
        height *= 2;
    QString name = QStringLiteral("Courier New");
    if (m_mode.proportional)
        name = m_mode.typeface == 1 ? QStringLiteral("Arial") : QStringLiteral("Times New Roman");
    std::uint8_t style = 0;
    if (m_mode.bold || m_mode.doubleStrike)
        style |= fsBold;
    if (m_mode.italic || m_italicGlyph)
        style |= fsItalic;
    if (m_mode.underline)
        style |= fsUnderline;
    m_font.setName(name);
    m_font.setCharset(OEM_CHARSET);
    m_font.setPixelsPerInch(dpiY);
    m_font.setHeight(-std::max(1, roundToPixels(height)));
    m_font.setStyle(style);
    m_font.setWidth(std::max(1, roundToPixels(width)));
    TVelMetaFileCanvas& c = canvas();
    c.Font.Assign(m_font);
    m_advances = &c.Advances();
    m_cell = cellUnits() + 2.0 * m_mode.extraSpace;
    const double cellDev = m_cell * m_pixelsX;
    m_cellDev =
        !m_mode.proportional && cellDev == std::floor(cellDev) && cellDev < 1e6 ? static_cast<int>(cellDev) : -1;
}

void EscP2Layout::setNationalSet(int number)
{
    for (int b = 0; b < 256; ++b)
        m_charMap[b] = static_cast<unsigned char>(b);
    for (const NationalSet& set : kNationalSets) {
        if (set.number != number)
            continue;
        for (std::size_t i = 0; i < kNationalPositions.size(); ++i) {
            // A character the spooler's code page has not keeps the byte's own.
            const auto it = m_oemBytes.find(set.characters[i]);
            if (it != m_oemBytes.end())
                m_charMap[kNationalPositions[i]] = it->second;
        }
    }
}

void EscP2Layout::reset()
{
    endLine();
    m_justify = 0;
    m_mode = PrintMode();
    modeChanged();
    m_lineSpacing = 60;
    m_leftMargin = 0;
    m_rightMargin = m_printableWidth;
    m_pageLength = 0;
    m_bottomSkip = 0;
    m_tabs.clear();
    m_tabsSet = false;
    m_verticalTabs.clear();
    m_unit = 10;
    m_graphicsMode = false;
    m_italicTable = {true, false, false, false};
    m_table = 1;
    m_italicGlyph = false;
    m_upperControls = false;
    setNationalSet(0);
    m_x = std::max(m_x, m_leftMargin);
}

void EscP2Layout::carriageReturn()
{
    endLine();
    m_x = m_leftMargin;
}

void EscP2Layout::lineFeed(long long units)
{
    endLine();
    m_x = m_leftMargin;
    m_y = std::max<long long>(0, m_y + units);
    if (m_mode.lineDoubleWidth) {
        m_mode.lineDoubleWidth = false;
        modeChanged();
    }
}

void EscP2Layout::formFeed()
{
    endLine();
    m_x = m_leftMargin;
    m_pageFull = true;
    if (m_mode.lineDoubleWidth) {
        m_mode.lineDoubleWidth = false;
        modeChanged();
    }
}

void EscP2Layout::printByte(int b)
{
    bool italic = false;
    if (b >= 0x80 && m_italicTable[m_table]) {
        // The italic table holds the lower half again, slanted; its own control codes print nothing.
        if (b < 0xA0)
            return;
        b -= 0x80;
        italic = true;
    }
    printMapped(m_charMap[b], italic);
}

void EscP2Layout::printMapped(unsigned char byte, bool italic)
{
    // The common case: a fixed-pitch character that goes on the run, on its cell, where the
    // run's glyphs end.
    if (!m_pending.empty() && !m_fontDirty && italic == m_italicGlyph && (*m_advances)[byte] == m_cellDev &&
        m_x + m_cell <= m_rightMargin + 1e-6 && fitted()) {
        m_pending.push_back(static_cast<char>(byte));
        m_runEnd += m_cellDev;
        m_x += m_cell;
        if (m_pending.size() >= 4096)
            flush();
        return;
    }
    ensurePage();
    if (italic != m_italicGlyph) {
        m_italicGlyph = italic;
        modeChanged();
    }
    applyFont();
    int advance = 0;
    double cell = 0;
    const auto measure = [&] {
        advance = (*m_advances)[byte];
        cell = m_mode.proportional ? advance / m_pixelsX + 2.0 * m_mode.extraSpace : m_cell;
    };
    measure();
    // A character that would cross the right margin begins the next line.
    if (m_x + cell > m_rightMargin + 1e-6 && m_x > m_leftMargin) {
        if (m_justify == 3) {
            wrapWord();
        } else {
            endLine(true);
            lineFeed(m_lineSpacing);
        }
        ensurePage();
        applyFont();
        measure();
    }
    const int x = devX(m_x);
    int y = devY(static_cast<double>(m_y));
    if (m_mode.script == 2)
        y += std::abs(m_font.Height()) / 2;
    if (!m_pending.empty() && (x != m_runEnd || y != m_runY))
        flush();
    if (m_pending.empty()) {
        m_runX = x;
        m_runY = y;
        m_runEnd = x;
    }
    m_pending.push_back(static_cast<char>(byte));
    m_runEnd += advance;
    m_x += cell;
    // A run is one line at most; a line printed over and over is cut into runs all the same.
    if (m_pending.size() >= 4096)
        flush();
}

// The characters that follow in the piece, as long as each goes on the run on its cell as
// printMapped would put it there: a line of text is taken at once.
void EscP2Layout::printPlainRun()
{
    if (m_pending.empty() || m_fontDirty || m_italicGlyph || m_cellDev < 0 || !fitted())
        return;
    const std::string_view rest = m_in.rest();
    const bool italicTable = m_italicTable[m_table];
    const GlyphAdvances& advances = *m_advances;
    const double limit = m_rightMargin + 1e-6;
    const std::size_t room = 4096 - std::min<std::size_t>(m_pending.size(), 4096);
    const std::size_t start = m_pending.size();
    std::size_t n = 0;
    double x = m_x;
    for (; n < rest.size() && n < room; ++n) {
        const auto c = static_cast<unsigned char>(rest[n]);
        if (c < 0x20 || c == 0x7f || (c >= 0x80 && (italicTable || (c < 0xA0 && m_upperControls))))
            break;
        const unsigned char mapped = m_charMap[c];
        if (advances[mapped] != m_cellDev || x + m_cell > limit)
            break;
        x += m_cell;
    }
    if (n == 0)
        return;
    m_pending.resize(start + n);
    for (std::size_t i = 0; i < n; ++i)
        m_pending[start + i] = static_cast<char>(m_charMap[static_cast<unsigned char>(rest[i])]);
    m_runEnd += static_cast<long long>(n) * m_cellDev;
    m_x = x;
    m_in.skip(static_cast<long long>(n));
    if (m_pending.size() >= 4096)
        flush();
}

void EscP2Layout::readTabs(std::vector<long long>& stops, std::size_t limit, long long step)
{
    stops.clear();
    long long last = -1;
    for (std::size_t i = 0; i < limit; ++i) {
        const int n = m_in.get();
        if (n <= 0)
            return;
        // A stop not after the one before it is no stop.
        if (n > last)
            stops.push_back(n * step);
        last = std::max<long long>(last, n);
    }
}

void EscP2Layout::drawImage(const QImage& image, double widthUnits, double heightUnits)
{
    drawImageAt(image, m_x, static_cast<double>(m_y), widthUnits, heightUnits);
}

void EscP2Layout::drawImageAt(const QImage& image, double x, double y, double widthUnits, double heightUnits)
{
    ensurePage();
    flush();
    const int x0 = devX(x);
    const int y0 = devY(y);
    const int x1 = devX(x + widthUnits);
    const int y1 = devY(y + heightUnits);
    if (x1 > x0 && y1 > y0) {
        canvas().metafile().addGraphic(QRect(x0, y0, x1 - x0, y1 - y0), std::make_shared<const QImage>(image));
        m_pageHasText = true;
    }
}

namespace {

// A bitmap of the printed dots: the paper shows through everything else.
QImage dotImage(int width, int height)
{
    QImage image(width, height, QImage::Format_Mono);
    image.setColorCount(2);
    image.setColor(0, qRgba(0, 0, 0, 0));
    image.setColor(1, qRgb(0, 0, 0));
    image.fill(0);
    return image;
}

struct BitImageMode
{
    int mode;
    int dpi;   // horizontal
    int bytes; // per column
    int verticalDpi;
};

constexpr BitImageMode kBitImageModes[] = {
    {0, 60, 1, 60},    {1, 120, 1, 60},   {2, 120, 1, 60},   {3, 240, 1, 60},   {4, 80, 1, 60},
    {6, 90, 1, 60},    {32, 60, 3, 180},  {33, 120, 3, 180}, {38, 90, 3, 180},  {39, 180, 3, 180},
    {40, 360, 3, 180}, {71, 180, 6, 360}, {72, 360, 6, 360}, {73, 360, 6, 360},
};

} // namespace

void EscP2Layout::bitImage(int mode, int columns)
{
    const BitImageMode* found = nullptr;
    for (const BitImageMode& m : kBitImageModes) {
        if (m.mode == mode)
            found = &m;
    }
    // A density the printer does not know: its data cannot be told from text.
    if (!found || columns <= 0)
        return;
    const double columnUnits = static_cast<double>(kUnitsPerInch) / found->dpi;
    // Columns past the right margin are not printed.
    const int room = static_cast<int>(std::max(0.0, std::floor((m_rightMargin - m_x) / columnUnits + 1e-6)));
    const int shown = std::min(columns, room);
    const int rows = found->bytes * 8;
    QImage image = shown > 0 ? dotImage(shown, rows) : QImage();
    bool ink = false;
    for (int column = 0; column < columns; ++column) {
        for (int k = 0; k < found->bytes; ++k) {
            const int b = m_in.get();
            if (b < 0)
                return;
            if (column >= shown || b == 0)
                continue;
            ink = true;
            for (int bit = 0; bit < 8; ++bit) {
                if (b & (0x80 >> bit))
                    image.setPixel(column, k * 8 + bit, 1);
            }
        }
    }
    if (ink)
        drawImage(image, shown * columnUnits, rows * static_cast<double>(kUnitsPerInch) / found->verticalDpi);
    m_x = std::min(m_x + columns * columnUnits, std::max(m_x, m_rightMargin));
}

bool EscP2Layout::readPacked(int compression, std::size_t total, const std::function<void(int)>& put)
{
    std::size_t done = 0;
    while (done < total) {
        const int b = m_in.get();
        if (b < 0)
            return false;
        if (compression == 0) {
            put(b);
            ++done;
            continue;
        }
        // A counter below 128 is followed by counter + 1 bytes as they are; one of 128 or
        // more by one byte repeated 257 - counter times.
        if (b < 128) {
            for (int i = 0; i <= b && done < total; ++i, ++done) {
                const int d = m_in.get();
                if (d < 0)
                    return false;
                put(d);
            }
        } else {
            const int d = m_in.get();
            if (d < 0)
                return false;
            for (int i = 0; i < 257 - b && done < total; ++i, ++done)
                put(d);
        }
    }
    return true;
}

void EscP2Layout::rasterImage()
{
    const int compression = m_in.get();
    const int v = m_in.get();
    const int h = m_in.get();
    const int rows = m_in.get();
    const int columns = m_in.get16();
    if (compression < 0 || v < 0 || h < 0 || rows < 0 || columns < 0)
        return;
    const double columnUnits = static_cast<double>(std::max(h, 1)) / 10;
    const double rowUnits = static_cast<double>(std::max(v, 1)) / 10;
    if (compression == 2 || compression == 3) {
        // The header only opens a stream of binary commands: its band height and width
        // say nothing of the image.
        binaryRaster(compression, columnUnits, rowUnits);
        return;
    }
    const std::size_t rowBytes = (static_cast<std::size_t>(columns) + 7) / 8;
    // Only plain and run-length data have a length that is known here.
    if ((compression != 0 && compression != 1) || rows == 0 || rowBytes == 0)
        return;
    const int room = static_cast<int>(std::max(0.0, std::floor((m_rightMargin - m_x) / columnUnits + 1e-6)));
    const int shown = std::min(columns, room);
    QImage image = shown > 0 ? dotImage(shown, rows) : QImage();
    bool ink = false;
    const std::size_t total = rowBytes * static_cast<std::size_t>(rows);
    std::size_t done = 0;
    const auto put = [&](int b) {
        const int row = static_cast<int>(done / rowBytes);
        const int first = static_cast<int>(done % rowBytes) * 8;
        ++done;
        if (b == 0 || first >= shown)
            return;
        ink = true;
        uchar* line = image.scanLine(row);
        for (int bit = 0; bit < 8 && first + bit < shown; ++bit) {
            if (b & (0x80 >> bit))
                line[(first + bit) >> 3] |= static_cast<uchar>(0x80 >> ((first + bit) & 7));
        }
    };
    if (!readPacked(compression, total, put))
        return;
    if (ink)
        drawImage(image, shown * columnUnits, rows * rowUnits);
    m_x = std::min(m_x + columns * columnUnits, std::max(m_x, m_rightMargin));
}

void EscP2Layout::graphicsRaster()
{
    // ESC i colour compression bits bytes lines: colour rows whose dot size the printer takes
    // from commands not kept here. The data is read by its length and not drawn.
    const int colour = m_in.get();
    const int compression = m_in.get();
    const int bits = m_in.get();
    const int bytes = m_in.get16();
    const int lines = m_in.get16();
    if (colour < 0 || compression < 0 || bits < 0 || bytes < 0 || lines < 0)
        return;
    if (compression == 0 || compression == 1)
        readPacked(compression, static_cast<std::size_t>(bytes) * static_cast<std::size_t>(lines), [](int) {});
}

namespace {

// The black dots a stream of binary raster commands has put down, a band of raster lines
// at a time: a long image becomes several bitmaps of bounded size.
class RasterBand
{
public:
    static constexpr long long kRows = 512;

    explicit RasterBand(long long room)
        : m_room(room)
    {}

    bool empty() const { return m_lines.empty(); }
    long long top() const { return m_top; }
    // Whether a line is too far below the band's first to join it.
    bool outside(long long row) const { return !m_lines.empty() && (row < m_top || row >= m_top + kRows); }

    // Puts the dots of `bytes` on a line from dot `dot` on; dots past the room are not printed.
    void put(long long row, long long dot, const std::vector<std::uint8_t>& bytes)
    {
        bool ink = false;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const long long first = dot + 8 * static_cast<long long>(i);
            if (bytes[i] == 0 || first < 0 || first >= m_room)
                continue;
            if (m_lines.empty())
                m_top = row;
            std::vector<std::uint8_t>& line = m_lines[row];
            for (int bit = 0; bit < 8 && first + bit < m_room; ++bit) {
                if (!(bytes[i] & (0x80 >> bit)))
                    continue;
                const auto d = static_cast<std::size_t>(first + bit);
                if (line.size() <= d / 8)
                    line.resize(d / 8 + 1);
                line[d / 8] |= static_cast<std::uint8_t>(0x80 >> (d % 8));
                ink = true;
            }
        }
        // The image is as wide as the data sent, as far as it can be printed.
        if (ink)
            m_width = std::max(m_width, std::min(m_room, dot + 8 * static_cast<long long>(bytes.size())));
    }

    // The band as a bitmap from its first line and the left of the stream; the band is
    // emptied.
    QImage take(long long& rows)
    {
        rows = m_lines.rbegin()->first - m_top + 1;
        QImage image = dotImage(static_cast<int>(m_width), static_cast<int>(rows));
        for (const auto& [row, line] : m_lines) {
            uchar* out = image.scanLine(static_cast<int>(row - m_top));
            std::copy(line.begin(), line.end(), out);
        }
        m_lines.clear();
        m_width = 0;
        return image;
    }

private:
    long long m_room;
    long long m_top = 0;
    long long m_width = 0;
    std::map<long long, std::vector<std::uint8_t>> m_lines;
};

// A little-endian count of 1 or 2 bytes.
long long readCount(ByteReader& in, int bytes, bool isSigned)
{
    long long value = 0;
    for (int i = 0; i < bytes; ++i) {
        const int b = in.get();
        if (b < 0)
            return LLONG_MIN;
        value |= static_cast<long long>(b) << (8 * i);
    }
    if (isSigned && bytes > 0 && value >= (1LL << (8 * bytes - 1)))
        value -= 1LL << (8 * bytes);
    return value;
}

} // namespace

// The binary commands of the TIFF (2) and delta row (3) raster modes. Each command is one
// byte whose high nibble names it and whose low nibble is its parameter or the number of
// little-endian parameter bytes that follow:
//   0x2n XFER of n data bytes, 0x3n XFER with an n-byte count;
//   0x4n MOVX by n (signed), 0x5n MOVX with an n-byte signed count;
//   0x6n MOVY by n raster lines, 0x7n MOVY with an n-byte count;
//   0x8n COLR n; 0xE2 CR; 0xE3 EXIT; 0xE4 MOVX in bytes; 0xE5 MOVX in dots.
// XFER data is run-length packed in TIFF mode; in delta row mode it is the row's
// differences from the last row of the same colour. A line's data is drawn from the
// current dot on, which it moves past; CR and MOVY return to the left of the stream.
void EscP2Layout::binaryRaster(int compression, double columnUnits, double rowUnits)
{
    const double left = m_x;
    const double top = static_cast<double>(m_y);
    const auto room = static_cast<long long>(std::max(0.0, std::floor((m_rightMargin - left) / columnUnits + 1e-6)));
    RasterBand band(room);
    long long row = 0;
    long long dot = 0;
    int moveUnit = 8;
    int colour = 0;
    std::array<std::vector<std::uint8_t>, 16> seeds;
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> line;
    bool ended = false;

    const auto drawBand = [&] {
        if (band.empty())
            return;
        const double y = top + static_cast<double>(band.top()) * rowUnits;
        long long rows = 0;
        const QImage image = band.take(rows);
        drawImageAt(image, left, y, image.width() * columnUnits, static_cast<double>(rows) * rowUnits);
    };
    const auto moveDown = [&](long long lines) {
        if (lines < 0)
            return;
        // A skipped line is blank: the next row differs from nothing.
        if (lines > 1)
            for (auto& seed : seeds)
                seed.clear();
        row = std::min<long long>(row + lines, 1LL << 40);
        dot = 0;
    };
    const auto transfer = [&](long long count) {
        data.clear();
        for (long long i = 0; i < count; ++i) {
            const int b = m_in.get();
            if (b < 0) {
                ended = true;
                return;
            }
            data.push_back(static_cast<std::uint8_t>(b));
        }
        line.clear();
        if (compression == 2) {
            for (std::size_t i = 0; i < data.size();) {
                const int counter = data[i++];
                if (counter < 128) {
                    for (int k = 0; k <= counter && i < data.size(); ++k)
                        line.push_back(data[i++]);
                } else if (counter > 128 && i < data.size()) {
                    line.insert(line.end(), static_cast<std::size_t>(257 - counter), data[i++]);
                }
            }
        } else {
            // Each change: the high three bits are the bytes replaced less one, the low five
            // the bytes left as they were before them; 31 goes on in the next bytes, up to
            // one below 255.
            std::vector<std::uint8_t>& seed = seeds[static_cast<std::size_t>(colour)];
            std::size_t at = 0;
            for (std::size_t i = 0; i < data.size();) {
                const int command = data[i++];
                const int replaced = (command >> 5) + 1;
                std::size_t offset = command & 0x1f;
                if (offset == 31) {
                    while (i < data.size()) {
                        const int more = data[i++];
                        offset += more;
                        if (more != 255)
                            break;
                    }
                }
                at += offset;
                for (int k = 0; k < replaced && i < data.size(); ++k, ++at) {
                    // A row is never wider than the dots that can be printed.
                    if (at >= static_cast<std::size_t>(room / 8 + 1)) {
                        ++i;
                        continue;
                    }
                    if (seed.size() <= at)
                        seed.resize(at + 1);
                    seed[at] = data[i++];
                }
            }
            line = seed;
        }
        if (colour == 0) {
            if (band.outside(row))
                drawBand();
            band.put(row, dot, line);
        }
        dot += 8 * static_cast<long long>(line.size());
    };

    while (!ended) {
        const int b = m_in.get();
        if (b < 0)
            break;
        const int n = b & 0x0f;
        switch (b >> 4) {
        case 0x2:
            transfer(n);
            continue;
        case 0x3: {
            const long long count = readCount(m_in, n, false);
            if (count == LLONG_MIN)
                ended = true;
            else
                transfer(count);
            continue;
        }
        case 0x4:
            dot += static_cast<long long>(moveUnit) * (n >= 8 ? n - 16 : n);
            continue;
        case 0x5: {
            const long long count = readCount(m_in, n, true);
            if (count == LLONG_MIN)
                ended = true;
            else
                dot = std::clamp<long long>(dot + moveUnit * count, -(1LL << 40), 1LL << 40);
            continue;
        }
        case 0x6:
            moveDown(n);
            continue;
        case 0x7: {
            const long long count = readCount(m_in, n, false);
            if (count == LLONG_MIN)
                ended = true;
            else
                moveDown(count);
            continue;
        }
        case 0x8:
            colour = n;
            continue;
        default:
            break;
        }
        if (b == 0xe2) {
            dot = 0;
        } else if (b == 0xe3) {
            break;
        } else if (b == 0xe4 || b == 0xe5) {
            moveUnit = b == 0xe4 ? 8 : 1;
        } else if (b == 0x1b || b == 0x0c) {
            // A command of the printer or a form feed ends the stream and is carried out.
            m_in.unget();
            break;
        }
        // Any other byte means nothing here.
    }
    drawBand();
    // The paper has moved with the lines; the head is back at the left of the stream.
    m_x = left;
    m_y = std::max<long long>(0, nearest(top + static_cast<double>(row) * rowUnits));
}

void EscP2Layout::parenthesized(int name)
{
    const int length = m_in.get16();
    if (length < 0)
        return;
    // The parameters as far as a command reads them; the rest is skipped.
    std::array<int, 4> p{};
    const int read = std::min(length, 4);
    for (int i = 0; i < read; ++i) {
        p[i] = m_in.get();
        if (p[i] < 0)
            return;
    }
    if (name == '^') {
        // Data printed as characters, control codes too.
        for (int i = 0; i < read; ++i)
            printMapped(static_cast<unsigned char>(p[i]), false);
        for (int i = read; i < length; ++i) {
            const int b = m_in.get();
            if (b < 0)
                return;
            printMapped(static_cast<unsigned char>(b), false);
        }
        return;
    }
    if (!m_in.skip(length - read))
        return;
    const long long value16 = p[0] + 256LL * p[1];
    const long long value32 = value16 + 65536LL * p[2] + 16777216LL * p[3];
    switch (name) {
    case 'G':
        // Graphics mode is left only by ESC @.
        if (length >= 1 && (p[0] == 1 || p[0] == '1'))
            m_graphicsMode = true;
        break;
    case 'U':
        if (length >= 1 && p[0] > 0)
            m_unit = p[0];
        break;
    case 'C':
        if (length >= 2) {
            flush();
            m_pageLength = value16 * m_unit / 10;
        }
        break;
    case 'V':
        if (length >= 2) {
            endLine();
            m_y = length >= 4 ? value32 * m_unit / 10 : value16 * m_unit / 10;
        }
        break;
    case 'v':
        if (length >= 2) {
            endLine();
            long long delta = length >= 4 ? static_cast<std::int32_t>(value32) : static_cast<std::int16_t>(value16);
            m_y = std::max<long long>(0, m_y + delta * m_unit / 10);
        }
        break;
    case '$':
        if (length >= 4) {
            flush();
            const double x = m_leftMargin + static_cast<double>(value32) * m_unit / 10;
            if (x <= m_rightMargin)
                m_x = x;
        }
        break;
    case 't':
        // A table of the code page is the spooler's own; only the italic one differs.
        if (length >= 3 && p[0] >= 0 && p[0] < 4) {
            m_italicTable[p[0]] = p[1] == 0 && p[2] == 0;
            if (p[0] == m_table)
                modeChanged();
        }
        break;
    case '-':
        if (length >= 3) {
            m_mode.underline = p[2] != 0;
            modeChanged();
        }
        break;
    default:
        break;
    }
}

void EscP2Layout::escape()
{
    const int c = m_in.get();
    if (c < 0)
        return;
    // A parameter given as a digit or a number.
    auto flag = [](int n) { return n == 1 || n == '1'; };
    auto one = [this] { return m_in.get(); };
    switch (c) {
    case '@':
        reset();
        break;
    case 'P':
    case 'M':
    case 'g':
        m_mode.pitch = c == 'P' ? 10 : c == 'M' ? 12 : 15;
        m_mode.cellOverride = 0;
        m_mode.pointSize = 0;
        modeChanged();
        break;
    case 'p': {
        const int n = one();
        if (n < 0)
            return;
        m_mode.proportional = flag(n);
        m_mode.cellOverride = 0;
        modeChanged();
        break;
    }
    case '!': {
        const int n = one();
        if (n < 0)
            return;
        m_mode.pitch = n & 1 ? 12 : 10;
        m_mode.proportional = n & 2;
        m_mode.condensed = n & 4;
        m_mode.bold = n & 8;
        m_mode.doubleStrike = n & 16;
        m_mode.doubleWidth = n & 32;
        m_mode.italic = n & 64;
        m_mode.underline = n & 128;
        m_mode.cellOverride = 0;
        m_mode.pointSize = 0;
        modeChanged();
        break;
    }
    case 'E':
    case 'F':
        m_mode.bold = c == 'E';
        modeChanged();
        break;
    case 'G':
    case 'H':
        m_mode.doubleStrike = c == 'G';
        modeChanged();
        break;
    case '4':
    case '5':
        m_mode.italic = c == '4';
        modeChanged();
        break;
    case '-': {
        const int n = one();
        if (n < 0)
            return;
        m_mode.underline = n == 1 || n == '1' || n == 2 || n == '2';
        modeChanged();
        break;
    }
    case 'W':
    case 'w': {
        const int n = one();
        if (n < 0)
            return;
        (c == 'W' ? m_mode.doubleWidth : m_mode.doubleHeight) = flag(n);
        modeChanged();
        break;
    }
    case 'S': {
        const int n = one();
        if (n < 0)
            return;
        m_mode.script = (n == 1 || n == '1') ? 2 : 1;
        modeChanged();
        break;
    }
    case 'T':
        m_mode.script = 0;
        modeChanged();
        break;
    case 'k': {
        const int n = one();
        if (n < 0)
            return;
        m_mode.typeface = n;
        modeChanged();
        break;
    }
    case ' ': {
        const int n = one();
        if (n < 0)
            return;
        m_mode.extraSpace = n;
        modeChanged();
        break;
    }
    case 'c': {
        const int n = m_in.get16();
        if (n < 0)
            return;
        m_mode.cellOverride = std::min(n, 1080);
        modeChanged();
        break;
    }
    case 'X': {
        const int m = one();
        const int size = m_in.get16();
        if (m < 0 || size < 0)
            return;
        if (m == 1) {
            m_mode.proportional = true;
        } else if (m >= 5) {
            m_mode.proportional = false;
            m_mode.cellOverride = m;
        }
        if (size > 0)
            m_mode.pointSize = std::min(size, 2 * 144);
        modeChanged();
        break;
    }
    case 'i':
        if (m_graphicsMode) {
            graphicsRaster();
            break;
        }
        m_in.get();
        break;
    case 'x':
    case 'q':
    case 'r':
    case 'U':
    case 'I':
    case 's':
    case 'm':
    case '/':
    case '%':
    case 0x19:
        m_in.get();
        break;
    case 'e':
    case 'f':
    case '?':
        m_in.skip(2);
        break;
    case ':':
        m_in.skip(3);
        break;
    case '&': {
        // User-defined characters: each with its three size bytes and 3 bytes a column.
        const int zero = one();
        const int first = one();
        const int last = one();
        if (zero < 0 || first < 0 || last < 0)
            return;
        for (int ch = first; ch <= last; ++ch) {
            const int a0 = one();
            const int a1 = one();
            const int a2 = one();
            if (a0 < 0 || a1 < 0 || a2 < 0 || !m_in.skip(3LL * a1))
                return;
        }
        break;
    }
    case '0':
        m_lineSpacing = 45;
        break;
    case '1':
        m_lineSpacing = 35;
        break;
    case '2':
        m_lineSpacing = 60;
        break;
    case '3':
    case '+':
    case 'A': {
        const int n = one();
        if (n < 0)
            return;
        m_lineSpacing = c == '3' ? 2 * n : c == '+' ? n : 6 * n;
        break;
    }
    case 'J': {
        const int n = one();
        if (n < 0)
            return;
        // The paper moves now; the column stays.
        endLine();
        m_y += 2 * n;
        break;
    }
    case 'j': {
        const int n = one();
        if (n < 0)
            return;
        endLine();
        m_y = std::max<long long>(0, m_y - n * 5 / 3);
        break;
    }
    case 'C': {
        int n = one();
        if (n < 0)
            return;
        flush();
        if (n == 0) {
            n = one();
            if (n < 0)
                return;
            if (n > 0)
                m_pageLength = static_cast<long long>(n) * kUnitsPerInch;
        } else {
            m_pageLength = n * m_lineSpacing;
        }
        break;
    }
    case 'N': {
        const int n = one();
        if (n < 0)
            return;
        m_bottomSkip = n * m_lineSpacing;
        break;
    }
    case 'O':
        m_bottomSkip = 0;
        break;
    case 'B':
        readTabs(m_verticalTabs, 16, m_lineSpacing);
        break;
    case 'b':
        // Vertical tabs of another channel: not used here.
        if (one() >= 0) {
            std::vector<long long> ignored;
            readTabs(ignored, 16, 1);
        }
        break;
    case 'D':
        readTabs(m_tabs, 32, cellUnits());
        m_tabsSet = true;
        break;
    case 'l':
    case 'Q': {
        const int n = one();
        if (n < 0)
            return;
        flush();
        const double at = static_cast<double>(n) * baseCellUnits();
        if (c == 'l') {
            if (at < m_rightMargin) {
                if (m_x <= m_leftMargin)
                    m_x = at;
                m_leftMargin = at;
                m_x = std::max(m_x, m_leftMargin);
            }
        } else if (at > m_leftMargin) {
            m_rightMargin = std::min(at, m_printableWidth);
        }
        break;
    }
    case '$': {
        const int n = m_in.get16();
        if (n < 0)
            return;
        flush();
        // Graphics mode moves in the unit of ESC ( U, text in 1/60 inch.
        const double x = m_leftMargin + (m_graphicsMode ? m_unit / 10.0 : 6.0) * n;
        if (x <= m_rightMargin)
            m_x = x;
        break;
    }
    case '\\': {
        const int n = m_in.get16();
        if (n < 0)
            return;
        flush();
        const double x = m_x + (m_graphicsMode ? m_unit / 10.0 : 3.0) * static_cast<std::int16_t>(n);
        if (x >= m_leftMargin && x <= m_rightMargin)
            m_x = x;
        break;
    }
    case 'a': {
        const int n = one();
        if (n < 0)
            return;
        endLine();
        m_justify = n >= '0' ? n - '0' : n;
        break;
    }
    case 't': {
        const int n = one();
        if (n < 0)
            return;
        const int table = n >= '0' ? n - '0' : n;
        if (table >= 0 && table < 4) {
            m_table = table;
            modeChanged();
        }
        break;
    }
    case 'R': {
        const int n = one();
        if (n < 0)
            return;
        setNationalSet(n);
        break;
    }
    case '6':
    case '7':
        m_upperControls = c == '7';
        break;
    case '*': {
        const int m = one();
        const int n = m_in.get16();
        if (m < 0 || n < 0)
            return;
        bitImage(m, n);
        break;
    }
    case 'K':
    case 'L':
    case 'Y':
    case 'Z': {
        const int n = m_in.get16();
        if (n < 0)
            return;
        bitImage(c == 'K' ? 0 : c == 'L' ? 1 : c == 'Y' ? 2 : 3, n);
        break;
    }
    case '^': {
        // Nine-dot graphics: two bytes a column.
        const int m = one();
        const int n = m_in.get16();
        if (m < 0 || n < 0)
            return;
        m_in.skip(2LL * n);
        break;
    }
    case '.':
        rasterImage();
        break;
    case '(': {
        const int name = one();
        if (name >= 0)
            parenthesized(name);
        break;
    }
    case 0x0e:
        m_mode.lineDoubleWidth = true;
        modeChanged();
        break;
    case 0x0f:
        m_mode.condensed = true;
        modeChanged();
        break;
    default:
        // A command without parameters, or one this printer does not know: nothing prints.
        break;
    }
}

void EscP2Layout::command(int b)
{
    switch (b) {
    case 0x0d:
        carriageReturn();
        break;
    case 0x0a:
        lineFeed(m_lineSpacing);
        break;
    case 0x0c:
        formFeed();
        break;
    case 0x0b: {
        const auto next = std::upper_bound(m_verticalTabs.begin(), m_verticalTabs.end(), m_y);
        if (m_verticalTabs.empty())
            lineFeed(m_lineSpacing);
        else if (next == m_verticalTabs.end())
            formFeed();
        else
            lineFeed(*next - m_y);
        break;
    }
    case 0x09: {
        flush();
        const double at = m_x - m_leftMargin;
        double to = -1;
        if (m_tabsSet) {
            for (long long stop : m_tabs) {
                if (stop > at + 1e-6) {
                    to = static_cast<double>(stop);
                    break;
                }
            }
        } else {
            const double step = 8.0 * cellUnits();
            to = (std::floor(at / step + 1e-6) + 1) * step;
        }
        if (to >= 0 && m_leftMargin + to <= m_rightMargin)
            m_x = m_leftMargin + to;
        break;
    }
    case 0x08:
        flush();
        m_x = std::max(m_leftMargin, m_x - cellUnits());
        break;
    case 0x0e:
        m_mode.lineDoubleWidth = true;
        modeChanged();
        break;
    case 0x14:
        m_mode.lineDoubleWidth = false;
        modeChanged();
        break;
    case 0x0f:
        m_mode.condensed = true;
        modeChanged();
        break;
    case 0x12:
        m_mode.condensed = false;
        modeChanged();
        break;
    case 0x1b:
        escape();
        break;
    default:
        // NUL, BEL, CAN, DEL and the other control codes print nothing.
        break;
    }
}

void EscP2Layout::run()
{
    TPreviewPrinter& e = m_engine;
    BusyCursor busy(e.m_platform.screen);
    e.BeginDoc();

    if (!e.Logo.isEmpty()) {
        try {
            m_logo = std::make_shared<const QImage>(makeTransparent(*e.m_platform.bitmaps.load(e.Logo)));
        } catch (...) {
            // A logo that cannot be loaded must not leave a document open.
            try {
                e.EndDoc();
            } catch (...) {
            }
            throw;
        }
    }

    try {
        TTextOptions& options = e.TextOptions();
        {
            TFont body(QStringLiteral("Courier New"), 12, 0, OEM_CHARSET);
            options.setBodyFont(body);
            e.AdjustFont(options.BodyFont());
            e.AdjustFont(options.HeaderFont());
            e.AdjustFont(options.FooterFont());
            e.AdjustFont(options.PageNumFont());
        }
        options.MarginTop = e.PixelsToUnitsY(e.m_pageOffsetY) + 0.3;
        options.MarginLeft = e.PixelsToUnitsX(e.m_pageOffsetX);
        options.MarginRight = e.PixelsToUnitsX(e.m_pageOffsetX);
        options.MarginBottom = e.PixelsToUnitsY(e.m_pageOffsetY);

        m_pixelsX = static_cast<double>(std::max(1, e.m_pixelsPerInchX)) / kUnitsPerInch;
        m_pixelsY = static_cast<double>(std::max(1, e.m_pixelsPerInchY)) / kUnitsPerInch;
        m_leftDev = e.UnitsToPixelsX(options.MarginLeft);
        m_topDev = e.UnitsToPixelsY(options.MarginTop);
        m_limit = e.UnitsToPixelsY(e.PixelsToUnitsY(e.m_pageHeight) - options.MarginBottom);
        const long long printable = std::max(0, e.m_pageWidth - 2 * e.m_pageOffsetX);
        m_printableWidth = static_cast<double>(printable) * kUnitsPerInch / std::max(1, e.m_pixelsPerInchX);

        const OemCodePage& codePage = e.m_platform.fonts.codePage();
        for (int b = 255; b >= 0x20; --b)
            m_oemBytes[codePage.glyph(static_cast<unsigned char>(b)).unicode()] = static_cast<unsigned char>(b);
        m_font = TFont(QStringLiteral("Courier New"), 12, 0, OEM_CHARSET);
        e.AdjustFont(m_font);
        reset();

        for (int b = m_in.get(); b >= 0; b = m_in.get()) {
            if (b >= 0x20 && b != 0x7f && (b < 0x80 || b >= 0xA0 || !m_upperControls)) {
                printByte(b);
                printPlainRun();
                continue;
            }
            if (b >= 0x80)
                continue;
            // The page a command may draw or move on exists before it acts.
            ensurePage();
            command(b);
        }
        endLine();
        e.m_pageUsed = m_pageHasText;
        e.EndDoc();
    } catch (...) {
        // A failing handler or printer ends the document; the pages made so far stay.
        e.m_printing = false;
        e.CloseCanvas();
        throw;
    }
}

void TPreviewPrinter::RenderEscP2(std::string_view Text)
{
    WholeText whole(Text);
    RenderEscP2(whole);
}

void TPreviewPrinter::RenderEscP2(TTextSource& Source)
{
    EscP2Layout layout(*this, Source);
    layout.run();
}
