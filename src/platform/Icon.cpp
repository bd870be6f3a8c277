#include "Icon.h"

#include "Errors.h"

#include <QBuffer>
#include <QIODevice>

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

// FIXME(icon codec): stand-ins until the codec of our own lands.
QImage decodeIco(const QByteArray& data)
{
    return QImage::fromData(data, "ICO");
}

QByteArray encodeIco(const QImage& image)
{
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "ICO");
    return out;
}

IconHandle LoadIcon(const QString&, const QString&)
{
    return 0;
}
