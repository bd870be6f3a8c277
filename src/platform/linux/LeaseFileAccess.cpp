#include "LinuxFiles.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

// While we hold a lease, another process opening the file breaks it, and the kernel then
// sends us SIGIO, whose default action ends the process. We release the lease at once, so
// a break is rare, but it can land in that window. We ignore SIGIO process-wide instead of
// redirecting the break with F_SETSIG: nothing in this program uses signal-driven I/O,
// while any real-time signal we picked might be one a library relies on. A handler someone
// installed on purpose is left in place. False when SIGIO could not be made harmless, and
// then no lease is taken.
bool leaseBreakIsHarmless()
{
    static const bool harmless = [] {
        struct sigaction current
        {
        };
        if (::sigaction(SIGIO, nullptr, &current) != 0)
            return false;
        if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL)
            return true;
        struct sigaction ignore
        {
        };
        ignore.sa_handler = SIG_IGN;
        ::sigemptyset(&ignore.sa_mask);
        return ::sigaction(SIGIO, &ignore, nullptr) == 0;
    }();
    return harmless;
}

int openRetrying(const char* path, int flags)
{
    int fd;
    do {
        fd = ::open(path, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Whether a descriptor of any process resolves to the file: /proc/<pid>/fd/<n> are links
// that stat follows to the open file itself, even when it was renamed or deleted since.
bool heldByAnyProcess(dev_t device, ino_t inode)
{
    DIR* processes = ::opendir("/proc");
    if (!processes)
        return false;
    bool held = false;
    while (const dirent* process = held ? nullptr : ::readdir(processes)) {
        if (process->d_name[0] < '0' || process->d_name[0] > '9')
            continue;
        const std::string fdPath = std::string(process->d_name) + "/fd";
        // Fails for a process that ended meanwhile or one of another user we may not look into.
        const int fdDir = ::openat(::dirfd(processes), fdPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDir < 0)
            continue;
        DIR* fds = ::fdopendir(fdDir);
        if (!fds) {
            ::close(fdDir);
            continue;
        }
        while (const dirent* entry = held ? nullptr : ::readdir(fds)) {
            struct stat target
            {
            };
            held = entry->d_name[0] != '.' && ::fstatat(fdDir, entry->d_name, &target, 0) == 0 &&
                   target.st_dev == device && target.st_ino == inode;
        }
        ::closedir(fds);
    }
    ::closedir(processes);
    return held;
}

} // namespace

bool LeaseFileAccess::openExclusive(const QString& path)
{
    // O_NONBLOCK: opening a FIFO must not wait for a writer, nor opening a file someone
    // holds a lease on wait for that lease (it fails with EWOULDBLOCK: in use).
    const int fd = openRetrying(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat file
    {
    };
    if (::fstat(fd, &file) != 0 || !S_ISREG(file.st_mode)) {
        ::close(fd);
        return false;
    }
    int leaseError = EINVAL;
    if (leaseBreakIsHarmless()) {
        if (::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
            // Should unlocking fail, closing the descriptor releases the lease as well.
            (void)::fcntl(fd, F_SETLEASE, F_UNLCK);
            ::close(fd);
            return true;
        }
        leaseError = errno;
    }
    ::close(fd);
    if (leaseError == EAGAIN || leaseError == EBUSY)
        return false;
    // EACCES/EPERM (another user's file), EINVAL (no leases on this file system, or leases
    // disabled): look at the descriptors themselves, once ours is closed so it is not counted.
    return !heldByAnyProcess(file.st_dev, file.st_ino);
}

bool LeaseFileAccess::openInAnyProcess(const QString& path)
{
    struct stat file
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &file) != 0)
        return false;
    return heldByAnyProcess(file.st_dev, file.st_ino);
}

bool LeaseFileAccess::remove(const QString& path)
{
    return ::unlink(QFile::encodeName(path).constData()) == 0;
}
