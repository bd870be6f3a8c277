#pragma once

#include "DeviceTypes.h"

#include <QImage>
#include <QRect>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class RecordOp : std::uint8_t
{
    Text,
    Line,
    Frame,
    Bitmap
};

// One drawing call. Text keeps the original bytes (in the page's byte store) and an
// index into the page's font table; a line runs from (x, y) to (x + width, y + height);
// a frame and a bitmap fill the rectangle (x, y, width, height).
struct MetaRecord
{
    RecordOp op = RecordOp::Text;
    std::uint16_t index = 0; // font (text) or bitmap (bitmap) of the page
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t textOffset = 0;
    std::uint32_t textLength = 0;
    QRgb color = 0xff000000;
};

// A recorded page: drawing records in device pixels of the reference device, measured
// from the physical corner of the sheet. It holds records, never pixels: bitmaps are
// shared with every other page that shows them.
class TMetafile
{
public:
    // Returns the index of the font in the page's font table, adding it when new.
    int fontIndex(const FontSpec& font);

    void addText(int x, int y, int font, std::string_view bytes);
    void addLine(int x1, int y1, int x2, int y2, QRgb color);
    void addFrame(const QRect& rect, QRgb color);
    void addBitmap(const QRect& rect, std::shared_ptr<const QImage> bitmap);

    const std::vector<MetaRecord>& records() const { return m_records; }
    const FontSpec& font(const MetaRecord& r) const { return m_fonts[r.index]; }
    const std::vector<FontSpec>& fonts() const { return m_fonts; }
    std::string_view bytes(const MetaRecord& r) const
    {
        return std::string_view(m_text).substr(r.textOffset, r.textLength);
    }
    const QImage& bitmap(const MetaRecord& r) const { return *m_bitmaps[r.index]; }
    bool isEmpty() const { return m_records.empty(); }

    // Heap bytes the page holds (records, text, font table), not counting shared bitmaps.
    std::size_t memoryBytes() const;

private:
    std::vector<MetaRecord> m_records;
    std::vector<FontSpec> m_fonts;
    std::vector<std::shared_ptr<const QImage>> m_bitmaps;
    std::string m_text;
};
