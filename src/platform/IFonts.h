#pragma once

#include "DeviceTypes.h"
#include "GlyphTable.h"

#include <QFont>
#include <QString>

#include <array>
#include <memory>
#include <string_view>
#include <unordered_map>

class OemCodePage;

// Fonts by face name, size, style and character set. Measuring is done once per font:
// a code page has 256 glyphs. Main thread only.
class IFonts
{
public:
    virtual ~IFonts() = default;
    // The code page of character set 255.
    virtual const OemCodePage& codePage() const = 0;
    // Advances of the font at its pixel size; the reference stays valid for the object's life.
    virtual const GlyphAdvances& advances(const FontSpec& font) = 0;

    // The characters the bytes stand for in the font's character set.
    QString decode(const FontSpec& font, std::string_view bytes) const;
    // What each byte of the font is drawn as, at the layout's advances; made once per font.
    // The reference stays valid for the object's life.
    const GlyphTable& glyphs(const FontSpec& font);

private:
    std::unordered_map<QString, std::unique_ptr<const GlyphTable>> m_glyphTables;
};

// Throws EFontError when no installed face can draw the font, which happens only when the
// desktop has no fonts at all: Qt then draws boxes with a face that has no name, tables or
// outlines, and that no output can use.
void requireFace(const QFont& font, const QString& family);

// The face at the font's pixel size, without hinting or kerning, so that widths are the
// design widths and do not depend on the screen.
QFont unhintedFont(const FontSpec& font);
