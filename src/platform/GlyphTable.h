#pragma once

#include "DeviceTypes.h"

#include <QRawFont>
#include <QRectF>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

using GlyphAdvances = std::array<int, 256>;

// What one byte of a font is drawn as: a glyph of one of the table's faces, the layout's own
// advance for it, and the character it stands for.
struct GlyphEntry
{
    std::uint32_t glyph = 0;
    int advance = 0;       // the layout's, in horizontal device pixels
    char16_t unicode = 0;  // the character of the code page
    std::uint8_t face = 0; // index into GlyphTable::faces()
    bool blank = false;    // leaves no ink (a space, or a character no installed face has)
};

// The 256 bytes of one font (face, pixel size, style, character set) as glyphs, made once
// with Qt's font matching: a byte the font's own face lacks is taken from the face Qt would
// fall back to. Every output draws each glyph at the run's x plus the layout's advances of
// the bytes before it, so no output shapes text or depends on the face's own advances.
class GlyphTable
{
public:
    // `characters` holds the character of each byte, `advances` the layout's widths. Throws
    // EFontError when no installed face can draw the font (there are no fonts at all).
    GlyphTable(const FontSpec& font, const GlyphAdvances& advances, const QString& characters);

    const GlyphEntry& operator[](unsigned char byte) const { return m_entries[byte]; }
    // The font's own face first, then the faces bytes fall back to; each at the em height,
    // and each a valid face.
    const std::vector<QRawFont>& faces() const { return m_faces; }
    // The em: its height in device pixels (the faces' pixel size), its width in horizontal ones.
    int pixelSize() const { return m_pixelSize; }
    int horizontalPixelSize() const { return m_horizontalPixelSize; }
    // Horizontal pixels to vertical ones across the em: the faces are drawn this much wider.
    double horizontalScale() const { return m_horizontalScale; }
    // Distances in vertical device pixels: the base line below the top of the text, the
    // underline below the base line, the strike-out line above it, and their thickness.
    qreal ascent() const { return m_ascent; }
    qreal underlinePosition() const { return m_underline; }
    qreal strikeOutPosition() const { return m_strikeOut; }
    qreal lineThickness() const { return m_thickness; }

    // The underline or strike-out bar of text hanging from (x, y) that is `width` pixels wide.
    QRectF underline(qreal x, qreal y, qreal width) const;
    QRectF strikeOut(qreal x, qreal y, qreal width) const;

private:
    std::array<GlyphEntry, 256> m_entries{};
    std::vector<QRawFont> m_faces;
    int m_pixelSize = 0;
    int m_horizontalPixelSize = 0;
    double m_horizontalScale = 1.0;
    qreal m_ascent = 0;
    qreal m_underline = 0;
    qreal m_strikeOut = 0;
    qreal m_thickness = 1;
};
