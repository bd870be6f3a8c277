#include "PrevPrinter.h"

#include "Coordinates.h"

#include "platform/Errors.h"
#include "platform/IPrinters.h"
#include "platform/IScreen.h"

#include <algorithm>

namespace {

const char* const kSourceFile = "PrevPrinter";

// a * b / c rounded half away from zero, as the font mapper computes heights.
int mulDiv(int a, int b, int c)
{
    if (c == 0)
        return -1;
    const long long num = static_cast<long long>(a) * b;
    const long long den = c;
    const bool negative = (num < 0) != (den < 0);
    const long long an = num < 0 ? -num : num;
    const long long ad = den < 0 ? -den : den;
    const long long q = (2 * an + ad) / (2 * ad);
    return static_cast<int>(negative ? -q : q);
}

} // namespace

TEmulation emulationFromSetting(long long value)
{
    switch (value) {
    case 1:
        return TEmulation::EscP2;
    case 2:
        return TEmulation::Pcl5;
    default:
        return TEmulation::CommandTable;
    }
}

bool emulationReadsBinary(TEmulation emulation)
{
    return emulation == TEmulation::EscP2 || emulation == TEmulation::Pcl5;
}

void TPreviewPrinter::Render(TTextSource& Source, TEmulation emulation)
{
    switch (emulation) {
    case TEmulation::EscP2:
        RenderEscP2(Source);
        break;
    case TEmulation::Pcl5:
        RenderPcl5(Source);
        break;
    case TEmulation::CommandTable:
        RenderText(Source);
        break;
    }
}

// ---- TFont ----

TFont::TFont(const QString& name, int size, std::uint8_t style, int charset)
    : m_name(name)
    , m_style(style)
    , m_charset(charset)
{
    m_height = -mulDiv(size, m_pixelsPerInch, 72);
}

TFont::TFont(const TFont& other)
    : m_name(other.m_name)
    , m_pixelsPerInch(other.m_pixelsPerInch)
    , m_height(other.m_height)
    , m_width(other.m_width)
    , m_style(other.m_style)
    , m_charset(other.m_charset)
    , m_color(other.m_color)
{}

TFont& TFont::operator=(const TFont& other)
{
    Assign(other);
    return *this;
}

void TFont::Assign(const TFont& source)
{
    if (&source == this)
        return;
    m_name = source.m_name;
    m_pixelsPerInch = source.m_pixelsPerInch;
    m_height = source.m_height;
    m_width = source.m_width;
    m_style = source.m_style;
    m_charset = source.m_charset;
    m_color = source.m_color;
    Changed();
}

void TFont::setName(const QString& name)
{
    if (name == m_name)
        return;
    m_name = name;
    Changed();
}

int TFont::Size() const
{
    return -mulDiv(m_height, 72, m_pixelsPerInch);
}

void TFont::setSize(int points)
{
    setHeight(-mulDiv(points, m_pixelsPerInch, 72));
}

void TFont::setHeight(int height)
{
    if (height == m_height)
        return;
    m_height = height;
    Changed();
}

void TFont::setWidth(int width)
{
    width = std::max(width, 0);
    if (width == m_width)
        return;
    m_width = width;
    Changed();
}

void TFont::setStyle(std::uint8_t style)
{
    if (style == m_style)
        return;
    m_style = style;
    Changed();
}

void TFont::setCharset(int charset)
{
    if (charset == m_charset)
        return;
    m_charset = charset;
    Changed();
}

void TFont::setColor(QRgb color)
{
    if (color == m_color)
        return;
    m_color = color;
    Changed();
}

FontSpec TFont::attributes() const
{
    FontSpec s;
    s.name = m_name;
    s.size = Size();
    s.pixelSize = m_height < 0 ? -m_height : m_height;
    s.pixelWidth = m_width;
    s.style = m_style;
    s.charset = m_charset;
    s.color = m_color;
    return s;
}

void TFont::Changed()
{
    if (OnChange)
        OnChange(*this);
}

// ---- TTextOptions ----

TTextOptions::TTextOptions()
    : m_bodyFont(QStringLiteral("Arial"), 10)
    , m_headerFont(QStringLiteral("Times New Roman"), 18, fsBold)
    , m_footerFont(QStringLiteral("Times New Roman"), 10, fsItalic)
    , m_pageNumFont(m_footerFont)
{}

// ---- TPreviewPrinter ----

TPreviewPrinter::TPreviewPrinter(Platform platform)
    : m_platform(platform)
    , m_textOptions(std::make_unique<TTextOptions>())
{}

TPreviewPrinter::~TPreviewPrinter()
{
    Clear();
}

void TPreviewPrinter::setUnits(TUnits value)
{
    m_units = value;
    m_unitsFactor = value == unCentimeters ? 2.54 : 1.0;
}

void TPreviewPrinter::raiseStatus(const QString& message, int pageNum, TStatusType type)
{
    if (OnStatus)
        OnStatus(*this, message, pageNum, type);
}

void TPreviewPrinter::BeginDoc()
{
    m_printing = true;
    Clear();
    NewPage();
}

void TPreviewPrinter::NewPage()
{
    if (!m_printing)
        throw EAssertionFailed("Assertion failure", kSourceFile);

    m_pages.push_back(std::make_unique<TMetafile>());
    TMetafile& page = *m_pages.back();
    page.setNumber(PageCount());

    std::unique_ptr<TVelMetaFileCanvas> canvas;
    IPrinters& printers = m_platform.printers;
    if (printers.printerCount() > 0) {
        try {
            printers.setOrientation(Orientation);
            const DeviceMetrics device = printers.deviceMetrics();
            canvas = std::make_unique<TVelMetaFileCanvas>(page, device, m_platform.fonts);
            UpdateDeviceMetrics(device);
        } catch (const std::exception&) {
            canvas.reset();
        }
    }
    if (!canvas) {
        // Without a usable printer the page is recorded against the screen.
        const int ppi = m_platform.screen.pixelsPerInch();
        const DeviceMetrics screen{ppi, ppi, 0, 0, 0, 0};
        canvas = std::make_unique<TVelMetaFileCanvas>(page, screen, m_platform.fonts);
        UpdateDeviceMetrics(canvas->reference());
    }

    canvas->Font.setPixelsPerInch(m_pixelsPerInchY);
    if (m_canvas) {
        canvas->Font.Assign(m_canvas->Font);
        canvas->Brush = m_canvas->Brush;
        canvas->Pen = m_canvas->Pen;
    } else {
        canvas->Font.setName(QStringLiteral("Arial"));
        canvas->Font.setSize(10);
        canvas->Brush.Style = bsClear;
    }
    m_canvas = std::move(canvas);
    m_pageUsed = false;

    raiseStatus(QStringLiteral("Paginating page %1").arg(PageCount()), PageCount(), stPaginating);
}

void TPreviewPrinter::EndDoc()
{
    m_printing = false;
    m_canvas.reset();
    if (!m_pageUsed) {
        if (m_pages.empty())
            throw EListError(-1);
        m_pages.pop_back();
    }
    raiseStatus(QStringLiteral("Pagination Complete"), -1, stPaginationComplete);
}

TVelMetaFileCanvas* TPreviewPrinter::Canvas()
{
    if (!m_printing)
        throw EAssertionFailed("Canvas is not available before BeginDoc", kSourceFile);
    m_pageUsed = true;
    return m_canvas.get();
}

void TPreviewPrinter::CloseCanvas()
{
    m_canvas.reset();
}

void TPreviewPrinter::Clear()
{
    CloseCanvas();
    m_pages.clear();
}

const TMetafile& TPreviewPrinter::Pages(int index) const
{
    if (index < 0 || index >= PageCount())
        throw EListError(index);
    return *m_pages[static_cast<std::size_t>(index)];
}

int TPreviewPrinter::UnitsToPixelsX(double value) const
{
    return roundToPixels(m_pixelsPerInchX * value / m_unitsFactor);
}

int TPreviewPrinter::UnitsToPixelsY(double value) const
{
    return roundToPixels(m_pixelsPerInchY * value / m_unitsFactor);
}

double TPreviewPrinter::PixelsToUnitsX(int pixels) const
{
    return m_pixelsPerInchX == 0 ? 0.0 : static_cast<double>(pixels) / m_pixelsPerInchX * m_unitsFactor;
}

double TPreviewPrinter::PixelsToUnitsY(int pixels) const
{
    return m_pixelsPerInchY == 0 ? 0.0 : static_cast<double>(pixels) / m_pixelsPerInchY * m_unitsFactor;
}

void TPreviewPrinter::AdjustFont(TFont& font) const
{
    const int size = font.Size();
    font.setPixelsPerInch(m_pixelsPerInchY);
    font.setSize(size);
}

void TPreviewPrinter::UpdateDeviceMetrics(const DeviceMetrics& device)
{
    m_pixelsPerInchX = device.logPixelsX;
    m_pixelsPerInchY = device.logPixelsY;
    m_pageWidth = device.physicalWidth;
    m_pageHeight = device.physicalHeight;
    if (m_pageWidth == 0) {
        // Not a printer: a US Letter sheet at the screen's logical resolution.
        const int ppi = m_platform.screen.pixelsPerInch();
        m_pageWidth = roundToPixels(ppi * 8.5);
        m_pageHeight = roundToPixels(ppi * 11.0);
    }
    m_pageOffsetX = device.physicalOffsetX;
    m_pageOffsetY = device.physicalOffsetY;
}
