#pragma once

#include <QImage>
#include <QString>

#include <cstdint>
#include <functional>

class QIODevice;

// An icon handle as the desktop knows icons: made from an icon's image, it stands for that
// image until it is released, and any thread may look it up. 0 is no icon; −1 is the
// invalid handle a notify-icon record carries when there is no icon to show.
using IconHandle = std::intptr_t;
constexpr IconHandle kInvalidIconHandle = -1;

namespace IconHandles {
// A new handle for a copy of the image; 0 for an empty image.
IconHandle make(const QImage& image);
// The image behind the handle; an empty image when the handle is not (or no longer) one.
QImage image(IconHandle handle);
void release(IconHandle handle);
// How many handles are made and not released (for tests).
int live();
} // namespace IconHandles

// An icon picture: an image that may be empty, with a change notification, a handle made
// from the image on demand, and the standard icon file format (.ico) for streams.
//
// An icon read from a stream keeps the very bytes it was read from and writes them again;
// an icon given an image writes it as a 32-bit icon with its transparency mask. Main thread
// only (its handle may be looked up anywhere).
class TIcon
{
public:
    TIcon() = default;
    explicit TIcon(const QImage& image);
    ~TIcon();
    TIcon(const TIcon&) = delete;
    TIcon& operator=(const TIcon&) = delete;

    // Raised after every change of the picture.
    std::function<void()> OnChange;

    bool Empty() const { return m_image.isNull(); }
    const QImage& image() const { return m_image; }
    void setImage(const QImage& image);
    // Takes a copy of the other icon's picture; null empties this one.
    void Assign(const TIcon* source);

    // The handle of the picture, made on first use; 0 while the icon is empty. The icon
    // owns it: it is released when the picture changes and when the icon goes.
    IconHandle Handle();
    // Takes the picture a handle stands for (a handle of LoadIcon; 0 empties the icon).
    void setHandle(IconHandle handle);

    // The icon in the .ico format; nothing for an empty icon.
    QByteArray data() const;
    void SaveToStream(QIODevice& stream) const;
    // Reads the rest of the stream as an .ico file. Raises EInvalidGraphic when it is not
    // one (the icon is then unchanged).
    void LoadFromStream(QIODevice& stream);
    void LoadFromData(const QByteArray& data);

private:
    void changed();
    void releaseHandle();

    QImage m_image;
    QByteArray m_data; // the .ico bytes the picture came from, when it was read
    IconHandle m_handle = 0;
};

// The icon `name` in `module`, the folder of a program's own icons (a directory, or a
// resource folder such as ":/icons"): the .ico file of that name (without its extension
// too), as a new handle the caller releases; 0 when the module holds no such icon.
IconHandle LoadIcon(const QString& module, const QString& name);

// The .ico file format: the largest picture of a file (its 32-bit or else deepest one of
// that size), and one picture written as a 32-bit icon with its AND mask. decodeIco gives
// a null image for anything that is not a sound icon file.
QImage decodeIco(const QByteArray& data);
QByteArray encodeIco(const QImage& image);
