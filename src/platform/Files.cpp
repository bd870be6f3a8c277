#include "IFileAccess.h"

#include <sys/stat.h>
#include <unistd.h>

FileIdentity fileIdentity(const struct stat& info)
{
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                        static_cast<std::int64_t>(info.st_size),
                        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

void SpoolHandle::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
