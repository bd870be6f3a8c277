#include "PrevPrinter.h"

#include "Coordinates.h"

TMetafileCanvas::TMetafileCanvas(TMetafile& metafile, const DeviceMetrics& reference, IFonts& fonts)
    : m_metafile(&metafile)
    , m_reference(reference)
    , m_fonts(&fonts)
{
    Font.setPixelsPerInch(reference.logPixelsY);
    Font.OnChange = [this](TFont& sender) { FontChanged(sender); };
}

void TMetafileCanvas::FontChanged(TFont&)
{
    m_fontDirty = true;
}

void TMetafileCanvas::prepareFont()
{
    if (!m_fontDirty)
        return;
    m_fontDirty = false;
    FontSpec wanted = Font.attributes();
    // The font's pixel size follows the vertical resolution; its widths are measured at the
    // horizontal one.
    const int dpiX = m_reference.logPixelsX;
    const int dpiY = m_reference.logPixelsY;
    // A width of the font's own equal to its height is the face's own shape.
    if (wanted.pixelWidth == wanted.pixelSize && dpiX == dpiY)
        wanted.pixelWidth = 0;
    if (wanted.pixelWidth == 0 && dpiX != dpiY && dpiX > 0 && dpiY > 0)
        wanted.pixelWidth = std::max(1, clampCoordinate((2LL * wanted.pixelSize * dpiX + dpiY) / (2LL * dpiY)));
    // Re-assigning the same font is the common case; keep what was worked out for it.
    if (m_advances && wanted == m_current)
        return;
    m_current = std::move(wanted);
    m_fontIndex = -1;
    m_advances = &m_fonts->advances(m_current);
}

int TMetafileCanvas::TextOut(int x, int y, std::string_view bytes)
{
    prepareFont();
    if (m_fontIndex < 0)
        m_fontIndex = m_metafile->fontIndex(m_current);
    const long long width = advance(bytes);
    m_metafile->addText(x, y, m_fontIndex, bytes, width);
    return clampCoordinate(width);
}

long long TMetafileCanvas::advance(std::string_view bytes) const
{
    const GlyphAdvances& a = *m_advances;
    long long width = 0;
    for (unsigned char b : bytes)
        width += a[b];
    return width;
}

int TMetafileCanvas::TextWidth(std::string_view bytes)
{
    prepareFont();
    return clampCoordinate(advance(bytes));
}

int TMetafileCanvas::GlyphWidth(unsigned char byte)
{
    prepareFont();
    return (*m_advances)[byte];
}

const GlyphAdvances& TMetafileCanvas::Advances()
{
    prepareFont();
    return *m_advances;
}

void TMetafileCanvas::MoveTo(int x, int y)
{
    m_penPos = QPoint(x, y);
}

void TMetafileCanvas::LineTo(int x, int y)
{
    m_metafile->addLine(m_penPos.x(), m_penPos.y(), x, y, Pen.Color);
    m_penPos = QPoint(x, y);
}

void TMetafileCanvas::FrameRect(const QRect& rect)
{
    m_metafile->addFrame(rect, Pen.Color);
}

void TMetafileCanvas::StretchDraw(const QRect& rect, std::shared_ptr<const QImage> bitmap)
{
    if (!bitmap || bitmap->isNull())
        return;
    m_metafile->addBitmap(rect, std::move(bitmap));
}

TVelMetaFileCanvas::TVelMetaFileCanvas(TMetafile& metafile, const DeviceMetrics& reference, IFonts& fonts)
    : TMetafileCanvas(metafile, reference, fonts)
    , m_inheritedFontChanged(Font.OnChange)
{
    Font.OnChange = [this](TFont& sender) {
        if (m_inheritedFontChanged)
            m_inheritedFontChanged(sender);
    };
}
