#include "LinuxFiles.h"

#include <QFile>
#include <QRandomGenerator>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
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

// Whether a name is taken, by anything (a dangling link too).
bool nameTaken(const char* path)
{
    struct stat info
    {
    };
    return ::lstat(path, &info) == 0 || errno != ENOENT;
}

constexpr char kHiddenPrefix[] = ".pagello-deleting-";
constexpr int kHiddenRandom = 8;

// A hidden name in the directory of `path`, which listings of spool files never show: the
// prefix, random letters, and the file's own name where it fits, so that a file left
// there by a crash can be put back under it.
QByteArray hiddenName(const QByteArray& path)
{
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const qsizetype slash = path.lastIndexOf('/');
    QByteArray name = path.left(slash + 1) + kHiddenPrefix;
    for (int i = 0; i < kHiddenRandom; ++i)
        name += kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters - 1))];
    const QByteArray own = path.mid(slash + 1);
    if (sizeof kHiddenPrefix + kHiddenRandom + own.size() <= NAME_MAX)
        name += '.' + own;
    return name;
}

// The name `path` would have with "-<n>" before its extension: "A.PRN" -> "A-1.PRN".
QByteArray numberedName(const QByteArray& path, int n)
{
    const qsizetype slash = path.lastIndexOf('/');
    qsizetype dot = path.lastIndexOf('.');
    if (dot <= slash + 1)
        dot = path.size();
    const QByteArray extension = dot < path.size() ? path.mid(dot) : QByteArray(".PRN");
    return path.left(dot) + '-' + QByteArray::number(n) + extension;
}

// Moves the spool file `path` to a free hidden name beside it, which `hidden` receives: 0,
// or the errno of the failure (ENOENT: nothing is under the name).
int moveToHiddenName(const QByteArray& path, QByteArray& hidden)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        hidden = hiddenName(path);
        if (::renameat2(AT_FDCWD, path.constData(), AT_FDCWD, hidden.constData(), RENAME_NOREPLACE) == 0)
            return 0;
        if (errno == EEXIST)
            continue;
        if (errno != EINVAL && errno != ENOSYS)
            return errno;
        // A file system that cannot refuse to replace (older NFS and SMB clients): the name
        // is looked at first. Only a file under a hidden name of ours could be lost in
        // between, and no writer uses one.
        if (nameTaken(hidden.constData()))
            continue;
        return ::rename(path.constData(), hidden.constData()) == 0 ? 0 : errno;
    }
    return EEXIST;
}

// Moves a file from our hidden name back to `path`, or where that is taken by now, to the
// first free name "NAME-1.PRN", "NAME-2.PRN", ... beside it. Nothing already under a name
// is ever replaced.
bool moveToSpoolName(const QByteArray& hidden, const QByteArray& path)
{
    for (int n = 0; n < 1000; ++n) {
        const QByteArray name = n == 0 ? path : numberedName(path, n);
        if (::renameat2(AT_FDCWD, hidden.constData(), AT_FDCWD, name.constData(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno == EEXIST)
            continue;
        if (errno != EINVAL && errno != ENOSYS)
            return false;
        // Without RENAME_NOREPLACE a hard link is made only where the name is free, at once;
        // where there are no hard links either, the name is looked at first.
        if (::link(hidden.constData(), name.constData()) == 0) {
            // A hidden name left over is never listed: the file is back either way.
            (void)::unlink(hidden.constData());
            return true;
        }
        if (errno == EEXIST || nameTaken(name.constData()))
            continue;
        return ::rename(hidden.constData(), name.constData()) == 0;
    }
    return false;
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
    // and whatever it writes would be lost.
    else if (lease == Lease::Taken && breakPending(fd))
        status = RemoveStatus::InUse;
    else
        status = removeByMoving(path, owned, lease == Lease::Taken);
    if (lease == Lease::Taken)
        releaseLease(fd);
    return status;
}

IFileAccess::RemoveStatus LeaseFileAccess::removeByMoving(const QByteArray& path, const SpoolHandle& owned, bool leased)
{
    // Another file renamed over the name after it was checked opens nothing, so the lease
    // cannot tell: deleting the name would delete that file unprinted. The file is first
    // moved to a hidden name of our own, and what was moved is looked at there.
    if (beforeMove)
        beforeMove();
    QByteArray hidden;
    switch (moveToHiddenName(path, hidden)) {
    case 0:
        break;
    case ENOENT:
        return ::faccessat(AT_FDCWD, path.constData(), F_OK, AT_SYMLINK_NOFOLLOW) == 0 ? RemoveStatus::Changed
                                                                                       : RemoveStatus::Gone;
    default:
        return RemoveStatus::Failed;
    }
    if (afterMove)
        afterMove();
    struct stat moved
    {
    };
    const bool same = ::lstat(hidden.constData(), &moved) == 0 && S_ISREG(moved.st_mode) &&
                      descriptorIdentity(owned.fd()) == owned.identity() && owned.identity() == fileIdentity(moved);
    RemoveStatus status = RemoveStatus::Removed;
    if (!same)
        status = RemoveStatus::Changed;
    // Asked last, right before the deletion, as above.
    else if (leased && breakPending(owned.fd()))
        status = RemoveStatus::InUse;
    else if (::unlink(hidden.constData()) != 0)
        status = RemoveStatus::Failed;
    // What stays is a document again: back under its name, or under a free one beside it
    // when a writer took the name meanwhile, so that it is printed as the document it is.
    // Only a directory that refuses every name keeps it hidden.
    if (status != RemoveStatus::Removed)
        (void)moveToSpoolName(hidden, path);
    return status;
}

void LeaseFileAccess::restoreSetAside(const QByteArray& directory)
{
    DIR* entries = ::opendir(directory.constData());
    if (!entries)
        return;
    QByteArrayList hidden;
    while (const dirent* entry = ::readdir(entries)) {
        if (std::strncmp(entry->d_name, kHiddenPrefix, sizeof kHiddenPrefix - 1) == 0)
            hidden << QByteArray(entry->d_name);
    }
    ::closedir(entries);
    const qsizetype ownName = sizeof kHiddenPrefix - 1 + kHiddenRandom + 1;
    for (const QByteArray& name : hidden) {
        const QByteArray path = directory + '/' + name;
        struct stat info
        {
        };
        if (::lstat(path.constData(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        const QByteArray own = name.size() > ownName ? name.mid(ownName) : QByteArray("PAGELLO.PRN");
        (void)moveToSpoolName(path, directory + '/' + own);
    }
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
