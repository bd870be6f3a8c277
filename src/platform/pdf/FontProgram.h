#pragma once

#include <QByteArray>
#include <QRawFont>
#include <QString>

#include <cstdint>
#include <vector>

// A TrueType face as a PDF embeds it: its outline tables gathered into a font file and
// cut down to the glyphs used, each glyph keeping its id.
class FontProgram
{
public:
    explicit FontProgram(const QRawFont& face);

    // False for a face without TrueType outlines (CFF, bitmap): it cannot be embedded this way.
    bool embeddable() const { return !m_file.isEmpty(); }
    // The font file with only the glyphs given (and glyph 0); the whole file when it
    // cannot be cut down.
    QByteArray subset(const std::vector<std::uint32_t>& glyphs) const;

    // The face's design box and vertical metrics, in thousandths of its em.
    int xMin() const { return m_xMin; }
    int yMin() const { return m_yMin; }
    int xMax() const { return m_xMax; }
    int yMax() const { return m_yMax; }
    bool fixedPitch() const { return m_fixedPitch; }
    int glyphCount() const { return m_glyphCount; }

private:
    QByteArray m_file;
    int m_xMin = 0;
    int m_yMin = 0;
    int m_xMax = 1000;
    int m_yMax = 1000;
    bool m_fixedPitch = false;
    int m_glyphCount = 0;
};
