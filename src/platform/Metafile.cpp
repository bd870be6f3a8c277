#include "Metafile.h"

#include "Errors.h"

#include <QString>

#include <algorithm>

void TMetafile::refuse(const QString& what) const
{
    throw EDocumentError(QStringLiteral("Page %1 needs more than %2").arg(m_number).arg(what).toStdString());
}

void TMetafile::addRecord(const MetaRecord& record)
{
    if (m_records.size() >= kMaxRecords)
        refuse(QStringLiteral("%1 drawing records").arg(kMaxRecords));
    m_records.push_back(record);
    m_joinAt.reset();
}

int TMetafile::fontIndex(const FontSpec& font)
{
    // A page uses a handful of fonts; the most recent one is the likely match.
    for (int i = static_cast<int>(m_fonts.size()) - 1; i >= 0; --i) {
        if (m_fonts[i] == font)
            return i;
    }
    if (m_fonts.size() >= kMaxTableEntries)
        refuse(QStringLiteral("%1 fonts").arg(kMaxTableEntries));
    m_fonts.push_back(font);
    return static_cast<int>(m_fonts.size()) - 1;
}

std::uint16_t TMetafile::colorIndex(QRgb color)
{
    for (std::size_t i = m_colors.size(); i-- > 0;) {
        if (m_colors[i] == color)
            return static_cast<std::uint16_t>(i);
    }
    if (m_colors.size() >= kMaxTableEntries)
        refuse(QStringLiteral("%1 colours").arg(kMaxTableEntries));
    m_colors.push_back(color);
    return static_cast<std::uint16_t>(m_colors.size() - 1);
}

void TMetafile::addText(int x, int y, int font, std::string_view bytes)
{
    addText(x, y, font, bytes, 0);
    m_joinAt.reset();
}

void TMetafile::addText(int x, int y, int font, std::string_view bytes, long long advance)
{
    if (bytes.size() > kMaxTextBytes - m_text.size())
        refuse(QStringLiteral("%1 MiB of text").arg(kMaxTextBytes >> 20));
    const auto length = static_cast<std::int32_t>(bytes.size());
    // The last record's bytes end the page's text, so text joining it follows them there.
    if (m_joinAt && *m_joinAt == x && m_records.back().y == y && m_records.back().index == font) {
        m_records.back().height += length;
        m_text.append(bytes);
        *m_joinAt += advance;
        return;
    }
    addRecord(MetaRecord{x, y, static_cast<std::int32_t>(m_text.size()), length, static_cast<std::uint16_t>(font),
                         RecordOp::Text});
    m_text.append(bytes);
    m_joinAt = x + advance;
}

void TMetafile::addLine(int x1, int y1, int x2, int y2, QRgb color)
{
    addRecord(MetaRecord{x1, y1, x2 - x1, y2 - y1, colorIndex(color), RecordOp::Line});
}

void TMetafile::addFrame(const QRect& rect, QRgb color)
{
    addRecord(MetaRecord{rect.x(), rect.y(), rect.width(), rect.height(), colorIndex(color), RecordOp::Frame});
}

void TMetafile::addBitmap(const QRect& rect, std::shared_ptr<const QImage> bitmap)
{
    auto it = std::find(m_bitmaps.begin(), m_bitmaps.end(), bitmap);
    if (it == m_bitmaps.end()) {
        if (m_bitmaps.size() >= kMaxTableEntries)
            refuse(QStringLiteral("%1 bitmaps").arg(kMaxTableEntries));
        m_bitmaps.push_back(std::move(bitmap));
        it = m_bitmaps.end() - 1;
    }
    const auto index = static_cast<std::uint16_t>(it - m_bitmaps.begin());
    addRecord(MetaRecord{rect.x(), rect.y(), rect.width(), rect.height(), index, RecordOp::Bitmap});
}

void TMetafile::addGraphic(const QRect& rect, std::shared_ptr<const QImage> bitmap)
{
    const auto bytes = static_cast<std::size_t>(bitmap ? bitmap->sizeInBytes() : 0);
    if (bytes > kMaxGraphicBytes - m_graphicBytes)
        refuse(QStringLiteral("%1 MiB of graphics").arg(kMaxGraphicBytes >> 20));
    m_graphicBytes += bytes;
    addBitmap(rect, std::move(bitmap));
}

std::size_t TMetafile::memoryBytes() const
{
    std::size_t bytes = sizeof(*this) + m_records.capacity() * sizeof(MetaRecord) + m_text.capacity() +
                        m_colors.capacity() * sizeof(QRgb) + m_bitmaps.capacity() * sizeof(m_bitmaps[0]);
    for (const FontSpec& f : m_fonts)
        bytes += sizeof(FontSpec) + static_cast<std::size_t>(f.name.capacity()) * sizeof(QChar);
    return bytes;
}
