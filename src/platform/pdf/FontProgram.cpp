#include "FontProgram.h"

#include <hb-subset.h>

#include <array>
#include <memory>

namespace {

std::uint32_t read32(const QByteArray& data, int at)
{
    if (at < 0 || at + 4 > data.size())
        return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(data.constData()) + at;
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

int read16(const QByteArray& data, int at, bool isSigned)
{
    if (at < 0 || at + 2 > data.size())
        return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(data.constData()) + at;
    const int value = p[0] << 8 | p[1];
    return isSigned && value >= 0x8000 ? value - 0x10000 : value;
}

void append32(QByteArray& out, std::uint32_t v)
{
    const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(bytes, 4);
}

void append16(QByteArray& out, unsigned v)
{
    const char bytes[2] = {char(v >> 8), char(v)};
    out.append(bytes, 2);
}

std::uint32_t checksum(const QByteArray& table)
{
    std::uint32_t sum = 0;
    for (int i = 0; i < table.size(); i += 4) {
        std::uint32_t word = 0;
        for (int j = 0; j < 4; ++j)
            word = word << 8 | (i + j < table.size() ? static_cast<unsigned char>(table[i + j]) : 0);
        sum += word;
    }
    return sum;
}

// The tables a PDF reader and the subsetter need of a TrueType face, in tag order.
constexpr std::array<const char*, 10> kTables = {"OS/2", "cmap", "glyf", "head", "hhea",
                                                 "hmtx", "loca", "maxp", "name", "post"};

struct BlobDeleter
{
    void operator()(hb_blob_t* blob) const { hb_blob_destroy(blob); }
};
struct FaceDeleter
{
    void operator()(hb_face_t* face) const { hb_face_destroy(face); }
};
struct InputDeleter
{
    void operator()(hb_subset_input_t* input) const { hb_subset_input_destroy(input); }
};

} // namespace

FontProgram::FontProgram(const QRawFont& face)
{
    std::vector<std::pair<const char*, QByteArray>> tables;
    for (const char* tag : kTables) {
        QByteArray data = face.fontTable(tag);
        if (!data.isEmpty())
            tables.emplace_back(tag, std::move(data));
    }
    const auto table = [&](const char* tag) {
        for (const auto& [t, data] : tables) {
            if (qstrcmp(t, tag) == 0)
                return data;
        }
        return QByteArray();
    };
    const QByteArray head = table("head");
    for (const char* required : {"glyf", "head", "hhea", "hmtx", "loca", "maxp"}) {
        if (table(required).isEmpty())
            return;
    }
    const int unitsPerEm = read16(head, 18, false);
    if (unitsPerEm <= 0)
        return;
    const auto thousandths = [&](int units) { return units * 1000 / unitsPerEm; };
    m_xMin = thousandths(read16(head, 36, true));
    m_yMin = thousandths(read16(head, 38, true));
    m_xMax = thousandths(read16(head, 40, true));
    m_yMax = thousandths(read16(head, 42, true));
    m_fixedPitch = read32(table("post"), 12) != 0;
    m_glyphCount = read16(table("maxp"), 4, false);

    // An sfnt: the table directory, then each table on a four-byte boundary.
    const unsigned count = static_cast<unsigned>(tables.size());
    unsigned power = 1;
    unsigned log2 = 0;
    while (power * 2 <= count) {
        power *= 2;
        ++log2;
    }
    QByteArray file;
    append32(file, 0x00010000);
    append16(file, count);
    append16(file, power * 16);
    append16(file, log2);
    append16(file, count * 16 - power * 16);
    std::uint32_t offset = 12 + 16 * count;
    for (const auto& [tag, data] : tables) {
        file.append(tag, 4);
        append32(file, checksum(data));
        append32(file, offset);
        append32(file, static_cast<std::uint32_t>(data.size()));
        offset += (static_cast<std::uint32_t>(data.size()) + 3) & ~3u;
    }
    for (const auto& [tag, data] : tables) {
        file.append(data);
        file.append((4 - data.size() % 4) % 4, '\0');
    }
    m_file = file;
}

QByteArray FontProgram::subset(const std::vector<std::uint32_t>& glyphs) const
{
    if (m_file.isEmpty())
        return {};
    const std::unique_ptr<hb_blob_t, BlobDeleter> blob(hb_blob_create(
        m_file.constData(), static_cast<unsigned>(m_file.size()), HB_MEMORY_MODE_READONLY, nullptr, nullptr));
    const std::unique_ptr<hb_face_t, FaceDeleter> face(hb_face_create(blob.get(), 0));
    const std::unique_ptr<hb_subset_input_t, InputDeleter> input(hb_subset_input_create_or_fail());
    if (!input)
        return m_file;
    hb_set_t* set = hb_subset_input_glyph_set(input.get());
    hb_set_add(set, 0);
    for (const std::uint32_t glyph : glyphs)
        hb_set_add(set, glyph);
    // Glyph ids stay as they are: the pages refer to them.
    hb_subset_input_set_flags(input.get(), HB_SUBSET_FLAGS_RETAIN_GIDS | HB_SUBSET_FLAGS_NO_HINTING);
    const std::unique_ptr<hb_face_t, FaceDeleter> cut(hb_subset_or_fail(face.get(), input.get()));
    if (!cut)
        return m_file;
    const std::unique_ptr<hb_blob_t, BlobDeleter> result(hb_face_reference_blob(cut.get()));
    unsigned length = 0;
    const char* data = hb_blob_get_data(result.get(), &length);
    if (!data || length == 0)
        return m_file;
    return QByteArray(data, static_cast<qsizetype>(length));
}
