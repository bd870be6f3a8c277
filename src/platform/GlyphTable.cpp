#include "GlyphTable.h"

#include "IFonts.h"

#include <QTextLayout>

#include <algorithm>

namespace {

// The face Qt draws a character with when the font's own face has no glyph for it, and the
// glyph there; an invalid face when no installed face has one.
std::pair<QRawFont, std::uint32_t> fallbackGlyph(const QFont& font, QChar character)
{
    QTextLayout layout(QString(character), font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    for (const QGlyphRun& run : runs) {
        const QList<quint32> glyphs = run.glyphIndexes();
        if (glyphs.size() == 1 && glyphs.front() != 0)
            return {run.rawFont(), glyphs.front()};
    }
    return {QRawFont(), 0};
}

bool sameFace(const QRawFont& a, const QRawFont& b)
{
    return a.familyName() == b.familyName() && a.styleName() == b.styleName();
}

} // namespace

GlyphTable::GlyphTable(const FontSpec& desc, const GlyphAdvances& advances, const QString& characters)
    : m_pixelSize(std::max(1, desc.pixelSize))
    , m_horizontalPixelSize(std::max(1, desc.horizontalPixelSize()))
    , m_horizontalScale(desc.horizontalScale())
{
    const QFont font = unhintedFont(desc);
    // The faces of a table are all real ones: fallbacks are found only from a real face.
    requireFace(font, desc.name);
    const QRawFont own = QRawFont::fromFont(font);
    m_faces.push_back(own);
    m_ascent = own.ascent();
    m_underline = own.underlinePosition();
    m_thickness = std::max<qreal>(own.lineThickness(), 1.0);
    // Where Qt strikes text out: a third of the ascent above the base line.
    m_strikeOut = std::max<qreal>(m_ascent / 3, 1.0);

    const QList<quint32> glyphs = own.glyphIndexesForString(characters);
    const quint32 space = own.glyphIndexesForString(QStringLiteral(" ")).value(0);
    for (int b = 0; b < 256; ++b) {
        GlyphEntry& e = m_entries[b];
        const QChar c = characters.at(b);
        e.unicode = c.unicode();
        e.advance = advances[b];
        e.glyph = glyphs.value(b);
        if (e.glyph == 0 && c.category() != QChar::Other_Control) {
            auto [face, glyph] = fallbackGlyph(font, c);
            if (face.isValid() && !sameFace(face, own)) {
                // A structured binding is captured through a name of its own: clang before 16
                // cannot capture one.
                auto it = std::find_if(m_faces.begin(), m_faces.end(),
                                       [&fallback = face](const QRawFont& f) { return sameFace(f, fallback); });
                if (it == m_faces.end() && m_faces.size() < 255)
                    it = m_faces.insert(m_faces.end(), face);
                if (it != m_faces.end()) {
                    e.face = static_cast<std::uint8_t>(it - m_faces.begin());
                    e.glyph = glyph;
                }
            }
        }
        // A character without a glyph anywhere keeps its place as blank space.
        if (e.glyph == 0) {
            e.glyph = space;
            e.face = 0;
            e.blank = true;
        } else if (c.isSpace()) {
            e.blank = true;
        }
    }
}

QRectF GlyphTable::underline(qreal x, qreal y, qreal width) const
{
    return QRectF(x, y + m_ascent + m_underline - m_thickness / 2, width, m_thickness);
}

QRectF GlyphTable::strikeOut(qreal x, qreal y, qreal width) const
{
    return QRectF(x, y + m_ascent - m_strikeOut - m_thickness / 2, width, m_thickness);
}
