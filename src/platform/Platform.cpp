#include "Errors.h"
#include "IBitmaps.h"
#include "IFonts.h"
#include "OemCodePage.h"

#include <QFontInfo>
#include <QRawFont>

#include <algorithm>

QString IFonts::decode(const FontSpec& font, std::string_view bytes) const
{
    if (font.charset == OEM_CHARSET)
        return codePage().decode(bytes);
    if (font.charset == LATIN2_CHARSET || font.charset == ROMAN8_CHARSET) {
        static const std::optional<OemCodePage> latin2 = OemCodePage::loadNamed("ISO-8859-2");
        static const std::optional<OemCodePage> roman8 = OemCodePage::loadNamed("HP-ROMAN8");
        // A C library without the table shows what Latin-1 has.
        const std::optional<OemCodePage>& set = font.charset == LATIN2_CHARSET ? latin2 : roman8;
        if (set)
            return set->decode(bytes);
    }
    return decodeAnsi(bytes);
}

const GlyphTable& IFonts::glyphs(const FontSpec& font)
{
    // Everything the glyphs depend on; colour, underline and strike-out do not change them.
    const QString key = font.name + QLatin1Char('\n') + QString::number(font.pixelSize) + QLatin1Char('x') +
                        QString::number(font.pixelWidth) + QLatin1Char(font.bold() ? 'b' : '-') +
                        QLatin1Char(font.italic() ? 'i' : '-') + QString::number(font.charset);
    auto it = m_glyphTables.find(key);
    if (it == m_glyphTables.end()) {
        std::string bytes(256, '\0');
        for (int b = 0; b < 256; ++b)
            bytes[b] = static_cast<char>(b);
        it = m_glyphTables.emplace(key, std::make_unique<const GlyphTable>(font, advances(font), decode(font, bytes)))
                 .first;
    }
    return *it->second;
}

void requireFace(const QFont& font, const QString& family)
{
    // The stand-in face is the only one without a family; its raw font is valid, but asking
    // it for its family crashes.
    if (QFontInfo(font).family().isEmpty() || !QRawFont::fromFont(font).isValid())
        throw EFontError(family.toStdString());
}

QFont unhintedFont(const FontSpec& desc)
{
    QFont font(desc.name);
    font.setPixelSize(std::max(1, desc.pixelSize));
    font.setBold(desc.bold());
    font.setItalic(desc.italic());
    font.setUnderline(desc.underline());
    font.setStrikeOut(desc.strikeOut());
    font.setHintingPreference(QFont::PreferNoHinting);
    font.setKerning(false);
    return font;
}

QImage makeTransparent(const QImage& image)
{
    if (image.isNull())
        return image;
    QImage out = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = out.pixel(0, out.height() - 1) & 0x00ffffff;
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            if ((line[x] & 0x00ffffff) == key)
                line[x] = 0;
        }
    }
    return out;
}
