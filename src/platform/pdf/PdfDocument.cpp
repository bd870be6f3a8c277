#include "PdfDocument.h"

#include "../GlyphTable.h"
#include "../IFonts.h"
#include "../Metafile.h"
#include "FontProgram.h"

#include <QIODevice>
#include <QImage>
#include <QPainterPath>

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace {

// The fastest level: page content is so repetitive that it is within a few per cent of
// the best ratio.
constexpr int kCompressionLevel = 1;
constexpr std::size_t kFlushAt = std::size_t(1) << 20;

void appendInt(std::string& out, long long value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

// A number as appendNumber writes it with four decimals.
double rounded(double value)
{
    return std::round(value * 10000.0) / 10000.0;
}

// A number with no more than `decimals` decimals and no trailing zeros, as PDF reads it.
void appendNumber(std::string& out, double value, int decimals = 4)
{
    const double scale = std::pow(10.0, decimals);
    const double rounded = std::round(value * scale) / scale;
    if (rounded == std::floor(rounded) && std::abs(rounded) < 1e15) {
        appendInt(out, static_cast<long long>(rounded));
        return;
    }
    char buffer[48];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, rounded, std::chars_format::fixed, decimals);
    char* end = result.ptr;
    while (end[-1] == '0')
        --end;
    if (end[-1] == '.')
        --end;
    out.append(buffer, end);
}

void appendNumbers(std::string& out, std::initializer_list<double> values)
{
    for (const double v : values) {
        appendNumber(out, v);
        out += ' ';
    }
}

void appendHex(std::string& out, unsigned value, int digits)
{
    static const char kHex[] = "0123456789ABCDEF";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out += kHex[(value >> shift) & 0xf];
}

// The bytes of a string operand: only the delimiters, the escape and line ends are escaped.
void appendString(std::string& out, std::string_view bytes)
{
    out += '(';
    std::size_t plain = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c != '(' && c != ')' && c != '\\' && c != '\r' && c != '\n')
            continue;
        out.append(bytes.data() + plain, i - plain);
        out += '\\';
        out += c == '\r' ? 'r' : c == '\n' ? 'n' : c;
        plain = i + 1;
    }
    out.append(bytes.data() + plain, bytes.size() - plain);
    out += ')';
}

void appendColor(std::string& out, std::uint32_t rgb)
{
    appendNumbers(out, {qRed(rgb) / 255.0, qGreen(rgb) / 255.0, qBlue(rgb) / 255.0});
}

// A name of PDF's own syntax: letters, digits and hyphens of the face's names.
std::string fontName(const QRawFont& face, std::size_t index)
{
    std::string tag = "AAAAAA";
    for (int i = 5; i >= 0 && index > 0; --i, index /= 26)
        tag[i] = static_cast<char>('A' + index % 26);
    std::string name = tag + '+';
    const QString full = face.familyName() + QLatin1Char('-') + face.styleName();
    for (const QChar c : full) {
        if ((c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
            (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-'))
            name += c.toLatin1();
    }
    return name;
}

const char kOneByteCMap[] = "/CIDInit /ProcSet findresource begin\n"
                            "12 dict begin\n"
                            "begincmap\n"
                            "/CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >> def\n"
                            "/CMapName /OneByteIdentity def\n"
                            "/CMapType 1 def\n"
                            "1 begincodespacerange\n<00> <FF>\nendcodespacerange\n"
                            "1 begincidrange\n<00> <FF> 0\nendcidrange\n"
                            "endcmap\n"
                            "CMapName currentdict /CMap defineresource pop\n"
                            "end\nend\n";

} // namespace

// A face of the document, embedded once with every glyph any page used of it.
struct PdfDocument::Face
{
    explicit Face(const QRawFont& raw)
        : raw(raw)
        , program(raw)
    {}
    QRawFont raw;
    FontProgram program;
    std::string name;
    int descriptor = 0;
    int file = 0;
    std::vector<std::uint32_t> glyphs; // used, in any order, with repeats
};

// A font of the pages on one of its faces: a one-byte font whose byte b is the table's
// glyph of b there, as wide as the layout made it.
struct PdfDocument::Font
{
    int number = 0; // /F<number>
    int object = 0;
    const GlyphTable* table = nullptr;
    int faceIndex = 0;
    Face* face = nullptr;
    std::bitset<256> used;
};

PdfDocument::PdfDocument(QIODevice& out, IFonts& fonts)
    : m_out(out)
    , m_fonts(fonts)
    , m_compressor(libdeflate_alloc_compressor(kCompressionLevel))
{
    // Objects 1 to 4 are the catalog, the page tree, the resources and the information,
    // written last; everything refers to them.
    m_objects.assign(5, 0);
    m_resources = 3;
    // A binary comment tells transports the file is not text.
    write("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");
}

PdfDocument::~PdfDocument()
{
    libdeflate_free_compressor(m_compressor);
}

int PdfDocument::newObject()
{
    m_objects.push_back(0);
    return static_cast<int>(m_objects.size()) - 1;
}

void PdfDocument::beginObject(int object)
{
    m_objects[object] = m_offset + static_cast<long long>(m_buffer.size());
    appendInt(m_buffer, object);
    m_buffer += " 0 obj\n";
}

void PdfDocument::write(std::string_view bytes)
{
    m_buffer.append(bytes);
    if (m_buffer.size() >= kFlushAt)
        flush();
}

void PdfDocument::flush()
{
    if (m_buffer.empty())
        return;
    const auto size = static_cast<qint64>(m_buffer.size());
    if (!m_failed && m_out.write(m_buffer.data(), size) != size)
        m_failed = true;
    m_offset += size;
    m_buffer.clear();
}

QString PdfDocument::errorString() const
{
    const QString reason = m_out.errorString();
    return reason.isEmpty() || !m_failed ? QStringLiteral("the PDF could not be written whole") : reason;
}

std::string_view PdfDocument::deflate(std::string_view data)
{
    m_deflated.resize(libdeflate_zlib_compress_bound(m_compressor, data.size()));
    const std::size_t size =
        libdeflate_zlib_compress(m_compressor, data.data(), data.size(), m_deflated.data(), m_deflated.size());
    // Nothing compressed (which the bound rules out) leaves the data as it is.
    return size > 0 ? std::string_view(m_deflated.data(), size) : data;
}

void PdfDocument::writeStream(int object, std::string_view data, std::string_view dictionary, bool compress)
{
    const std::string_view body = compress && m_compressor ? deflate(data) : data;
    beginObject(object);
    m_buffer += "<<";
    m_buffer += dictionary;
    m_buffer += " /Length ";
    appendInt(m_buffer, static_cast<long long>(body.size()));
    if (body.data() != data.data())
        m_buffer += " /Filter /FlateDecode";
    m_buffer += " >>\nstream\n";
    write(body);
    write("\nendstream\nendobj\n");
}

void PdfDocument::beginPage(QSizeF points, int dpiX, int dpiY)
{
    endPage();
    m_pageOpen = true;
    m_sheet = points;
    m_content.clear();
    m_inText = false;
    m_textFont = -1;
    m_textScale = 100;
    m_fill = -1;
    m_stroke = -1;
    // Device pixels from the top left corner; lines one pixel wide, their ends square.
    // The scale is written to the full precision a reader keeps: a pixel of 203 dpi is not
    // a round number of points, and a sheet is thousands of them.
    m_content += "q ";
    appendNumber(m_content, 72.0 / std::max(1, dpiX), 9);
    m_content += " 0 0 ";
    appendNumber(m_content, -72.0 / std::max(1, dpiY), 9);
    m_content += " 0 ";
    appendNumber(m_content, points.height());
    m_content += " cm 2 J 0 j 1 w\n";
}

void PdfDocument::endText()
{
    if (m_inText) {
        m_content += "ET\n";
        m_inText = false;
    }
}

void PdfDocument::fillColor(std::uint32_t rgb)
{
    rgb &= 0xffffff;
    if (m_fill == rgb)
        return;
    m_fill = rgb;
    appendColor(m_content, rgb);
    m_content += "rg\n";
}

void PdfDocument::strokeColor(std::uint32_t rgb)
{
    rgb &= 0xffffff;
    if (m_stroke == rgb)
        return;
    m_stroke = rgb;
    appendColor(m_content, rgb);
    m_content += "RG\n";
}

void PdfDocument::drawPage(const TMetafile& page, QPoint origin)
{
    if (!m_pageOpen)
        return;
    const bool moved = !origin.isNull();
    if (moved) {
        endText();
        m_content += "q 1 0 0 1 ";
        appendNumbers(m_content, {double(origin.x()), double(origin.y())});
        m_content += "cm\n";
    }
    std::vector<const GlyphTable*> tables(page.fonts().size(), nullptr);
    for (const MetaRecord& r : page.records()) {
        switch (r.op) {
        case RecordOp::Text: {
            const GlyphTable*& table = tables[r.index];
            if (!table)
                table = &m_fonts.glyphs(page.font(r));
            text(page, r, *table);
            break;
        }
        case RecordOp::Line:
            endText();
            strokeColor(page.color(r));
            appendNumbers(m_content, {r.x + 0.5, r.y + 0.5});
            m_content += "m ";
            appendNumbers(m_content, {double(r.x) + r.width + 0.5, double(r.y) + r.height + 0.5});
            m_content += "l S\n";
            break;
        case RecordOp::Frame:
            endText();
            strokeColor(page.color(r));
            appendNumbers(m_content, {r.x + 0.5, r.y + 0.5, r.width - 1.0, r.height - 1.0});
            m_content += "re S\n";
            break;
        case RecordOp::Bitmap: {
            endText();
            const int number = image(page.bitmap(r));
            m_content += "q ";
            appendNumbers(m_content, {double(r.width), 0, 0, -double(r.height), double(r.x), double(r.y) + r.height});
            m_content += "cm /Im";
            appendInt(m_content, number);
            m_content += " Do Q\n";
            break;
        }
        }
    }
    if (moved) {
        endText();
        m_content += "Q\n";
        // Q brings back the colours and the text state of before.
        m_fill = -1;
        m_stroke = -1;
        m_textFont = -1;
        m_textScale = -1;
    }
}

void PdfDocument::text(const TMetafile& page, const MetaRecord& r, const GlyphTable& table)
{
    const std::string_view bytes = page.bytes(r);
    const FontSpec& desc = page.font(r);
    const double baseLine = r.y + table.ascent();
    double x = r.x;
    std::size_t i = 0;
    while (i < bytes.size()) {
        // A run of the bytes drawn from one face.
        const int faceIndex = table[static_cast<unsigned char>(bytes[i])].face;
        Font& pdfFont = font(table, faceIndex);
        const double start = x;
        std::size_t j = i;
        for (; j < bytes.size(); ++j) {
            const auto byte = static_cast<unsigned char>(bytes[j]);
            const GlyphEntry& g = table[byte];
            if (g.face != faceIndex)
                break;
            x += g.advance;
            pdfFont.used[byte] = true;
        }
        const std::string_view run = bytes.substr(i, j - i);
        if (pdfFont.object == 0) {
            fillColor(desc.color);
            outlines(table, faceIndex, run, start, baseLine);
        } else {
            if (!m_inText) {
                // Text space in device pixels, upright: each run is moved to from the one before.
                m_content += "BT 1 0 0 -1 0 0 Tm\n";
                m_inText = true;
                m_textFont = -1;
                m_line = QPointF(0, 0);
            }
            fillColor(desc.color);
            if (m_textFont != pdfFont.number) {
                m_textFont = pdfFont.number;
                m_content += "/F";
                appendInt(m_content, pdfFont.number);
                m_content += ' ';
                appendInt(m_content, table.pixelSize());
                m_content += " Tf\n";
                // Where pixels are not square the em is as wide as its horizontal pixels.
                const double scale = 100.0 * table.horizontalScale();
                if (scale != m_textScale) {
                    m_textScale = scale;
                    appendNumber(m_content, scale);
                    m_content += " Tz\n";
                }
            }
            // The move as written, so that rounding never adds up along a page.
            const QPointF move(rounded(start - m_line.x()), rounded(baseLine - m_line.y()));
            appendNumbers(m_content, {move.x(), -move.y()});
            m_line += move;
            m_content += "Td ";
            appendString(m_content, run);
            m_content += "Tj\n";
        }
        i = j;
    }
    if (desc.underline() || desc.strikeOut()) {
        endText();
        fillColor(desc.color);
        for (const bool under : {true, false}) {
            if (under ? !desc.underline() : !desc.strikeOut())
                continue;
            const QRectF bar = under ? table.underline(r.x, r.y, x - r.x) : table.strikeOut(r.x, r.y, x - r.x);
            appendNumbers(m_content, {bar.x(), bar.y(), bar.width(), bar.height()});
            m_content += "re f\n";
        }
    }
}

// Glyphs of a face that cannot be embedded, drawn as their outlines.
void PdfDocument::outlines(const GlyphTable& table, int faceIndex, std::string_view bytes, double x, double y)
{
    endText();
    const QRawFont& raw = table.faces()[faceIndex];
    for (const char byte : bytes) {
        const GlyphEntry& g = table[static_cast<unsigned char>(byte)];
        const QPainterPath path = g.blank ? QPainterPath() : raw.pathForGlyph(g.glyph);
        if (!path.isEmpty()) {
            m_content += "q ";
            appendNumbers(m_content, {table.horizontalScale(), 0, 0, 1, x, y});
            m_content += "cm\n";
            for (int k = 0; k < path.elementCount(); ++k) {
                const QPainterPath::Element e = path.elementAt(k);
                if (e.isCurveTo() && k + 2 < path.elementCount()) {
                    const QPainterPath::Element c2 = path.elementAt(k + 1);
                    const QPainterPath::Element end = path.elementAt(k + 2);
                    appendNumbers(m_content, {e.x, e.y, c2.x, c2.y, end.x, end.y});
                    m_content += "c\n";
                    k += 2;
                } else {
                    appendNumbers(m_content, {e.x, e.y});
                    m_content += e.isMoveTo() ? "m\n" : "l\n";
                }
            }
            m_content += "f Q\n";
        }
        x += g.advance;
    }
}

PdfDocument::Face& PdfDocument::face(const GlyphTable& table, int faceIndex)
{
    const QRawFont& raw = table.faces()[faceIndex];
    const QString key = raw.familyName() + QLatin1Char('\n') + raw.styleName() + QLatin1Char('\n') +
                        QString::number(raw.weight()) + QLatin1Char(raw.style() == QFont::StyleNormal ? 'n' : 'i');
    auto it = m_facesByName.find(key);
    if (it != m_facesByName.end())
        return *it->second;
    auto created = std::make_unique<Face>(raw);
    Face& f = *created;
    if (f.program.embeddable()) {
        f.name = fontName(raw, m_faces.size());
        f.descriptor = newObject();
        f.file = newObject();
    }
    m_faces.push_back(std::move(created));
    m_facesByName.emplace(key, &f);
    return f;
}

PdfDocument::Font& PdfDocument::font(const GlyphTable& table, int faceIndex)
{
    // Runs of text mostly keep to the font before them.
    if (m_lastFont && m_lastFont->table == &table && m_lastFont->faceIndex == faceIndex)
        return *m_lastFont;
    const auto key = std::make_pair(&table, faceIndex);
    auto it = m_fontsByTable.find(key);
    if (it == m_fontsByTable.end()) {
        auto created = std::make_unique<Font>();
        Font& f = *created;
        f.table = &table;
        f.faceIndex = faceIndex;
        f.face = &face(table, faceIndex);
        // A face that cannot be embedded is drawn as outlines, with no font of the document.
        if (f.face->program.embeddable()) {
            if (m_encoding == 0)
                m_encoding = newObject();
            f.number = ++m_fontNumbers;
            f.object = newObject();
        }
        m_fontList.push_back(std::move(created));
        it = m_fontsByTable.emplace(key, &f).first;
    }
    m_lastFont = it->second;
    return *m_lastFont;
}

int PdfDocument::image(const QImage& bitmap)
{
    const auto found = m_images.find(bitmap.cacheKey());
    if (found != m_images.end())
        return found->second;
    const int number = static_cast<int>(m_images.size()) + 1;
    const int object = newObject();
    m_images.emplace(bitmap.cacheKey(), number);
    m_imageObjects.push_back(object);

    const QImage rgb = bitmap.convertToFormat(QImage::Format_RGB888);
    const int width = std::max(1, rgb.width());
    const int height = std::max(1, rgb.height());
    std::string pixels;
    pixels.reserve(std::size_t(width) * height * 3);
    for (int y = 0; y < rgb.height(); ++y)
        pixels.append(reinterpret_cast<const char*>(rgb.constScanLine(y)), std::size_t(rgb.width()) * 3);
    pixels.resize(std::size_t(width) * height * 3, '\xff');

    // Transparent pixels become a soft mask, so the page shows through them.
    int mask = 0;
    if (bitmap.hasAlphaChannel()) {
        const QImage alpha = bitmap.convertToFormat(QImage::Format_Alpha8);
        std::string values;
        values.reserve(std::size_t(width) * height);
        for (int y = 0; y < alpha.height(); ++y)
            values.append(reinterpret_cast<const char*>(alpha.constScanLine(y)), std::size_t(alpha.width()));
        values.resize(std::size_t(width) * height, '\xff');
        if (values.find_first_not_of('\xff') != std::string::npos) {
            mask = newObject();
            std::string dictionary = " /Type /XObject /Subtype /Image /Width ";
            appendInt(dictionary, width);
            dictionary += " /Height ";
            appendInt(dictionary, height);
            dictionary += " /ColorSpace /DeviceGray /BitsPerComponent 8";
            writeStream(mask, values, dictionary);
        }
    }
    std::string dictionary = " /Type /XObject /Subtype /Image /Width ";
    appendInt(dictionary, width);
    dictionary += " /Height ";
    appendInt(dictionary, height);
    // Smoothed when stretched, as the preview and PNG pages draw it.
    dictionary += " /ColorSpace /DeviceRGB /BitsPerComponent 8 /Interpolate true";
    if (mask) {
        dictionary += " /SMask ";
        appendInt(dictionary, mask);
        dictionary += " 0 R";
    }
    writeStream(object, pixels, dictionary);
    return number;
}

void PdfDocument::endPage()
{
    if (!m_pageOpen)
        return;
    endText();
    m_content += "Q\n";
    m_pageOpen = false;
    const int contents = newObject();
    writeStream(contents, m_content);
    const int page = newObject();
    beginObject(page);
    m_buffer += "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 ";
    appendNumbers(m_buffer, {m_sheet.width(), m_sheet.height()});
    m_buffer += "] /Resources 3 0 R /Contents ";
    appendInt(m_buffer, contents);
    m_buffer += " 0 R >>\nendobj\n";
    m_pages.push_back(page);
}

void PdfDocument::writeFonts()
{
    if (m_encoding)
        writeStream(m_encoding, kOneByteCMap,
                    " /Type /CMap /CMapName /OneByteIdentity"
                    " /CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >>");

    // The glyphs of each face that the pages drew.
    for (const auto& font : m_fontList) {
        if (font->object == 0)
            continue;
        for (int b = 0; b < 256; ++b) {
            const GlyphEntry& g = (*font->table)[static_cast<unsigned char>(b)];
            if (font->used[b] && g.face == font->faceIndex)
                font->face->glyphs.push_back(g.glyph);
        }
    }
    for (const auto& face : m_faces) {
        if (!face->program.embeddable())
            continue;
        std::sort(face->glyphs.begin(), face->glyphs.end());
        face->glyphs.erase(std::unique(face->glyphs.begin(), face->glyphs.end()), face->glyphs.end());
        const QByteArray program = face->program.subset(face->glyphs);
        std::string dictionary = " /Length1 ";
        appendInt(dictionary, program.size());
        writeStream(face->file, std::string_view(program.constData(), std::size_t(program.size())), dictionary);

        const FontProgram& p = face->program;
        const qreal em = std::max<qreal>(1.0, face->raw.pixelSize());
        const int ascent = qRound(face->raw.ascent() * 1000 / em);
        const int descent = -qRound(face->raw.descent() * 1000 / em);
        const bool italic = face->raw.style() != QFont::StyleNormal;
        // Symbolic: the glyphs are picked by the font's own map, not a standard encoding.
        const int flags = 4 | (p.fixedPitch() ? 1 : 0) | (italic ? 64 : 0);
        beginObject(face->descriptor);
        m_buffer += "<< /Type /FontDescriptor /FontName /" + face->name + " /Flags ";
        appendInt(m_buffer, flags);
        m_buffer += " /FontBBox [";
        appendNumbers(m_buffer, {double(p.xMin()), double(p.yMin()), double(p.xMax()), double(p.yMax())});
        m_buffer += "] /ItalicAngle ";
        m_buffer += italic ? "-12" : "0";
        m_buffer += " /Ascent ";
        appendInt(m_buffer, ascent);
        m_buffer += " /Descent ";
        appendInt(m_buffer, descent);
        m_buffer += " /CapHeight ";
        appendInt(m_buffer, ascent);
        m_buffer += " /StemV 80 /FontFile2 ";
        appendInt(m_buffer, face->file);
        m_buffer += " 0 R >>\nendobj\n";
        flush();
    }

    for (const auto& font : m_fontList) {
        if (font->object == 0)
            continue;
        const GlyphTable& table = *font->table;
        const int descendant = newObject();
        const int cidToGid = newObject();
        const int toUnicode = newObject();

        // Byte b is CID b, drawn with the glyph the table gives it on this face.
        std::string map(512, '\0');
        for (int b = 0; b < 256; ++b) {
            const GlyphEntry& g = table[static_cast<unsigned char>(b)];
            const std::uint32_t glyph = g.face == font->faceIndex ? g.glyph : 0;
            map[2 * b] = static_cast<char>(glyph >> 8);
            map[2 * b + 1] = static_cast<char>(glyph);
        }
        writeStream(cidToGid, map);

        std::string cmap = "/CIDInit /ProcSet findresource begin\n12 dict begin\nbegincmap\n"
                           "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def\n"
                           "/CMapName /Adobe-Identity-UCS def\n/CMapType 2 def\n"
                           "1 begincodespacerange\n<00> <FF>\nendcodespacerange\n";
        std::vector<int> mapped;
        for (int b = 0; b < 256; ++b) {
            const GlyphEntry& g = table[static_cast<unsigned char>(b)];
            if (g.face == font->faceIndex && g.unicode >= 0x20 && !(g.unicode >= 0xd800 && g.unicode < 0xe000))
                mapped.push_back(b);
        }
        for (std::size_t start = 0; start < mapped.size(); start += 100) {
            const std::size_t end = std::min(mapped.size(), start + 100);
            appendInt(cmap, static_cast<long long>(end - start));
            cmap += " beginbfchar\n";
            for (std::size_t k = start; k < end; ++k) {
                cmap += '<';
                appendHex(cmap, unsigned(mapped[k]), 2);
                cmap += "> <";
                appendHex(cmap, table[static_cast<unsigned char>(mapped[k])].unicode, 4);
                cmap += ">\n";
            }
            cmap += "endbfchar\n";
        }
        cmap += "endcmap\nCMapName currentdict /CMap defineresource pop\nend\nend\n";
        writeStream(toUnicode, cmap);

        beginObject(descendant);
        m_buffer += "<< /Type /Font /Subtype /CIDFontType2 /BaseFont /" + font->face->name +
                    " /CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >> /FontDescriptor ";
        appendInt(m_buffer, font->face->descriptor);
        m_buffer += " 0 R /DW 0 /CIDToGIDMap ";
        appendInt(m_buffer, cidToGid);
        // Each byte as wide as the layout made it, in thousandths of the em's width.
        m_buffer += " 0 R /W [0 [";
        const double em = table.horizontalPixelSize();
        for (int b = 0; b < 256; ++b) {
            appendNumber(m_buffer, table[static_cast<unsigned char>(b)].advance * 1000.0 / em);
            m_buffer += b % 16 == 15 ? '\n' : ' ';
        }
        m_buffer += "]] >>\nendobj\n";

        beginObject(font->object);
        m_buffer += "<< /Type /Font /Subtype /Type0 /BaseFont /" + font->face->name + " /Encoding ";
        appendInt(m_buffer, m_encoding);
        m_buffer += " 0 R /DescendantFonts [";
        appendInt(m_buffer, descendant);
        m_buffer += " 0 R] /ToUnicode ";
        appendInt(m_buffer, toUnicode);
        m_buffer += " 0 R >>\nendobj\n";
        flush();
    }
}

bool PdfDocument::finish()
{
    if (m_finished)
        return !m_failed;
    endPage();
    m_finished = true;
    writeFonts();

    beginObject(m_resources);
    m_buffer += "<< /ProcSet [/PDF /Text /ImageC /ImageB] /Font <<";
    for (const auto& font : m_fontList) {
        if (font->object == 0)
            continue;
        m_buffer += " /F";
        appendInt(m_buffer, font->number);
        m_buffer += ' ';
        appendInt(m_buffer, font->object);
        m_buffer += " 0 R";
    }
    m_buffer += " >> /XObject <<";
    for (std::size_t i = 0; i < m_imageObjects.size(); ++i) {
        m_buffer += " /Im";
        appendInt(m_buffer, static_cast<long long>(i) + 1);
        m_buffer += ' ';
        appendInt(m_buffer, m_imageObjects[i]);
        m_buffer += " 0 R";
    }
    m_buffer += " >> >>\nendobj\n";

    beginObject(2);
    m_buffer += "<< /Type /Pages /Count ";
    appendInt(m_buffer, static_cast<long long>(m_pages.size()));
    m_buffer += " /Kids [";
    for (std::size_t i = 0; i < m_pages.size(); ++i) {
        appendInt(m_buffer, m_pages[i]);
        m_buffer += i % 10 == 9 ? " 0 R\n" : " 0 R ";
        if (m_buffer.size() >= kFlushAt)
            flush();
    }
    m_buffer += "] >>\nendobj\n";

    beginObject(1);
    m_buffer += "<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";

    // Text strings of the information dictionary as UTF-16 with a byte order mark.
    const auto textString = [this](const QString& text) {
        m_buffer += "<FEFF";
        for (const QChar c : text)
            appendHex(m_buffer, c.unicode(), 4);
        m_buffer += '>';
    };
    beginObject(4);
    m_buffer += "<< /Title ";
    textString(m_title);
    m_buffer += " /Creator ";
    textString(m_creator);
    m_buffer += " /Producer ";
    textString(QStringLiteral("Pagello"));
    m_buffer += " >>\nendobj\n";

    const long long xref = m_offset + static_cast<long long>(m_buffer.size());
    m_buffer += "xref\n0 ";
    appendInt(m_buffer, static_cast<long long>(m_objects.size()));
    m_buffer += "\n0000000000 65535 f \n";
    for (std::size_t i = 1; i < m_objects.size(); ++i) {
        char entry[21];
        std::snprintf(entry, sizeof entry, "%010lld 00000 n \n", m_objects[i]);
        m_buffer.append(entry, 20);
        if (m_buffer.size() >= kFlushAt)
            flush();
    }
    m_buffer += "trailer\n<< /Size ";
    appendInt(m_buffer, static_cast<long long>(m_objects.size()));
    m_buffer += " /Root 1 0 R /Info 4 0 R >>\nstartxref\n";
    appendInt(m_buffer, xref);
    m_buffer += "\n%%EOF\n";
    flush();
    return !m_failed;
}
