#pragma once

#include <QImage>
#include <QString>

#include <memory>

// Bitmaps loaded from BMP files. Main thread only.
class IBitmaps
{
public:
    virtual ~IBitmaps() = default;
    // The bitmap of the file; EFileError naming the file when it cannot be loaded.
    virtual std::shared_ptr<const QImage> load(const QString& path) = 0;
};

// A copy in which every pixel of the automatic transparent colour (the colour of the
// bottom-left pixel) is transparent.
QImage makeTransparent(const QImage& image);
