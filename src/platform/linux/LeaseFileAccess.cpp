#include "LinuxFiles.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

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
// Our own descriptor `ownFd` (when not -1) does not count.
bool heldByAnyProcess(dev_t device, ino_t inode, int ownFd = -1)
{
    DIR* processes = ::opendir("/proc");
    if (!processes)
        return false;
    const std::string self = std::to_string(::getpid());
    const std::string own = std::to_string(ownFd);
    bool held = false;
    while (const dirent* process = held ? nullptr : ::readdir(processes)) {
        if (process->d_name[0] < '0' || process->d_name[0] > '9')
            continue;
        const bool ours = self == process->d_name;
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
            held = entry->d_name[0] != '.' && !(ours && own == entry->d_name) &&
                   ::fstatat(fdDir, entry->d_name, &target, 0) == 0 && target.st_dev == device &&
                   target.st_ino == inode;
        }
        ::closedir(fds);
    }
    ::closedir(processes);
    return held;
}

enum class Lease
{
    Taken,   // we hold the write lease now
    Held,    // another open file description exists: in use
    NoLeases // leases cannot be had here: ask /proc
};

Lease takeLease(int fd)
{
    if (!leaseBreakIsHarmless())
        return Lease::NoLeases;
    if (::fcntl(fd, F_SETLEASE, F_WRLCK) == 0)
        return Lease::Taken;
    return errno == EAGAIN || errno == EBUSY ? Lease::Held : Lease::NoLeases;
}

// Whether another process began opening the file while we held its write lease: its open
// waits for us to let go, and the kernel marks the lease as being broken meanwhile.
bool breakPending(int fd)
{
    return ::fcntl(fd, F_GETLEASE) != F_WRLCK;
}

void releaseLease(int fd)
{
    // Should unlocking fail, closing the descriptor releases the lease as well.
    (void)::fcntl(fd, F_SETLEASE, F_UNLCK);
}

// Whether another open file description than the descriptor's own exists on its file.
bool othersHold(int fd, const struct stat& file)
{
    switch (takeLease(fd)) {
    case Lease::Taken:
        releaseLease(fd);
        return false;
    case Lease::Held:
        return true;
    case Lease::NoLeases:
        break;
    }
    return heldByAnyProcess(file.st_dev, file.st_ino, fd);
}

} // namespace

IFileAccess::Opened LeaseFileAccess::openExclusive(const QByteArray& path)
{
    // O_NOFOLLOW: a link put in place of a spool file is never followed. O_NONBLOCK: opening
    // a pipe must not wait for a writer, nor opening a file someone holds a lease on wait
    // for that lease (it fails with EWOULDBLOCK: in use).
    const int fd = openRetrying(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) {
        switch (errno) {
        case ENOENT:
        case ENOTDIR:
            return {OpenStatus::Missing, {}};
        case ELOOP:
            return {OpenStatus::NotRegular, {}};
        case EWOULDBLOCK:
            return {OpenStatus::InUse, {}};
        default:
            return {OpenStatus::Unreadable, {}};
        }
    }
    const auto refuse = [fd](OpenStatus status) {
        ::close(fd);
        return Opened{status, {}};
    };
    struct stat file
    {
    };
    if (::fstat(fd, &file) != 0)
        return refuse(OpenStatus::Unreadable);
    if (!S_ISREG(file.st_mode))
        return refuse(OpenStatus::NotRegular);
    if (othersHold(fd, file))
        return refuse(OpenStatus::InUse);
    // The file is read from here on; reads of a regular file never wait anyway.
    (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return {OpenStatus::Opened, SpoolHandle(fd, fileIdentity(file))};
}

bool LeaseFileAccess::heldElsewhere(const SpoolHandle& handle)
{
    struct stat file
    {
    };
    if (!handle.isOpen() || ::fstat(handle.fd(), &file) != 0)
        return false;
    return othersHold(handle.fd(), file);
}

std::optional<FileIdentity> LeaseFileAccess::identify(const QByteArray& path)
{
    return nameIdentity(path);
}

IFileAccess::RemoveStatus LeaseFileAccess::removeIfUnchanged(const QByteArray& path, SpoolHandle& handle)
{
    SpoolHandle owned = std::move(handle);
    if (!owned.isOpen())
        return RemoveStatus::Changed;
    const int fd = owned.fd();
    // While we hold the write lease, a writer that opens the file waits until we let go,
    // so what we check below stays true until the file is gone.
    const Lease lease = takeLease(fd);
    if (lease == Lease::Held)
        return RemoveStatus::InUse;
    if (whileLeased)
        whileLeased();
    struct stat now
    {
    };
    RemoveStatus status = RemoveStatus::Removed;
    const std::optional<FileIdentity> named = identify(path);
    if (::fstat(fd, &now) != 0 || fileIdentity(now) != owned.identity())
        status = RemoveStatus::Changed;
    else if (!named)
        status = ::faccessat(AT_FDCWD, path.constData(), F_OK, AT_SYMLINK_NOFOLLOW) == 0 ? RemoveStatus::Changed
                                                                                         : RemoveStatus::Gone;
    else if (!named->sameFile(owned.identity()))
        status = RemoveStatus::Changed;
    else if (lease == Lease::NoLeases && heldByAnyProcess(now.st_dev, now.st_ino, fd))
        status = RemoveStatus::InUse;
    // A writer that opened the name since we took the lease has found this very file and
    // only waits for the lease: deleted now, its open would end on a file without a name
    // and whatever it writes would be lost. Asked last, right before the deletion.
    else if (lease == Lease::Taken && breakPending(fd))
        status = RemoveStatus::InUse;
    else if (::unlink(path.constData()) != 0)
        status = RemoveStatus::Failed;
    if (lease == Lease::Taken)
        releaseLease(fd);
    return status;
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
