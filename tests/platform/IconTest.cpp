#include "platform/Errors.h"
#include "platform/Icon.h"

#include <QBuffer>
#include <QtEndian>

#include <gtest/gtest.h>

#include <vector>

namespace {

QByteArray le(quint32 value, int bytes = 4)
{
    const auto little = qToLittleEndian(value);
    return QByteArray(reinterpret_cast<const char*>(&little), bytes);
}

struct Entry
{
    int width; // as the directory says it: 0 for 256
    int height;
    int bits;
    QByteArray bytes;
};

QByteArray iconFile(const std::vector<Entry>& entries)
{
    QByteArray out = le(0, 2) + le(1, 2) + le(quint32(entries.size()), 2);
    QByteArray pictures;
    for (const Entry& e : entries) {
        out += le(e.width, 1) + le(e.height, 1) + le(0, 2) + le(1, 2) + le(e.bits, 2) + le(e.bytes.size()) +
               le(6 + 16 * entries.size() + pictures.size());
        pictures += e.bytes;
    }
    return out + pictures;
}

// A bitmap picture from its colour table and its rows top-down, colour pixels then mask.
QByteArray bitmap(int width, int bits, const QByteArray& colors, const std::vector<QByteArray>& rows,
                  const std::vector<QByteArray>& mask)
{
    QByteArray out = le(40) + le(width) + le(2 * mask.size()) + le(1, 2) + le(bits, 2) + QByteArray(16, '\0') +
                     le(colors.size() / 4) + le(0) + colors;
    for (const auto* part : {&rows, &mask}) {
        for (auto row = part->rbegin(); row != part->rend(); ++row)
            out += *row + QByteArray(-row->size() & 3, '\0'); // rows padded to whole words
    }
    return out;
}

QImage picture16()
{
    QImage image(16, 16, QImage::Format_ARGB32);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x)
            image.setPixel(x, y, qRgba(x * 16, y * 16, 0x80, (x + y) % 3 == 0 ? 0 : (x < 8 ? 255 : 100)));
    }
    return image;
}

QByteArray png(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

TEST(IcoCodec, RoundTripKeepsEveryPixelTransparentOnesToo)
{
    QImage clear(5, 3, QImage::Format_ARGB32);
    clear.fill(qRgba(10, 20, 30, 0)); // alpha zero throughout: the mask carries it
    for (const QImage& image : {picture16(), clear}) {
        const QImage back = decodeIco(encodeIco(image));
        EXPECT_EQ(back.format(), QImage::Format_ARGB32);
        EXPECT_EQ(back, image) << image.width();
    }
    EXPECT_TRUE(encodeIco(QImage()).isEmpty());

    const std::pair<QSize, QSize> scaled[] = {
        {{256, 256}, {256, 256}}, {{600, 300}, {256, 128}}, {{1000, 1}, {256, 1}}};
    for (const auto& [size, expected] : scaled) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(Qt::red);
        EXPECT_EQ(decodeIco(encodeIco(image)).size(), expected) << size.width();
    }
}

TEST(IcoCodec, DecodesPalettedMaskedAndPngPictures)
{
    const QByteArray colors("\0\0\xff\0\0\xff\0\0\xff\0\0\0", 12); // red, green, blue
    // Rows of three pixels; the mask hides the last pixel of the top row.
    const QImage paletted =
        decodeIco(iconFile({{3, 2, 8,
                             bitmap(3, 8, colors, {QByteArray("\0\1\2", 3), QByteArray("\2\2\1", 3)},
                                    {QByteArray("\x20"), QByteArray(1, '\0')})}}));
    ASSERT_EQ(paletted.size(), QSize(3, 2));
    EXPECT_EQ(paletted.pixel(0, 0), qRgb(255, 0, 0));
    EXPECT_EQ(paletted.pixel(1, 0), qRgb(0, 255, 0));
    EXPECT_EQ(paletted.pixel(2, 0), qRgba(0, 0, 255, 0));
    EXPECT_EQ(paletted.pixel(0, 1), qRgb(0, 0, 255));

    // 32-bit pixels whose alpha is zero throughout take their transparency from the mask.
    const QImage legacy =
        decodeIco(iconFile({{2, 1, 32, bitmap(2, 32, {}, {QByteArray("\1\2\3\0\4\5\6\0", 8)}, {QByteArray("\x40")})}}));
    ASSERT_EQ(legacy.size(), QSize(2, 1));
    EXPECT_EQ(legacy.pixel(0, 0), qRgb(3, 2, 1));
    EXPECT_EQ(legacy.pixel(1, 0), qRgba(6, 5, 4, 0));

    EXPECT_EQ(decodeIco(iconFile({{16, 16, 32, png(picture16())}})), picture16());
}

TEST(IcoCodec, PicksTheLargestPictureThenTheDeepest)
{
    const QByteArray red8 = bitmap(16, 8, QByteArray("\0\0\xff\0", 4), std::vector(16, QByteArray(16, '\0')),
                                   std::vector(16, QByteArray(2, '\0')));
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::blue);
    const QByteArray blue32 = encodeIco(image).mid(22); // the picture after the directory
    image = QImage(256, 256, QImage::Format_ARGB32);
    image.fill(Qt::green);
    // A side of 0 in the directory is 256.
    EXPECT_EQ(decodeIco(iconFile({{16, 16, 32, blue32}, {0, 0, 32, png(image)}, {32, 32, 8, red8}})).size(),
              QSize(256, 256));
    EXPECT_EQ(decodeIco(iconFile({{16, 16, 8, red8}, {16, 16, 32, blue32}})).pixel(0, 0), qRgb(0, 0, 255));
    EXPECT_EQ(decodeIco(iconFile({{16, 16, 32, blue32}, {16, 16, 8, red8}})).pixel(0, 0), qRgb(0, 0, 255));
}

TEST(IcoCodec, UnsoundFilesGiveANullImage)
{
    const QByteArray good = encodeIco(picture16());
    std::vector<std::pair<const char*, QByteArray>> cases = {
        {"garbage", QByteArray("not an icon at all, not at all")},
        {"cursor", QByteArray(good).replace(2, 2, le(2, 2))},
        {"no entries", good.left(4) + le(0, 2)},
        {"entry past the end", QByteArray(good).replace(14, 4, le(good.size()))},
        {"offset and size wrap", QByteArray(good).replace(14, 8, le(0x100) + le(0xffffff00))},
        {"too wide", QByteArray(good).replace(26, 4, le(300))},
        {"odd height", QByteArray(good).replace(30, 4, le(31))},
        {"compressed", QByteArray(good).replace(38, 4, le(1))},
        {"16 bits", QByteArray(good).replace(36, 2, le(16, 2))},
        {"colour table past the end", QByteArray(good).replace(54, 4, le(256))},
        {"png too large", iconFile({{0, 0, 32, png(picture16().scaled(300, 2))}})},
        {"png cut short", iconFile({{16, 16, 32, png(picture16()).left(60)}})},
    };
    for (qsizetype n = 0; n < good.size(); n += 37)
        cases.emplace_back("truncated", good.left(n));
    for (const auto& [name, bytes] : cases)
        EXPECT_TRUE(decodeIco(bytes).isNull()) << name;
}

TEST(TIconTest, LoadingGarbageRaisesAndLeavesTheIconAsItWas)
{
    const QByteArray file = encodeIco(picture16());
    TIcon icon;
    int changes = 0;
    icon.OnChange = [&] { ++changes; };
    icon.LoadFromData(file);
    EXPECT_THROW(icon.LoadFromData(file.left(file.size() - 1)), EInvalidGraphic);
    EXPECT_THROW(icon.LoadFromData("garbage"), EInvalidGraphic);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(icon.image(), picture16());
    EXPECT_EQ(icon.data(), file);
}

TEST(TIconTest, HandleIsReleasedWhenThePictureChangesAndWhenTheIconGoes)
{
    const int before = IconHandles::live();
    {
        TIcon icon(picture16());
        const IconHandle handle = icon.Handle();
        EXPECT_EQ(icon.Handle(), handle);
        EXPECT_EQ(IconHandles::image(handle), picture16());
        icon.setImage(QImage(2, 2, QImage::Format_ARGB32));
        EXPECT_EQ(IconHandles::live(), before);
        EXPECT_NE(icon.Handle(), 0);
        EXPECT_EQ(IconHandles::live(), before + 1);
    }
    EXPECT_EQ(IconHandles::live(), before);
}

} // namespace
