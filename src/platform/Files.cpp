#include "IFileAccess.h"

#include <sys/stat.h>
#include <unistd.h>

FileIdentity fileIdentity(const struct stat& info)
{
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                        static_cast<std::int64_t>(info.st_size),
                        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

std::optional<FileIdentity> descriptorIdentity(int fd)
{
    struct stat info
    {
    };
    if (fd < 0 || ::fstat(fd, &info) != 0)
        return std::nullopt;
    return fileIdentity(info);
}

std::optional<FileIdentity> nameIdentity(const QByteArray& path)
{
    struct stat info
    {
    };
    if (::lstat(path.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return fileIdentity(info);
}

void SpoolHandle::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
