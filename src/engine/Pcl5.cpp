// The HP PCL 5 printer language laid out into the engine's recorded pages.

#include "PrevPrinter.h"

#include "ByteReader.h"

#include "Coordinates.h"

#include "platform/IBitmaps.h"
#include "platform/IScreen.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using emulation::ByteReader;
using emulation::WholeText;

// Every distance is kept in 1/7200 inch: decipoints, PCL units, 1/48 and 1/120 inch are
// all whole numbers of it.
constexpr double kUnitsPerInch = 7200;
constexpr double kDecipoint = 10;
constexpr double kVmiUnit = 150; // 1/48 inch
constexpr double kHmiUnit = 60;  // 1/120 inch

// The advance of a Courier glyph in ems: a fixed-pitch face is drawn with an em as wide as
// its character cell over this.
constexpr double kCourierAdvance = 0.6;

// A run of text is one line at most; a line printed over and over is cut all the same.
constexpr std::size_t kMaxRun = 4096;
// Rows of a raster graphic gathered before they become one bitmap, and the widest row.
constexpr int kMaxBlockRows = 256;
constexpr int kMaxRasterDots = 1 << 16;

// A font as the commands describe it.
struct PclFont
{
    bool proportional = false;
    double pitch = 10;  // characters per inch of a fixed-pitch font
    double height = 12; // points of a proportional font
    int style = 0;      // 0 upright, 1 italic
    int weight = 0;     // 3 and more is bold
    int typeface = 3;   // Courier
    int charset = OEM_CHARSET;
};

// The value field of a parameterized sequence: its number, and whether it had a sign (a
// relative move).
struct Value
{
    double number = 0;
    bool hasSign = false;
};

} // namespace

// One run of PCL 5 layout: the state of the printer and the page being recorded.
class Pcl5Layout
{
public:
    Pcl5Layout(TPreviewPrinter& engine, TTextSource& source)
        : m_engine(engine)
        , m_in(source)
    {}

    void run();

private:
    // Positions: x from the left edge of the logical page, y from its top.
    int devX(double units) const { return clampCoordinate(m_leftDev + nearest(units * m_pixelsX)); }
    int devY(double units) const { return clampCoordinate(nearest(units * m_pixelsY)); }
    static long long nearest(double v)
    {
        constexpr double limit = 1e15;
        v = std::clamp(v, -limit, limit);
        return v < 0 ? -static_cast<long long>(-v + 0.5) : static_cast<long long>(v + 0.5);
    }

    TVelMetaFileCanvas& canvas();
    void beginPage();
    void ensurePage();
    void flush();
    void eject();
    void resetPage();
    void reset();
    void fontChanged() { m_fontDirty = true; }
    // Another font is chosen: a fixed-pitch one brings its own character spacing.
    void fontSelected();
    void applyFont();
    PclFont& font() { return m_fonts[m_secondary ? 1 : 0]; }
    void printByte(unsigned char byte);
    void printPlainRun();
    void carriageReturn()
    {
        flush();
        m_x = m_leftMargin;
    }
    void lineFeed(double units);
    void formFeed();
    void setY(double y);
    void control(int b);
    void escape();
    void parameterized(int family);
    bool command(int family, int group, const Value& value, int parameter);
    void fontCommand(int slot, const Value& value, int parameter);
    void symbolSet(int slot, const Value& value, int parameter);
    // Raster graphics.
    void rasterStart(int mode);
    void rasterRow(long long count);
    void rasterEnd();
    void flushRaster();
    void rectangle(int fill);

    TPreviewPrinter& m_engine;
    ByteReader m_in;

    // The sheet and the page being recorded.
    double m_pixelsX = 0; // device pixels in 1/7200 inch
    double m_pixelsY = 0;
    std::shared_ptr<const QImage> m_logo;
    long long m_leftDev = 0;
    double m_sheetWidth = 0; // of the sheet the printer has, in 1/7200 inch
    double m_sheetLength = 0;
    double m_edge = 0; // the unprintable strip left and right of the logical page
    int m_pageOrdinal = 0;
    bool m_pageOpen = false;
    bool m_pageFull = false;
    bool m_pageHasText = false;

    // The logical page and the cursor: y is the base line of the text.
    bool m_landscape = false;
    double m_paperWidth = 0;
    double m_paperLength = 0;
    double m_pageWidth = 0;
    double m_pageLength = 0;
    double m_topMargin = 0;
    double m_textLength = 0;
    double m_vmi = 0;
    double m_hmi = 0;
    double m_leftMargin = 0;
    double m_rightMargin = 0;
    double m_x = 0;
    double m_y = 0;
    double m_unit = 24; // ESC * p and ESC * c dots, 1/300 inch
    int m_lineTermination = 0;
    bool m_wrap = false;
    bool m_perforationSkip = true;
    std::vector<std::pair<double, double>> m_cursorStack;

    // The fonts: primary and secondary.
    std::array<PclFont, 2> m_fonts;
    bool m_secondary = false;
    bool m_underline = false;
    TFont m_font;
    bool m_fontDirty = true;
    const GlyphAdvances* m_advances = nullptr;
    int m_ascent = 0;
    int m_hmiDev = -1; // the cell in device pixels where that is whole, else -1
    std::string m_pending;
    int m_runX = 0;
    int m_runY = 0;
    long long m_runEnd = 0;

    // Raster graphics.
    int m_rasterResolution = 75;
    bool m_rasterActive = false;
    double m_rasterLeft = 0;
    int m_rasterWidth = 0; // dots, 0 = to the right edge of the logical page
    int m_rasterHeight = 0;
    long long m_rasterRows = 0; // of the graphic so far
    int m_compression = 0;
    std::vector<std::uint8_t> m_seed;
    std::vector<std::uint8_t> m_block;
    int m_blockRows = 0;
    int m_blockBytes = 0; // a row's bytes
    double m_blockTop = 0;

    // Rectangles: areas filled with black, white or a grey.
    double m_rectWidth = 0;
    double m_rectHeight = 0;
    int m_pattern = 0;
    std::unordered_map<QRgb, std::shared_ptr<const QImage>> m_fills;
};

TVelMetaFileCanvas& Pcl5Layout::canvas()
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

void Pcl5Layout::beginPage()
{
    ++m_pageOrdinal;
    if (m_engine.OnNewPage)
        m_engine.OnNewPage(m_engine, m_pageOrdinal);
    if (m_pageOpen || m_engine.m_pages.empty() || !m_engine.m_canvas)
        m_engine.NewPage();
    TVelMetaFileCanvas& c = canvas();
    c.Font.Assign(m_font);
    c.metafile().setNumber(m_pageOrdinal);
    if (m_logo)
        c.StretchDraw(QRect(clampCoordinate(m_leftDev), clampCoordinate(m_engine.m_pageOffsetY), m_engine.m_pageWidth,
                            m_engine.m_pageHeight),
                      m_logo);
    m_pageOpen = true;
    m_pageFull = false;
    m_pageHasText = false;
}

void Pcl5Layout::ensurePage()
{
    if (!m_pageOpen || m_pageFull)
        beginPage();
}

void Pcl5Layout::flush()
{
    if (m_pending.empty())
        return;
    TVelMetaFileCanvas& c = canvas();
    c.Font.Assign(m_font);
    c.TextOut(m_runX, m_runY, m_pending);
    m_pageHasText = true;
    m_pending.clear();
}

void Pcl5Layout::eject()
{
    flushRaster();
    flush();
    // A page with nothing on it is not printed: a form feed after a reset adds no sheet.
    if (m_pageOpen && !m_pageFull && m_pageHasText)
        m_pageFull = true;
    m_y = m_topMargin + 0.75 * m_vmi;
}

// The logical page of the paper and orientation chosen, with its default margins.
void Pcl5Layout::resetPage()
{
    m_pageWidth = (m_landscape ? m_paperLength : m_paperWidth) - 2 * m_edge;
    m_pageLength = m_landscape ? m_paperWidth : m_paperLength;
    m_topMargin = kUnitsPerInch / 2;
    m_textLength = std::max(0.0, m_pageLength - m_topMargin - kUnitsPerInch / 2);
    m_leftMargin = 0;
    m_rightMargin = m_pageWidth;
    m_x = 0;
    m_y = m_topMargin + 0.75 * m_vmi;
}

void Pcl5Layout::reset()
{
    eject();
    rasterEnd();
    m_fonts = {};
    m_secondary = false;
    m_underline = false;
    fontChanged();
    m_vmi = kUnitsPerInch / 6;
    m_hmi = kUnitsPerInch / 10;
    m_landscape = false;
    m_paperWidth = m_sheetWidth;
    m_paperLength = m_sheetLength;
    m_unit = 24;
    m_lineTermination = 0;
    m_wrap = false;
    m_perforationSkip = true;
    m_cursorStack.clear();
    m_rasterResolution = 75;
    m_compression = 0;
    m_rasterWidth = 0;
    m_rasterHeight = 0;
    m_rectWidth = 0;
    m_rectHeight = 0;
    m_pattern = 0;
    resetPage();
}

void Pcl5Layout::fontSelected()
{
    flush();
    fontChanged();
    if (!font().proportional)
        m_hmi = kUnitsPerInch / font().pitch;
}

void Pcl5Layout::applyFont()
{
    if (!m_fontDirty)
        return;
    flush();
    m_fontDirty = false;
    const PclFont& f = font();
    const int dpiX = std::max(1, m_engine.m_pixelsPerInchX);
    const int dpiY = std::max(1, m_engine.m_pixelsPerInchY);
    // A fixed-pitch face is as large as its pitch makes it (12 points at 10 characters an
    // inch); a proportional one as tall as its height.
    const double points = std::clamp(f.proportional ? f.height : 72.0 / f.pitch / kCourierAdvance, 0.25, 999.75);
    QString name;
    if (!f.proportional)
        name = QStringLiteral("Courier New");
    else if (f.typeface == 4101 || f.typeface == 16901 || f.typeface == 5)
        name = QStringLiteral("Times New Roman");
    else
        name = QStringLiteral("Arial");
    std::uint8_t style = 0;
    if (f.weight >= 3)
        style |= fsBold;
    if (f.style % 4 != 0)
        style |= fsItalic;
    if (m_underline)
        style |= fsUnderline;
    m_font.setName(name);
    m_font.setCharset(f.charset);
    m_font.setPixelsPerInch(dpiY);
    m_font.setHeight(-std::max(1, roundToPixels(points * dpiY / 72)));
    m_font.setWidth(dpiX == dpiY ? 0 : std::max(1, roundToPixels(points * dpiX / 72)));
    m_font.setStyle(style);
    TVelMetaFileCanvas& c = canvas();
    c.Font.Assign(m_font);
    m_advances = &c.Advances();
    // The cursor is on the base line; the text hangs from the top of its em.
    m_ascent = roundToPixels(m_engine.m_platform.fonts.glyphs(m_font.attributes()).ascent());
    const double hmiDev = m_hmi * m_pixelsX;
    m_hmiDev = !f.proportional && hmiDev == std::floor(hmiDev) && hmiDev < 1e6 ? static_cast<int>(hmiDev) : -1;
}

void Pcl5Layout::printByte(unsigned char byte)
{
    flushRaster();
    // The common case: a fixed-pitch character that goes on the run where its glyphs end.
    if (!m_pending.empty() && !m_fontDirty && (*m_advances)[byte] == m_hmiDev && m_x + m_hmi <= m_rightMargin + 1e-6) {
        m_pending.push_back(static_cast<char>(byte));
        m_runEnd += m_hmiDev;
        m_x += m_hmi;
        if (m_pending.size() >= kMaxRun)
            flush();
        return;
    }
    ensurePage();
    applyFont();
    const int advance = (*m_advances)[byte];
    double cell = font().proportional ? advance / m_pixelsX : m_hmi;
    // A character that would cross the right margin goes on the next line when the line
    // wraps, and is not printed when it does not.
    if (m_x + cell > m_rightMargin + 1e-6 && m_x < m_rightMargin + 1e-6) {
        if (!m_wrap)
            return;
        if (m_x > m_leftMargin) {
            carriageReturn();
            lineFeed(m_vmi);
            ensurePage();
            applyFont();
        }
    } else if (m_x > m_rightMargin + 1e-6 && !m_wrap && m_x + cell > m_pageWidth + 1e-6) {
        return;
    }
    const int x = devX(m_x);
    const int y = clampCoordinate(static_cast<long long>(devY(m_y)) - m_ascent);
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
    if (m_pending.size() >= kMaxRun)
        flush();
}

// The characters that follow in the piece, as long as each goes on the run on its cell as
// printByte would put it there: a line of text is taken at once.
void Pcl5Layout::printPlainRun()
{
    if (m_pending.empty() || m_fontDirty || m_hmiDev < 0)
        return;
    const std::string_view rest = m_in.rest();
    const GlyphAdvances& advances = *m_advances;
    const double limit = m_rightMargin + 1e-6;
    const bool upperPrints = font().charset == OEM_CHARSET;
    const std::size_t room = kMaxRun - std::min(m_pending.size(), kMaxRun);
    std::size_t n = 0;
    double x = m_x;
    for (; n < rest.size() && n < room; ++n) {
        const auto c = static_cast<unsigned char>(rest[n]);
        if (c < 0x20 || c == 0x7f || (c >= 0x80 && (!upperPrints && c < 0xA0)))
            break;
        if (advances[c] != m_hmiDev || x + m_hmi > limit)
            break;
        x += m_hmi;
    }
    if (n == 0)
        return;
    m_pending.append(rest.substr(0, n));
    m_runEnd += static_cast<long long>(n) * m_hmiDev;
    m_x = x;
    m_in.skip(static_cast<long long>(n));
    if (m_pending.size() >= kMaxRun)
        flush();
}

void Pcl5Layout::lineFeed(double units)
{
    flushRaster();
    flush();
    m_y += units;
    // A line below the text area begins the next page; without the skip over the
    // perforation only a line past the page's end does.
    const double bottom = m_perforationSkip ? m_topMargin + m_textLength : m_pageLength;
    if (m_y > bottom + 1e-6) {
        const double x = m_x;
        eject();
        m_x = x;
    }
}

void Pcl5Layout::formFeed()
{
    eject();
}

// A vertical position a command asks for: it stays on the logical page and never breaks it.
void Pcl5Layout::setY(double y)
{
    flushRaster();
    flush();
    m_y = std::clamp(y, 0.0, m_pageLength);
}

void Pcl5Layout::control(int b)
{
    switch (b) {
    case 0x0d:
        carriageReturn();
        if (m_lineTermination == 1 || m_lineTermination == 3)
            lineFeed(m_vmi);
        break;
    case 0x0a:
        if (m_lineTermination >= 2)
            carriageReturn();
        lineFeed(m_vmi);
        break;
    case 0x0c:
        if (m_lineTermination >= 2)
            carriageReturn();
        formFeed();
        break;
    case 0x08:
        flush();
        m_x = std::max(m_leftMargin, m_x - m_hmi);
        break;
    case 0x09: {
        flush();
        const double step = 8 * m_hmi;
        if (step <= 0)
            break;
        const double to = m_leftMargin + (std::floor((m_x - m_leftMargin) / step + 1e-6) + 1) * step;
        m_x = std::min(to, m_rightMargin);
        break;
    }
    case 0x0e:
        if (!m_secondary) {
            m_secondary = true;
            fontSelected();
        }
        break;
    case 0x0f:
        if (m_secondary) {
            m_secondary = false;
            fontSelected();
        }
        break;
    case 0x1b:
        escape();
        break;
    default:
        // NUL, BEL and the other control codes print nothing.
        break;
    }
}

void Pcl5Layout::escape()
{
    const int c = m_in.peek();
    if (c >= 0x21 && c <= 0x2f) {
        m_in.get();
        parameterized(c);
        return;
    }
    // Anything else but a two-character command is not taken: an ESC begins the next one.
    if (c < 0x30 || c > 0x7e)
        return;
    m_in.get();
    switch (c) {
    case 'E':
        reset();
        break;
    case '9':
        m_leftMargin = 0;
        m_rightMargin = m_pageWidth;
        break;
    case '=':
        lineFeed(m_vmi / 2);
        break;
    default:
        break;
    }
}

void Pcl5Layout::parameterized(int family)
{
    // The group character; symbol sets and fonts by number have none.
    int group = 0;
    if (const int g = m_in.peek(); g >= 0x60 && g <= 0x7e) {
        group = g;
        m_in.get();
    }
    for (;;) {
        Value value;
        int c = m_in.peek();
        if (c == '+' || c == '-') {
            value.hasSign = true;
            m_in.get();
        }
        const bool negative = c == '-';
        double number = 0;
        for (c = m_in.peek(); c >= '0' && c <= '9'; c = m_in.peek()) {
            m_in.get();
            number = std::min(number * 10 + (c - '0'), 1e12);
        }
        if (c == '.') {
            m_in.get();
            double scale = 0.1;
            for (c = m_in.peek(); c >= '0' && c <= '9'; c = m_in.peek()) {
                m_in.get();
                number += (c - '0') * scale;
                scale /= 10;
            }
        }
        value.number = negative ? -number : number;
        // A byte that is no parameter character ends the sequence unread: it is text or
        // the next command.
        if (c < 0x40 || c > 0x7e || c == 0x5f)
            return;
        m_in.get();
        const bool last = c <= 0x5e;
        const int parameter = last ? c : c - 0x20;
        if (!command(family, group, value, parameter))
            return;
        if (last)
            return;
    }
}

// Acts on one parameter of a sequence; false when the text ended in its data.
bool Pcl5Layout::command(int family, int group, const Value& v, int parameter)
{
    const double n = v.number;
    const int whole = static_cast<int>(std::clamp(n, -1e9, 1e9));
    // Data a command announces follows its parameter character and is never text.
    const auto skipData = [&] { return m_in.skip(std::max(0, whole)); };

    if (family == '&' && group == 'l') {
        switch (parameter) {
        case 'A': {
            flush();
            // Paper sizes by number; an unknown one keeps the paper.
            double w = 0;
            double l = 0;
            switch (whole) {
            case 1: // executive
                w = 7.25, l = 10.5;
                break;
            case 2: // letter
                w = 8.5, l = 11;
                break;
            case 3: // legal
                w = 8.5, l = 14;
                break;
            case 6: // ledger
                w = 11, l = 17;
                break;
            case 25: // A5
                w = 148 / 25.4, l = 210 / 25.4;
                break;
            case 26: // A4
                w = 210 / 25.4, l = 297 / 25.4;
                break;
            case 27: // A3
                w = 297 / 25.4, l = 420 / 25.4;
                break;
            default:
                break;
            }
            if (w > 0) {
                eject();
                m_paperWidth = w * kUnitsPerInch;
                m_paperLength = l * kUnitsPerInch;
                resetPage();
            }
            break;
        }
        case 'O':
            if (whole == 0 || whole == 1 || whole == 2 || whole == 3) {
                eject();
                m_landscape = whole % 2 == 1;
                resetPage();
            }
            break;
        case 'E':
            if (n >= 0 && n * m_vmi <= m_pageLength) {
                m_topMargin = std::floor(n) * m_vmi;
                m_textLength = std::max(0.0, m_pageLength - m_topMargin - kUnitsPerInch / 2);
            }
            break;
        case 'F':
            if (n >= 1 && m_topMargin + std::floor(n) * m_vmi <= m_pageLength + 1e-6)
                m_textLength = std::floor(n) * m_vmi;
            break;
        case 'D':
            // Lines per inch that a printer has: 1, 2, 3, 4, 6, 8, 12, 16, 24 and 48.
            if (n >= 1 && n <= 48)
                m_vmi = kUnitsPerInch / std::floor(n);
            break;
        case 'C':
            if (n >= 0 && n <= 336)
                m_vmi = n * kVmiUnit;
            break;
        case 'P':
            if (n >= 1 && n * m_vmi <= 100 * kUnitsPerInch) {
                eject();
                m_pageLength = std::floor(n) * m_vmi;
                m_topMargin = kUnitsPerInch / 2;
                m_textLength = std::max(0.0, m_pageLength - m_topMargin - kUnitsPerInch / 2);
                m_y = m_topMargin + 0.75 * m_vmi;
            }
            break;
        case 'L':
            m_perforationSkip = whole != 0;
            break;
        case 'H':
            // A paper source of 0 ejects the page.
            if (whole == 0)
                eject();
            break;
        default:
            break;
        }
        return true;
    }
    if (family == '&' && group == 'a') {
        switch (parameter) {
        case 'L':
            if (n >= 0 && n * m_hmi < m_rightMargin) {
                m_leftMargin = std::floor(n) * m_hmi;
                m_x = std::max(m_x, m_leftMargin);
            }
            break;
        case 'M': {
            const double right = std::min(m_pageWidth, (std::floor(n) + 1) * m_hmi);
            if (n >= 0 && right > m_leftMargin)
                m_rightMargin = right;
            break;
        }
        case 'R': {
            setY(v.hasSign ? m_y + n * m_vmi : m_topMargin + (n + 0.75) * m_vmi);
            break;
        }
        case 'C':
            flush();
            m_x = std::clamp(v.hasSign ? m_x + n * m_hmi : n * m_hmi, 0.0, m_pageWidth);
            break;
        case 'V':
            setY(v.hasSign ? m_y + n * kDecipoint : m_topMargin + n * kDecipoint);
            break;
        case 'H':
            flush();
            m_x = std::clamp(v.hasSign ? m_x + n * kDecipoint : n * kDecipoint, 0.0, m_pageWidth);
            break;
        default:
            break;
        }
        return true;
    }
    if (family == '*' && group == 'p') {
        if (parameter == 'X') {
            flush();
            m_x = std::clamp(v.hasSign ? m_x + n * m_unit : n * m_unit, 0.0, m_pageWidth);
        } else if (parameter == 'Y') {
            setY(v.hasSign ? m_y + n * m_unit : m_topMargin + n * m_unit);
        }
        return true;
    }
    if (family == '&' && group == 'k') {
        if (parameter == 'G' && whole >= 0 && whole <= 3) {
            m_lineTermination = whole;
        } else if (parameter == 'H' && n >= 0 && n <= 840) {
            flush();
            m_hmi = n * kHmiUnit;
            fontChanged();
            return true;
        } else if (parameter == 'S') {
            // The pitch modes of the primary font: 10, 16.67 and 12 characters an inch.
            const double pitch = whole == 0 ? 10 : whole == 2 ? 16.67 : whole == 4 ? 12 : 0;
            if (pitch > 0) {
                m_fonts[0].pitch = pitch;
                m_fonts[0].proportional = false;
                if (!m_secondary)
                    fontSelected();
            }
        }
        return true;
    }
    if (family == '&' && group == 's') {
        if (parameter == 'C' && (whole == 0 || whole == 1))
            m_wrap = whole == 0;
        return true;
    }
    if (family == '&' && group == 'd') {
        // ESC & d D and ESC & d @: underlining on and off.
        const bool on = parameter == 'D';
        if ((on || parameter == '@') && on != m_underline) {
            m_underline = on;
            fontChanged();
        }
        return true;
    }
    if (family == '&' && group == 'u') {
        if (parameter == 'D' && n >= 96 && n <= 7200)
            m_unit = kUnitsPerInch / n;
        return true;
    }
    if (family == '&' && group == 'f') {
        if (parameter == 'S' && whole == 0 && m_cursorStack.size() < 20) {
            m_cursorStack.emplace_back(m_x, m_y);
        } else if (parameter == 'S' && whole == 1 && !m_cursorStack.empty()) {
            flush();
            m_x = std::clamp(m_cursorStack.back().first, 0.0, m_pageWidth);
            setY(m_cursorStack.back().second);
            m_cursorStack.pop_back();
        }
        return true;
    }
    if (family == '&' && group == 'p' && parameter == 'X') {
        // Transparent data: every byte is a character, control codes as well.
        for (long long i = 0; i < whole; ++i) {
            const int b = m_in.get();
            if (b < 0)
                return false;
            printByte(static_cast<unsigned char>(b));
        }
        return true;
    }
    if ((family == '(' || family == ')') && group == 's') {
        if (parameter == 'W')
            return skipData();
        fontCommand(family == '(' ? 0 : 1, v, parameter);
        return true;
    }
    if ((family == '(' || family == ')') && group == 0) {
        symbolSet(family == '(' ? 0 : 1, v, parameter);
        return true;
    }
    if (family == '*' && group == 't') {
        if (parameter == 'R' &&
            (whole == 75 || whole == 100 || whole == 150 || whole == 200 || whole == 300 || whole == 600) &&
            !m_rasterActive)
            m_rasterResolution = whole;
        return true;
    }
    if (family == '*' && group == 'r') {
        if (parameter == 'A')
            rasterStart(whole == 1 ? 1 : 0);
        else if (parameter == 'S' && !m_rasterActive)
            m_rasterWidth = std::clamp(whole, 0, kMaxRasterDots);
        else if (parameter == 'T' && !m_rasterActive)
            m_rasterHeight = std::max(0, whole);
        else if (parameter == 'B' || parameter == 'C') {
            rasterEnd();
            if (parameter == 'C')
                m_compression = 0;
        }
        return true;
    }
    if (family == '*' && group == 'b') {
        switch (parameter) {
        case 'M':
            if (whole >= 0 && whole <= 3)
                m_compression = whole;
            break;
        case 'Y':
            if (whole > 0) {
                if (!m_rasterActive)
                    rasterStart(0);
                flushRaster();
                m_y = std::min(m_y + whole * (kUnitsPerInch / m_rasterResolution), m_pageLength);
                m_rasterRows += whole;
                std::fill(m_seed.begin(), m_seed.end(), 0);
            }
            break;
        case 'W':
            rasterRow(std::max(0, whole));
            break;
        case 'V':
            return skipData();
        default:
            break;
        }
        return true;
    }
    if (family == '*' && group == 'c') {
        switch (parameter) {
        case 'A':
            m_rectWidth = std::max(0.0, n) * m_unit;
            break;
        case 'B':
            m_rectHeight = std::max(0.0, n) * m_unit;
            break;
        case 'H':
            m_rectWidth = std::max(0.0, n) * kDecipoint;
            break;
        case 'V':
            m_rectHeight = std::max(0.0, n) * kDecipoint;
            break;
        case 'G':
            m_pattern = whole;
            break;
        case 'P':
            rectangle(whole);
            break;
        case 'W':
            return skipData();
        default:
            break;
        }
        return true;
    }
    if (family == '%') {
        // The universal exit and the language switches: what follows until a PCL command
        // (job language lines, plotter commands) is not text.
        if (parameter == 'X' || parameter == 'B') {
            for (int b = m_in.peek(); b >= 0 && b != 0x1b; b = m_in.peek())
                m_in.get();
        }
        return true;
    }
    // Every other command that announces data: fonts, patterns, configurations, macros.
    if (parameter == 'W')
        return skipData();
    return true;
}

void Pcl5Layout::fontCommand(int slot, const Value& v, int parameter)
{
    PclFont& f = m_fonts[slot];
    const double n = v.number;
    switch (parameter) {
    case 'P':
        if (n == 0 || n == 1)
            f.proportional = n == 1;
        break;
    case 'H':
        if (n > 0 && n <= 576)
            f.pitch = n;
        break;
    case 'V':
        if (n > 0 && n <= 999.75)
            f.height = n;
        break;
    case 'S':
        if (n >= 0 && n <= 32767)
            f.style = static_cast<int>(n);
        break;
    case 'B':
        if (n >= -7 && n <= 7)
            f.weight = static_cast<int>(n);
        break;
    case 'T':
        if (n >= 0 && n <= 65535)
            f.typeface = static_cast<int>(n);
        break;
    default:
        return;
    }
    if (slot == (m_secondary ? 1 : 0))
        fontSelected();
}

void Pcl5Layout::symbolSet(int slot, const Value& v, int parameter)
{
    PclFont& f = m_fonts[slot];
    if (parameter == 'X') {
        // A font by its number: this printer has only the default one.
        f = PclFont();
    } else if (parameter == '@') {
        return;
    } else {
        const int id = static_cast<int>(std::clamp(v.number, 0.0, 2047.0)) * 32 + (parameter - 64);
        switch (id) {
        case 10 * 32 + 'U' - 64: // PC-8
        case 17 * 32 + 'U' - 64: // PC-852
            f.charset = OEM_CHARSET;
            break;
        case 8 * 32 + 'U' - 64: // Roman-8
            f.charset = ROMAN8_CHARSET;
            break;
        case 0 * 32 + 'N' - 64: // ISO 8859-1
            f.charset = DEFAULT_CHARSET;
            break;
        case 2 * 32 + 'N' - 64: // ISO 8859-2
            f.charset = LATIN2_CHARSET;
            break;
        default:
            return;
        }
    }
    if (slot == (m_secondary ? 1 : 0))
        fontSelected();
}

void Pcl5Layout::rasterStart(int mode)
{
    if (m_rasterActive)
        return;
    flush();
    m_rasterActive = true;
    m_rasterLeft = mode == 1 ? m_x : 0;
    m_rasterRows = 0;
    const double dots = m_rasterWidth > 0
                            ? m_rasterWidth
                            : std::floor((m_pageWidth - m_rasterLeft) * m_rasterResolution / kUnitsPerInch);
    m_blockBytes = static_cast<int>(std::clamp(dots, 0.0, double(kMaxRasterDots)) + 7) / 8;
    m_seed.assign(static_cast<std::size_t>(m_blockBytes), 0);
}

void Pcl5Layout::rasterRow(long long count)
{
    if (!m_rasterActive)
        rasterStart(0);
    std::vector<std::uint8_t> row(m_seed.size(), 0);
    const std::size_t width = row.size();
    std::size_t at = 0;
    long long left = count;
    const auto next = [&]() -> int {
        if (left <= 0)
            return -1;
        --left;
        return m_in.get();
    };
    switch (m_compression) {
    case 0:
        for (int b = next(); b >= 0; b = next())
            if (at < width)
                row[at++] = static_cast<std::uint8_t>(b);
        break;
    case 1:
        for (int repeat = next(); repeat >= 0; repeat = next()) {
            const int b = next();
            if (b < 0)
                break;
            for (int i = 0; i <= repeat && at < width; ++i)
                row[at++] = static_cast<std::uint8_t>(b);
        }
        break;
    case 2:
        for (int control = next(); control >= 0; control = next()) {
            if (control < 128) {
                for (int i = 0; i <= control; ++i) {
                    const int b = next();
                    if (b < 0)
                        break;
                    if (at < width)
                        row[at++] = static_cast<std::uint8_t>(b);
                }
            } else if (control > 128) {
                const int b = next();
                if (b < 0)
                    break;
                for (int i = 0; i <= 256 - control && at < width; ++i)
                    row[at++] = static_cast<std::uint8_t>(b);
            }
        }
        break;
    default: {
        // Delta rows: bytes replaced in the row before, each group after a gap.
        row = m_seed;
        for (int command = next(); command >= 0; command = next()) {
            const int replace = (command >> 5) + 1;
            std::size_t offset = static_cast<std::size_t>(command & 0x1f);
            if (offset == 31) {
                for (int more = next(); more >= 0; more = next()) {
                    offset += static_cast<std::size_t>(more);
                    if (more != 255)
                        break;
                }
            }
            at += offset;
            for (int i = 0; i < replace; ++i) {
                const int b = next();
                if (b < 0)
                    break;
                if (at < width)
                    row[at] = static_cast<std::uint8_t>(b);
                ++at;
            }
        }
        break;
    }
    }
    // What the data announced but the text does not hold ends the graphic with the text.
    m_in.skip(left);
    m_seed = row;
    if (m_rasterHeight > 0 && m_rasterRows >= m_rasterHeight)
        return;
    if (m_blockRows == 0)
        m_blockTop = m_y;
    m_block.insert(m_block.end(), row.begin(), row.end());
    ++m_blockRows;
    ++m_rasterRows;
    m_y = std::min(m_y + kUnitsPerInch / m_rasterResolution, m_pageLength);
    if (m_blockRows >= kMaxBlockRows)
        flushRaster();
}

void Pcl5Layout::flushRaster()
{
    if (m_blockRows == 0)
        return;
    const int rows = std::exchange(m_blockRows, 0);
    const std::vector<std::uint8_t> block = std::exchange(m_block, {});
    const int bytes = m_blockBytes;
    if (bytes == 0 || std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; }))
        return;
    QImage image(bytes * 8, rows, QImage::Format_Mono);
    image.setColorCount(2);
    // The paper shows through the dots not printed.
    image.setColor(0, qRgba(0, 0, 0, 0));
    image.setColor(1, qRgb(0, 0, 0));
    for (int r = 0; r < rows; ++r)
        std::copy_n(block.begin() + std::ptrdiff_t(r) * bytes, bytes, image.scanLine(r));
    const double dot = kUnitsPerInch / m_rasterResolution;
    const int x0 = devX(m_rasterLeft);
    const int y0 = devY(m_blockTop);
    const int x1 = devX(m_rasterLeft + bytes * 8 * dot);
    const int y1 = devY(m_blockTop + rows * dot);
    if (x1 <= x0 || y1 <= y0)
        return;
    ensurePage();
    canvas().metafile().addGraphic(QRect(x0, y0, x1 - x0, y1 - y0), std::make_shared<const QImage>(image));
    m_pageHasText = true;
}

void Pcl5Layout::rasterEnd()
{
    flushRaster();
    m_rasterActive = false;
}

void Pcl5Layout::rectangle(int fill)
{
    flushRaster();
    flush();
    QRgb color;
    switch (fill) {
    case 0:
        color = qRgb(0, 0, 0);
        break;
    case 1:
        color = qRgb(255, 255, 255);
        break;
    case 2: {
        const int shade = std::clamp(m_pattern, 0, 100);
        const int grey = 255 - (255 * shade + 50) / 100;
        color = qRgb(grey, grey, grey);
        break;
    }
    case 3:
        // A cross-hatch is drawn as the grey it averages to.
        color = qRgb(192, 192, 192);
        break;
    default:
        return;
    }
    const int x0 = devX(m_x);
    const int y0 = devY(m_y);
    const int x1 = devX(std::min(m_x + m_rectWidth, m_pageWidth));
    const int y1 = devY(std::min(m_y + m_rectHeight, m_pageLength));
    if (x1 <= x0 || y1 <= y0)
        return;
    // A frame record is only an outline: the area is filled by one pixel of its colour
    // stretched over it, shared by every rectangle of that colour.
    std::shared_ptr<const QImage>& area = m_fills[color];
    if (!area) {
        QImage pixel(1, 1, QImage::Format_ARGB32);
        pixel.setPixel(0, 0, color);
        area = std::make_shared<const QImage>(std::move(pixel));
    }
    ensurePage();
    canvas().metafile().addGraphic(QRect(x0, y0, x1 - x0, y1 - y0), area);
    m_pageHasText = true;
}

void Pcl5Layout::run()
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
        const int dpiX = std::max(1, e.m_pixelsPerInchX);
        const int dpiY = std::max(1, e.m_pixelsPerInchY);
        m_pixelsX = dpiX / kUnitsPerInch;
        m_pixelsY = dpiY / kUnitsPerInch;
        m_leftDev = e.m_pageOffsetX;
        m_sheetWidth = e.m_pageWidth * kUnitsPerInch / dpiX;
        m_sheetLength = e.m_pageHeight * kUnitsPerInch / dpiY;
        m_edge = e.m_pageOffsetX * kUnitsPerInch / dpiX;
        m_font = TFont(QStringLiteral("Courier New"), 12, 0, OEM_CHARSET);
        e.AdjustFont(m_font);
        reset();

        for (int b = m_in.get(); b >= 0; b = m_in.get()) {
            if (b >= 0x20 && b != 0x7f && (b < 0x80 || b >= 0xA0 || font().charset == OEM_CHARSET)) {
                printByte(static_cast<unsigned char>(b));
                printPlainRun();
                continue;
            }
            control(b);
        }
        flushRaster();
        flush();
        e.m_pageUsed = m_pageHasText;
        e.EndDoc();
    } catch (...) {
        // A failing handler or printer ends the document; the pages made so far stay.
        e.m_printing = false;
        e.CloseCanvas();
        throw;
    }
}

void TPreviewPrinter::RenderPcl5(std::string_view Text)
{
    WholeText whole(Text);
    RenderPcl5(whole);
}

void TPreviewPrinter::RenderPcl5(TTextSource& Source)
{
    Pcl5Layout layout(*this, Source);
    layout.run();
}
