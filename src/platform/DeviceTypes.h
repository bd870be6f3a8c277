#pragma once

#include <QColor>
#include <QString>

#include <cstdint>

enum TPrinterOrientation
{
    poPortrait = 0,
    poLandscape = 1
};

// The six device capabilities a recording is laid out against, in device pixels.
// A device that is no printer reports a physical size of 0.
struct DeviceMetrics
{
    int logPixelsX = 0;      // LOGPIXELSX
    int logPixelsY = 0;      // LOGPIXELSY
    int physicalWidth = 0;   // PHYSICALWIDTH: the whole sheet
    int physicalHeight = 0;  // PHYSICALHEIGHT
    int physicalOffsetX = 0; // PHYSICALOFFSETX: sheet corner to printable area
    int physicalOffsetY = 0; // PHYSICALOFFSETY

    bool operator==(const DeviceMetrics&) const = default;
};

// Character set 255: the DOS (OEM) code page of the spool files.
constexpr int OEM_CHARSET = 255;
constexpr int DEFAULT_CHARSET = 1;
// The symbol sets of printer languages that are neither the DOS code page nor Latin-1:
// numbered beyond the desktop's one-byte character sets so that they never meet one.
constexpr int LATIN2_CHARSET = 0x1002; // ISO 8859-2
constexpr int ROMAN8_CHARSET = 0x1008; // HP Roman-8

enum FontStyleFlag : std::uint8_t
{
    fsBold = 1,
    fsItalic = 2,
    fsUnderline = 4,
    fsStrikeOut = 8
};

// A font as a recording refers to it: the face, its em height in device pixels of the
// reference device (and the point size it came from), style bits and character set. On a
// device whose pixels are not square (600 x 300 dpi) the em is as many horizontal pixels
// wide as its height covers at the horizontal resolution: text widths are horizontal. A
// face drawn narrower or wider (condensed, double width) has an em width of its own.
struct FontSpec
{
    QString name;
    int size = 0;       // points
    int pixelSize = 0;  // em height in device pixels
    int pixelWidth = 0; // em width in horizontal device pixels where it differs from the height, else 0
    std::uint8_t style = 0;
    int charset = DEFAULT_CHARSET;
    QRgb color = 0xff000000;

    // The pixel size the font's advances are measured at: the em's width.
    int horizontalPixelSize() const { return pixelWidth > 0 ? pixelWidth : pixelSize; }
    // Horizontal pixels to vertical ones across the em: 1 where pixels are square.
    double horizontalScale() const { return pixelWidth > 0 && pixelSize > 0 ? double(pixelWidth) / pixelSize : 1.0; }

    bool bold() const { return style & fsBold; }
    bool italic() const { return style & fsItalic; }
    bool underline() const { return style & fsUnderline; }
    bool strikeOut() const { return style & fsStrikeOut; }
    bool operator==(const FontSpec&) const = default;
};

// Points to device pixels as the desktop's font mapper does it: size * ppi / 72,
// rounded half away from zero.
inline int pointsToPixels(int points, int pixelsPerInch)
{
    const long long num = static_cast<long long>(points) * pixelsPerInch;
    const long long q = (2 * (num < 0 ? -num : num) + 72) / 144;
    return static_cast<int>(num < 0 ? -q : q);
}
