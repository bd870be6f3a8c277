#include "AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kNameCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kSuffixLength = 6;

QString systemError(const char* step, int error)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(step), QString::fromLocal8Bit(std::strerror(error)));
}

// Whether a directory entry is a temporary file of a save of `name` that never came to
// its rename: "<name>." and six letters or digits. A name of only small letters
// ("system.reg.backup") is a user's own copy, not ours, and stays.
bool isLeftover(const char* entry, const QByteArray& name)
{
    const std::size_t length = std::strlen(entry);
    if (length != std::size_t(name.size()) + 1 + kSuffixLength ||
        std::strncmp(entry, name.constData(), name.size()) != 0 || entry[name.size()] != '.')
        return false;
    bool ownCopy = true;
    for (const char* c = entry + name.size() + 1; *c; ++c) {
        if (!std::strchr(kNameCharacters, *c))
            return false;
        ownCopy = ownCopy && *c >= 'a' && *c <= 'z';
    }
    return !ownCopy;
}

void removeLeftovers(int directory, const QByteArray& name)
{
    const int listing = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!entries) {
        if (listing >= 0)
            ::close(listing);
        return;
    }
    while (const dirent* entry = ::readdir(entries)) {
        struct stat info
        {
        };
        if (isLeftover(entry->d_name, name) && ::fstatat(directory, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) && info.st_uid == ::geteuid())
            (void)::unlinkat(directory, entry->d_name, 0);
    }
    ::closedir(entries);
}

bool writeAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, std::size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

} // namespace

QString replaceFileAtomically(const QString& path, const QByteArray& bytes)
{
    const QFileInfo info(path);
    const QString directoryPath = info.absolutePath();
    if (!QDir().mkpath(directoryPath))
        return QStringLiteral("cannot make the directory '%1'").arg(directoryPath);
    const int directory = ::open(QFile::encodeName(directoryPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return systemError("cannot open its directory", errno);
    const QByteArray name = QFile::encodeName(info.fileName());
    removeLeftovers(directory, name);

    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = name + '.';
        for (int i = 0; i < kSuffixLength; ++i)
            temporary += kNameCharacters[QRandomGenerator::global()->bounded(int(sizeof kNameCharacters) - 1)];
        // Made new, never opened through a link; its permissions come from the umask,
        // unless the file it replaces has its own.
        fd = ::openat(directory, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const QString error = systemError("cannot create a file beside it", errno);
        ::close(directory);
        return error;
    }
    struct stat old
    {
    };
    if (::fstatat(directory, name.constData(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode))
        (void)::fchmod(fd, old.st_mode & 07777);

    // Every step is checked before the rename: a disk that filled up may report it only
    // when the data is flushed or the file closed, and a file cut short must never take
    // the old one's place.
    QString error;
    if (!writeAll(fd, bytes))
        error = systemError("cannot write", errno);
    else if (::fsync(fd) != 0)
        error = systemError("cannot flush to disk", errno);
    if (::close(fd) != 0 && error.isEmpty())
        error = systemError("cannot close", errno);
    if (error.isEmpty() && ::renameat(directory, temporary.constData(), directory, name.constData()) != 0)
        error = systemError("cannot rename", errno);
    if (!error.isEmpty())
        (void)::unlinkat(directory, temporary.constData(), 0);
    else
        (void)::fsync(directory); // the rename itself reaches the disk
    ::close(directory);
    return error;
}
