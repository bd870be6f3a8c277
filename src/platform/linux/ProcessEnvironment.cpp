#include "LinuxFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

const QString kSocketName = QStringLiteral("/pagello.socket");
// The longest message line a later start writes; anything longer is not one.
constexpr qint64 kMessageLength = 16;
// How long a later start waits for the running spooler to take its connection and its line.
constexpr int kSocketWaitMs = 2000;

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
    if (m_server) {
        m_server->close();
        m_server.reset();
        // Only the socket this process put there: while the lock is held no other spooler
        // puts one.
        const QByteArray path = QFile::encodeName(m_lockDirectory + kSocketName);
        struct stat info
        {
        };
        if (::lstat(path.constData(), &info) == 0 && info.st_dev == m_socketDevice && info.st_ino == m_socketInode)
            ::unlink(path.constData());
    }
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

QString ProcessEnvironment::lockDirectory()
{
    const QString directory = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (directory.isEmpty() || !QFileInfo(directory).isDir())
        return privateDirectory(QStringLiteral("/tmp/pagello-%1").arg(::geteuid()));
    return directory;
}

bool ProcessEnvironment::lockSingleInstance()
{
    if (m_lock >= 0)
        return true;
    const QString directory = lockDirectory();
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
    m_lockDirectory = directory;
    return true;
}

bool ProcessEnvironment::listenForLaterStarts(std::function<void(unsigned message)> receiver)
{
    if (m_lock < 0 || m_server)
        return false;
    const QByteArray path = QFile::encodeName(m_lockDirectory + kSocketName);
    const QByteArray made = path + '.' + QByteArray::number(::getpid());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::size_t(made.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, made.constData(), std::size_t(made.size()) + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // The socket is made under a name of this process's own, closed to everyone else before
    // anyone can connect, and then renamed over the name later starts look for: a socket a
    // spooler left there when it ended is replaced in one step, and a name that is not a
    // socket (a directory) is never taken away.
    ::unlink(made.constData());
    const bool ready = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                       ::chmod(made.constData(), 0600) == 0 && ::listen(fd, 8) == 0;
    struct stat existing
    {
    };
    const bool socketOrNothing = ::lstat(path.constData(), &existing) != 0 || S_ISSOCK(existing.st_mode);
    struct stat info
    {
    };
    if (!ready || !socketOrNothing || ::lstat(made.constData(), &info) != 0 ||
        ::rename(made.constData(), path.constData()) != 0) {
        ::unlink(made.constData());
        ::close(fd);
        return false;
    }
    m_server = std::make_unique<QLocalServer>();
    if (!m_server->listen(fd)) {
        m_server.reset();
        ::unlink(path.constData());
        ::close(fd);
        return false;
    }
    m_socketDevice = info.st_dev;
    m_socketInode = info.st_ino;
    QLocalServer* server = m_server.get();
    QObject::connect(server, &QLocalServer::newConnection, server, [server, receiver = std::move(receiver)] {
        while (QLocalSocket* connection = server->nextPendingConnection()) {
            QObject::connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
            QObject::connect(connection, &QLocalSocket::readyRead, connection, [connection, receiver] {
                if (!connection->canReadLine()) {
                    // A line longer than any message is no message of ours.
                    if (connection->bytesAvailable() > kMessageLength)
                        connection->abort();
                    return;
                }
                bool number = false;
                const unsigned message = connection->readLine(kMessageLength + 1).trimmed().toUInt(&number);
                connection->disconnectFromServer();
                if (number && receiver)
                    receiver(message);
            });
        }
    });
    return true;
}

bool ProcessEnvironment::messageRunningSpooler(unsigned message)
{
    const QString directory = lockDirectory();
    if (directory.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(directory + kSocketName);
    if (!socket.waitForConnected(kSocketWaitMs))
        return false;
    socket.write(QByteArray::number(message) + '\n');
    const bool written = socket.waitForBytesWritten(kSocketWaitMs) || socket.bytesToWrite() == 0;
    socket.disconnectFromServer();
    return written;
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
