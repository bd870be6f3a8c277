#include "SpoolFile.h"

#include "platform/Errors.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

std::string cutSpoolText(std::string raw)
{
    std::replace(raw.begin(), raw.end(), '\0', '\xff');
    for (std::size_t i = raw.find('\r'); i != std::string::npos && i + 1 < raw.size(); i = raw.find('\r', i + 1)) {
        if (static_cast<unsigned char>(raw[i + 1]) == 0xff) {
            raw.resize(i + 1);
            break;
        }
    }
    return raw;
}

std::string readSpoolFile(const QString& path)
{
    // A device or a pipe has no end a printer stream could be cut at.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        throw EFileError(QStringLiteral("Cannot open file \"%1\". It is not a regular file").arg(path).toStdString());
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EFileError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString()).toStdString());
    std::string raw;
    const qint64 size = file.size();
    if (size > 0)
        raw.reserve(static_cast<std::size_t>(size));
    char buffer[1 << 16];
    for (;;) {
        const qint64 n = file.read(buffer, sizeof(buffer));
        if (n < 0)
            throw EFileError(QStringLiteral("Cannot read file \"%1\". %2").arg(path, file.errorString()).toStdString());
        if (n == 0)
            break;
        raw.append(buffer, static_cast<std::size_t>(n));
    }
    return cutSpoolText(std::move(raw));
}
