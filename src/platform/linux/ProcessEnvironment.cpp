#include "LinuxFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int openRetrying(const char* path, int flags, mode_t mode)
{
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

ProcessEnvironment::ProcessEnvironment()
    : m_startupDirectory(QDir::currentPath())
{
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    QString program = exe.canonicalFilePath();
    // A program file deleted or replaced since start no longer resolves; its link still
    // names the directory (as "<path> (deleted)").
    if (program.isEmpty())
        program = exe.symLinkTarget();
    m_programDirectory = QFileInfo(program).absolutePath();
}

ProcessEnvironment::~ProcessEnvironment()
{
    if (m_lock >= 0)
        ::close(m_lock);
    if (m_spoolLock >= 0)
        ::close(m_spoolLock);
}

QString ProcessEnvironment::privateDirectory(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    // Anyone may have made it first, in a directory everyone writes into: only our own
    // directory, closed to everyone else, is trusted to hold the lock.
    struct stat info
    {
    };
    if (::lstat(name.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return QString();
    return path;
}

bool ProcessEnvironment::lockSingleInstance()
{
    if (m_lock >= 0)
        return true;
    QString directory = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (directory.isEmpty() || !QFileInfo(directory).isDir())
        directory = privateDirectory(QStringLiteral("/tmp/pagello-%1").arg(::geteuid()));
    // A lock that cannot be made locks nobody out: the window of a running spooler still
    // tells a second start.
    if (directory.isEmpty())
        return true;
    const QByteArray path = QFile::encodeName(directory + QStringLiteral("/pagello.lock"));
    const int fd = openRetrying(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return error != EWOULDBLOCK;
    }
    // Held, by the open descriptor, until the process ends.
    m_lock = fd;
    return true;
}

bool ProcessEnvironment::lockSpoolDirectory(const QString& directory)
{
    if (m_spoolLock >= 0)
        return true;
    const QByteArray path = QFile::encodeName(directory + QStringLiteral("/.pagello.lock"));
    // Spoolers of other users share the file. One who may only read it still takes a read
    // lock, which a running spooler's write lock refuses, and which refuses the next one's
    // write lock in turn.
    // O_NONBLOCK: a pipe put under the name must not stop the start.
    const int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    bool writable = true;
    int fd = openRetrying(path.constData(), O_RDWR | O_CREAT | flags, 0666);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        writable = false;
        fd = openRetrying(path.constData(), O_RDONLY | flags, 0);
    }
    // A directory that does not exist yet, or where the lock file cannot be made, stops no
    // spooler: the per-user lock still keeps a second start of the same user out.
    if (fd < 0)
        return true;
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return true;
    }
    // Whoever made it lets everyone write it, so that every spooler takes a write lock: two
    // read locks would not keep each other out.
    if (writable && info.st_uid == ::geteuid() && (info.st_mode & 0666) != 0666)
        (void)::fchmod(fd, 0666);
    // An fcntl lock, unlike flock, reaches the server of an NFS or SMB share: a spooler on
    // another machine sees it. The open file description's own lock stays held when some
    // other descriptor on the file is closed; kernels without one take the process's.
    struct flock lock
    {
    };
    lock.l_type = writable ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    int result;
    do {
        result = ::fcntl(fd, F_OFD_SETLK, &lock);
        if (result != 0 && errno == EINVAL)
            result = ::fcntl(fd, F_SETLK, &lock);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        return error != EAGAIN && error != EACCES;
    }
    m_spoolLock = fd;
    return true;
}

QString ProcessEnvironment::environmentVariable(const QString& name) const
{
    return qEnvironmentVariable(name.toLocal8Bit().constData());
}
