#include "LinuxFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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
}

bool ProcessEnvironment::lockSingleInstance(const QString& fallbackDirectory)
{
    if (m_lock >= 0)
        return true;
    QString directory = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (directory.isEmpty() || !QFileInfo(directory).isDir())
        directory = fallbackDirectory;
    const QByteArray path = QFile::encodeName(directory + QStringLiteral("/pagello.lock"));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    // A lock that cannot be made locks nobody out: the window of a running spooler still
    // tells a second start.
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

QString ProcessEnvironment::environmentVariable(const QString& name) const
{
    return qEnvironmentVariable(name.toLocal8Bit().constData());
}
