#include "Icon.h"

#include "Errors.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QtEndian>

#include <mutex>
#include <unordered_map>

namespace {

struct HandleTable
{
    std::mutex lock;
    std::unordered_map<IconHandle, QImage> images;
    IconHandle next = 1;
};

HandleTable& handles()
{
    static HandleTable table;
    return table;
}

} // namespace

namespace IconHandles {

IconHandle make(const QImage& image)
{
    if (image.isNull())
        return 0;
    HandleTable& table = handles();
    const std::lock_guard guard(table.lock);
    const IconHandle handle = table.next++;
    table.images.emplace(handle, image.copy());
    return handle;
}

QImage image(IconHandle handle)
{
    HandleTable& table = handles();
    const std::lock_guard guard(table.lock);
    const auto it = table.images.find(handle);
    return it == table.images.end() ? QImage() : it->second;
}

void release(IconHandle handle)
{
    HandleTable& table = handles();
    const std::lock_guard guard(table.lock);
    table.images.erase(handle);
}

int live()
{
    HandleTable& table = handles();
    const std::lock_guard guard(table.lock);
    return static_cast<int>(table.images.size());
}

} // namespace IconHandles

TIcon::TIcon(const QImage& image)
    : m_image(image)
{}

TIcon::~TIcon()
{
    releaseHandle();
}

void TIcon::releaseHandle()
{
    if (m_handle)
        IconHandles::release(m_handle);
    m_handle = 0;
}

void TIcon::changed()
{
    if (OnChange)
        OnChange();
}

void TIcon::setImage(const QImage& image)
{
    releaseHandle();
    m_image = image;
    m_data.clear();
    changed();
}

void TIcon::Assign(const TIcon* source)
{
    if (source == this)
        return;
    releaseHandle();
    m_image = source ? source->m_image : QImage();
    m_data = source ? source->m_data : QByteArray();
    changed();
}

IconHandle TIcon::Handle()
{
    if (!m_handle && !m_image.isNull())
        m_handle = IconHandles::make(m_image);
    return m_handle;
}

void TIcon::setHandle(IconHandle handle)
{
    setImage(IconHandles::image(handle));
}

QByteArray TIcon::data() const
{
    if (m_image.isNull())
        return {};
    return m_data.isEmpty() ? encodeIco(m_image) : m_data;
}

void TIcon::SaveToStream(QIODevice& stream) const
{
    stream.write(data());
}

void TIcon::LoadFromStream(QIODevice& stream)
{
    LoadFromData(stream.readAll());
}

void TIcon::LoadFromData(const QByteArray& data)
{
    const QImage image = decodeIco(data);
    if (image.isNull())
        throw EInvalidGraphic("Icon image is not valid");
    releaseHandle();
    m_image = image;
    m_data = data;
    changed();
}

namespace {

// The icon directory cannot describe a picture with a side above 256 pixels.
constexpr int kMaxSide = 256;
constexpr qint64 kDirectorySize = 6;
constexpr qint64 kEntrySize = 16;
constexpr qint64 kInfoHeaderSize = 40;
constexpr QByteArrayView kPngSignature("\x89PNG\r\n\x1a\n", 8);

// Readers of little-endian integers; the caller has checked that the bytes are there.
quint16 u16(QByteArrayView data, qint64 at)
{
    return qFromLittleEndian<quint16>(data.data() + at);
}

quint32 u32(QByteArrayView data, qint64 at)
{
    return qFromLittleEndian<quint32>(data.data() + at);
}

qint32 i32(QByteArrayView data, qint64 at)
{
    return qFromLittleEndian<qint32>(data.data() + at);
}

// Rows of a bitmap are padded to whole 32-bit words.
qint64 stride(qint64 width, int bits)
{
    return (width * bits + 31) / 32 * 4;
}

QImage decodePng(QByteArrayView png)
{
    // The size in the header (the first chunk) is checked before anything is unpacked.
    if (png.size() < 24 || png.sliced(12, 4) != "IHDR")
        return {};
    const quint32 width = qFromBigEndian<quint32>(png.data() + 16);
    const quint32 height = qFromBigEndian<quint32>(png.data() + 20);
    if (width == 0 || width > kMaxSide || height == 0 || height > kMaxSide)
        return {};
    const QImage image = QImage::fromData(png, "PNG");
    return image.isNull() ? QImage() : image.convertToFormat(QImage::Format_ARGB32);
}

// A device-independent bitmap of an icon: the header, the colour table, the colour
// pixels (XOR bitmap) and the 1-bit transparency mask (AND bitmap), rows bottom-up, the
// header's height counting both bitmaps.
QImage decodeBmp(QByteArrayView bmp)
{
    if (bmp.size() < kInfoHeaderSize)
        return {};
    const quint32 headerSize = u32(bmp, 0);
    const qint32 width = i32(bmp, 4);
    const qint32 doubleHeight = i32(bmp, 8);
    const int bits = u16(bmp, 14);
    const quint32 compression = u32(bmp, 16);
    const quint32 colorsUsed = u32(bmp, 32);
    if (headerSize < kInfoHeaderSize || width <= 0 || width > kMaxSide || doubleHeight <= 0 || doubleHeight % 2 ||
        doubleHeight / 2 > kMaxSide || compression != 0 ||
        (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32))
        return {};
    const int height = doubleHeight / 2;
    const quint32 maxColors = bits <= 8 ? 1u << bits : 256;
    const quint32 colors = colorsUsed ? colorsUsed : (bits <= 8 ? maxColors : 0);
    if (colors > maxColors)
        return {};
    const qint64 pixelsAt = qint64(headerSize) + qint64(colors) * 4;
    const qint64 maskAt = pixelsAt + stride(width, bits) * height;
    if (maskAt + stride(width, 1) * height > bmp.size())
        return {};

    const auto* bytes = reinterpret_cast<const uchar*>(bmp.data());
    // Indices past a short colour table are black.
    QRgb palette[256] = {};
    for (quint32 i = 0; bits <= 8 && i < colors; ++i) {
        const uchar* entry = bytes + headerSize + i * 4;
        palette[i] = qRgb(entry[2], entry[1], entry[0]);
    }
    // Icons made before alpha channels carry 32-bit pixels whose alpha is zero throughout:
    // their transparency is in the mask, as for every shallower picture.
    bool alphaFromMask = true;
    for (qint64 i = pixelsAt + 3; bits == 32 && i < maskAt && alphaFromMask; i += 4)
        alphaFromMask = bytes[i] == 0;

    QImage image(width, height, QImage::Format_ARGB32);
    if (image.isNull())
        return {};
    for (int y = 0; y < height; ++y) {
        const uchar* row = bytes + pixelsAt + (height - 1 - y) * stride(width, bits);
        const uchar* maskRow = bytes + maskAt + (height - 1 - y) * stride(width, 1);
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            QRgb colour;
            if (bits == 32) {
                colour = qRgba(row[4 * x + 2], row[4 * x + 1], row[4 * x], row[4 * x + 3]);
            } else if (bits == 24) {
                colour = qRgb(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
            } else {
                const int bit = x * bits;
                colour = palette[(row[bit / 8] >> (8 - bits - bit % 8)) & (maxColors - 1)];
            }
            if (alphaFromMask) {
                const bool transparent = maskRow[x / 8] & (0x80 >> (x % 8));
                colour = (colour & RGB_MASK) | (transparent ? 0 : 0xff000000);
            }
            out[x] = colour;
        }
    }
    return image;
}

void put16(QByteArray& out, quint16 value)
{
    const auto le = qToLittleEndian(value);
    out.append(reinterpret_cast<const char*>(&le), sizeof le);
}

void put32(QByteArray& out, quint32 value)
{
    const auto le = qToLittleEndian(value);
    out.append(reinterpret_cast<const char*>(&le), sizeof le);
}

// Icon files are small: anything larger is not one. Only regular files are read, never a
// device or a FIFO that does not end.
constexpr qint64 kMaxIconFile = 16 << 20;

QImage readIconFile(const QString& path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || file.size() > kMaxIconFile || !file.open(QIODevice::ReadOnly))
        return {};
    return decodeIco(file.readAll());
}

} // namespace

QImage decodeIco(const QByteArray& data)
{
    if (data.size() < kDirectorySize || u16(data, 0) != 0 || u16(data, 2) != 1)
        return {};
    const int count = u16(data, 4);
    const qint64 directoryEnd = kDirectorySize + count * kEntrySize;
    if (count == 0 || directoryEnd > data.size())
        return {};
    qint64 bestArea = -1;
    int bestBits = -1;
    QByteArrayView best;
    for (int i = 0; i < count; ++i) {
        const qint64 at = kDirectorySize + i * kEntrySize;
        // A side of 0 in the directory stands for 256.
        const int width = uchar(data[at]) ? uchar(data[at]) : 256;
        const int height = uchar(data[at + 1]) ? uchar(data[at + 1]) : 256;
        const int bits = u16(data, at + 6);
        const qint64 size = u32(data, at + 8);
        const qint64 offset = u32(data, at + 12);
        if (offset < directoryEnd || offset + size > data.size())
            return {};
        const qint64 area = qint64(width) * height;
        if (area > bestArea || (area == bestArea && bits > bestBits)) {
            bestArea = area;
            bestBits = bits;
            best = QByteArrayView(data).sliced(offset, size);
        }
    }
    return best.startsWith(kPngSignature) ? decodePng(best) : decodeBmp(best);
}

QByteArray encodeIco(const QImage& image)
{
    if (image.isNull())
        return {};
    QImage picture = image;
    if (image.width() > kMaxSide || image.height() > kMaxSide) {
        // A picture of one pixel's height scaled down must keep a row.
        const QSize size = image.size().scaled(kMaxSide, kMaxSide, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
        picture = image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    picture = picture.convertToFormat(QImage::Format_ARGB32);
    const int width = picture.width();
    const int height = picture.height();
    const qint64 maskStride = stride(width, 1);
    const auto bitmapSize = quint32(kInfoHeaderSize + (4 * width + maskStride) * height);

    QByteArray out;
    out.reserve(kDirectorySize + kEntrySize + bitmapSize);
    put16(out, 0);
    put16(out, 1); // an icon, not a cursor
    put16(out, 1);
    out.append(char(width % 256));
    out.append(char(height % 256));
    out.append(2, '\0'); // no colour table; reserved
    put16(out, 1);       // planes
    put16(out, 32);
    put32(out, bitmapSize);
    put32(out, kDirectorySize + kEntrySize);

    put32(out, kInfoHeaderSize);
    put32(out, width);
    put32(out, 2 * height);
    put16(out, 1);
    put16(out, 32);
    put32(out, 0); // uncompressed
    put32(out, bitmapSize - kInfoHeaderSize);
    out.append(16, '\0'); // resolution and colour counts
    for (int y = height - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
        for (int x = 0; x < width; ++x)
            put32(out, row[x]); // B, G, R, A in little-endian order
    }
    for (int y = height - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
        QByteArray mask(maskStride, '\0');
        for (int x = 0; x < width; ++x) {
            if (qAlpha(row[x]) == 0)
                mask[x / 8] = char(mask[x / 8] | (0x80 >> (x % 8)));
        }
        out += mask;
    }
    return out;
}

IconHandle LoadIcon(const QString& module, const QString& name)
{
    const QString path = module + QLatin1Char('/') + name;
    QImage image = readIconFile(path);
    if (image.isNull())
        image = readIconFile(path + QStringLiteral(".ico"));
    return IconHandles::make(image);
}
