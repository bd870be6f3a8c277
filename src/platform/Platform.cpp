#include "IBitmaps.h"
#include "IFonts.h"
#include "OemCodePage.h"

#include <algorithm>

QString IFonts::decode(const FontSpec& font, std::string_view bytes) const
{
    if (font.charset == OEM_CHARSET)
        return codePage().decode(bytes);
    return decodeAnsi(bytes);
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
