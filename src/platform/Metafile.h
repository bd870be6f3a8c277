#pragma once

#include "DeviceTypes.h"
#include "IFonts.h"

#include <QImage>
#include <QRect>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
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

// One drawing call, in 20 bytes. Text keeps the offset and length of its bytes in the
// page's text and draws in its font's colour; a line runs from (x, y) to (x + width,
// y + height) and a frame fills the rectangle (x, y, width, height), both in a colour of
// the page's colour table; a bitmap is stretched into the rectangle.
struct MetaRecord
{
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;  // text: offset of its bytes
    std::int32_t height = 0; // text: number of its bytes
    std::uint16_t index = 0; // font (text), colour (line, frame) or bitmap (bitmap) of the page
    RecordOp op = RecordOp::Text;

    std::uint32_t textOffset() const { return std::bit_cast<std::uint32_t>(width); }
    std::uint32_t textLength() const { return std::bit_cast<std::uint32_t>(height); }
};
static_assert(sizeof(MetaRecord) == 20);

// A recorded page: drawing records in device pixels of the reference device, measured
// from the physical corner of the sheet. It holds records, never pixels: bitmaps are
// shared with every other page that shows them.
//
// A page is bounded: one that would need more than kMaxRecords records, kMaxTextBytes
// bytes of text, kMaxGraphicBytes bytes of graphics made from the document's data or
// kMaxTableEntries fonts, colours or bitmaps is refused with EDocumentError naming the page. No printed page comes
// near: a dense 136-column page full of box rules needs some 36,000 records and 12 KB of text.
class TMetafile
{
public:
    static constexpr std::size_t kMaxRecords = 200000;
    static constexpr std::size_t kMaxTextBytes = std::size_t(1) << 20;
    static constexpr std::size_t kMaxTableEntries = 65536;
    static constexpr std::size_t kMaxGraphicBytes = std::size_t(32) << 20;

    // The page's number in its document, which errors name.
    int number() const { return m_number; }
    void setNumber(int number) { m_number = number; }

    // Returns the index of the font in the page's font table, adding it when new.
    int fontIndex(const FontSpec& font);

    // Text hanging from (x, y); `advance` is the layout's width of the bytes. Text that
    // follows on the same line, in the same font, right where this ends, joins this record
    // instead of starting one: every output draws each glyph at the layout's advances, so
    // the glyphs stay where the layout put them.
    void addText(int x, int y, int font, std::string_view bytes, long long advance);
    // Text whose width is not known: nothing joins it.
    void addText(int x, int y, int font, std::string_view bytes);
    void addLine(int x1, int y1, int x2, int y2, QRgb color);
    void addFrame(const QRect& rect, QRgb color);
    void addBitmap(const QRect& rect, std::shared_ptr<const QImage> bitmap);
    // A bitmap made from the document's own data (a printer language's graphics), counted
    // against the page's bound.
    void addGraphic(const QRect& rect, std::shared_ptr<const QImage> bitmap);

    const std::vector<MetaRecord>& records() const { return m_records; }
    const FontSpec& font(const MetaRecord& r) const { return m_fonts[r.index]; }
    const std::vector<FontSpec>& fonts() const { return m_fonts; }
    // The colour a record draws in: its font's for text, the colour table's for lines and frames.
    QRgb color(const MetaRecord& r) const
    {
        return r.op == RecordOp::Text ? m_fonts[r.index].color : m_colors[r.index];
    }
    std::string_view bytes(const MetaRecord& r) const
    {
        return std::string_view(m_text).substr(r.textOffset(), r.textLength());
    }
    std::size_t textBytes() const { return m_text.size(); }
    const QImage& bitmap(const MetaRecord& r) const { return *m_bitmaps[r.index]; }
    bool isEmpty() const { return m_records.empty(); }

    // Heap bytes the page holds (records, text, tables), not counting shared bitmaps.
    std::size_t memoryBytes() const;

private:
    void addRecord(const MetaRecord& record);
    std::uint16_t colorIndex(QRgb color);
    [[noreturn]] void refuse(const QString& what) const;

    std::vector<MetaRecord> m_records;
    std::vector<FontSpec> m_fonts;
    std::vector<QRgb> m_colors;
    std::vector<std::shared_ptr<const QImage>> m_bitmaps;
    std::string m_text;
    // Where text must begin to join the last record; nothing when the last record is no text.
    std::optional<long long> m_joinAt;
    std::size_t m_graphicBytes = 0;
    int m_number = 0;
};
