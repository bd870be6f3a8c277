#include "Metafile.h"

#include <algorithm>
#include <limits>

int TMetafile::fontIndex(const FontSpec& font)
{
    // A page uses a handful of fonts; the most recent one is the likely match.
    for (int i = static_cast<int>(m_fonts.size()) - 1; i >= 0; --i) {
        if (m_fonts[i] == font)
            return i;
    }
    m_fonts.push_back(font);
    return static_cast<int>(m_fonts.size()) - 1;
}

void TMetafile::addText(int x, int y, int font, std::string_view bytes)
{
    // A single page never approaches 4 GiB of text; a run that would is cut there.
    const std::size_t room = std::numeric_limits<std::uint32_t>::max() - m_text.size();
    bytes = bytes.substr(0, std::min(bytes.size(), room));
    MetaRecord r;
    r.op = RecordOp::Text;
    r.index = static_cast<std::uint16_t>(font);
    r.x = x;
    r.y = y;
    r.textOffset = static_cast<std::uint32_t>(m_text.size());
    r.textLength = static_cast<std::uint32_t>(bytes.size());
    r.color = m_fonts[font].color;
    m_text.append(bytes);
    m_records.push_back(r);
}

void TMetafile::addLine(int x1, int y1, int x2, int y2, QRgb color)
{
    MetaRecord r;
    r.op = RecordOp::Line;
    r.x = x1;
    r.y = y1;
    r.width = x2 - x1;
    r.height = y2 - y1;
    r.color = color;
    m_records.push_back(r);
}

void TMetafile::addFrame(const QRect& rect, QRgb color)
{
    MetaRecord r;
    r.op = RecordOp::Frame;
    r.x = rect.x();
    r.y = rect.y();
    r.width = rect.width();
    r.height = rect.height();
    r.color = color;
    m_records.push_back(r);
}

void TMetafile::addBitmap(const QRect& rect, std::shared_ptr<const QImage> bitmap)
{
    auto it = std::find(m_bitmaps.begin(), m_bitmaps.end(), bitmap);
    if (it == m_bitmaps.end()) {
        m_bitmaps.push_back(std::move(bitmap));
        it = m_bitmaps.end() - 1;
    }
    MetaRecord r;
    r.op = RecordOp::Bitmap;
    r.index = static_cast<std::uint16_t>(it - m_bitmaps.begin());
    r.x = rect.x();
    r.y = rect.y();
    r.width = rect.width();
    r.height = rect.height();
    m_records.push_back(r);
}

std::size_t TMetafile::memoryBytes() const
{
    std::size_t bytes = sizeof(*this) + m_records.capacity() * sizeof(MetaRecord) + m_text.capacity() +
                        m_bitmaps.capacity() * sizeof(m_bitmaps[0]);
    for (const FontSpec& f : m_fonts)
        bytes += sizeof(FontSpec) + static_cast<std::size_t>(f.name.capacity()) * sizeof(QChar);
    return bytes;
}
