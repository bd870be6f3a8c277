#include "FakeFiles.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

void FakeChangeNotifications::setWatchable(const QString& directory, bool watchable)
{
    std::lock_guard lock(m_mutex);
    if (watchable)
        m_unwatchable.remove(directory);
    else
        m_unwatchable.insert(directory);
}

void FakeChangeNotifications::setLocalDisk(bool local)
{
    std::lock_guard lock(m_mutex);
    m_local = local;
}

void FakeChangeNotifications::signal(Handle handle)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_watches.find(handle);
    if (it != m_watches.end())
        it->second.pending = true;
}

void FakeChangeNotifications::signal(const QString& directory)
{
    std::lock_guard lock(m_mutex);
    for (auto& [handle, watch] : m_watches) {
        if (watch.directory == directory)
            watch.pending = true;
    }
}

void FakeChangeNotifications::failNext()
{
    std::lock_guard lock(m_mutex);
    m_failNext = true;
}

std::vector<QString> FakeChangeNotifications::calls() const
{
    std::lock_guard lock(m_mutex);
    return m_calls;
}

int FakeChangeNotifications::openHandles() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_watches.size());
}

IChangeNotifications::Handle FakeChangeNotifications::first(const QString& directory)
{
    std::lock_guard lock(m_mutex);
    m_calls.push_back(QStringLiteral("first(%1)").arg(directory));
    if (m_unwatchable.contains(directory))
        return kInvalid;
    m_watches[++m_lastHandle].directory = directory;
    return m_lastHandle;
}

IChangeNotifications::WaitResult FakeChangeNotifications::wait(Handle handle, int timeoutMs)
{
    std::lock_guard lock(m_mutex);
    m_calls.push_back(QStringLiteral("wait(%1,%2)").arg(handle).arg(timeoutMs));
    const auto it = m_watches.find(handle);
    if (it == m_watches.end() || it->second.dead)
        return WaitResult::Failed;
    Watch& watch = it->second;
    if (watch.pending) {
        watch.pending = false;
        watch.signalled = true;
    }
    return watch.signalled ? WaitResult::Signalled : WaitResult::Timeout;
}

bool FakeChangeNotifications::next(Handle handle)
{
    std::lock_guard lock(m_mutex);
    m_calls.push_back(QStringLiteral("next(%1)").arg(handle));
    const auto it = m_watches.find(handle);
    if (it == m_watches.end() || it->second.dead)
        return false;
    if (m_failNext) {
        m_failNext = false;
        it->second.dead = true;
        return false;
    }
    // A change still pending came after the reported one and signals the next wait.
    it->second.signalled = false;
    return true;
}

void FakeChangeNotifications::close(Handle handle)
{
    std::lock_guard lock(m_mutex);
    m_calls.push_back(QStringLiteral("close(%1)").arg(handle));
    m_watches.erase(handle);
}

bool FakeChangeNotifications::isLocalDisk(const QString&)
{
    std::lock_guard lock(m_mutex);
    return m_local;
}

void FakeFileAccess::setInUse(const QByteArray& path, bool inUse)
{
    if (inUse)
        m_inUse.insert(path);
    else
        m_inUse.remove(path);
}

void FakeFileAccess::setUndeletable(const QString& path, bool undeletable)
{
    if (undeletable)
        m_undeletable.insert(QFile::encodeName(path));
    else
        m_undeletable.remove(QFile::encodeName(path));
}

IFileAccess::Opened FakeFileAccess::openExclusive(const QByteArray& path)
{
    m_asked.push_back(QFile::decodeName(path));
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return {errno == ENOENT  ? OpenStatus::Missing
                : errno == ELOOP ? OpenStatus::NotRegular
                                 : OpenStatus::Unreadable,
                {}};
    struct stat info
    {
    };
    const auto refuse = [fd](OpenStatus status) {
        ::close(fd);
        return Opened{status, {}};
    };
    if (::fstat(fd, &info) != 0)
        return refuse(OpenStatus::Unreadable);
    if (!S_ISREG(info.st_mode))
        return refuse(OpenStatus::NotRegular);
    if (inUse(path))
        return refuse(OpenStatus::InUse);
    return {OpenStatus::Opened, SpoolHandle(fd, fileIdentity(info))};
}

std::optional<FileIdentity> FakeFileAccess::identify(const QByteArray& path)
{
    return nameIdentity(path);
}

IFileAccess::RemoveStatus FakeFileAccess::removeIfUnchanged(const QByteArray& path, SpoolHandle& handle)
{
    if (const auto hook = std::exchange(beforeRemove, nullptr))
        hook(path);
    const std::optional<FileIdentity> now = descriptorIdentity(handle.fd());
    const std::optional<FileIdentity> named = identify(path);
    const FileIdentity opened = handle.identity();
    handle.close();
    if (!named)
        return RemoveStatus::Gone;
    if (!now || *now != opened || !named->sameFile(opened))
        return RemoveStatus::Changed;
    if (inUse(path))
        return RemoveStatus::InUse;
    if (m_undeletable.contains(path) || ::unlink(path.constData()) != 0)
        return RemoveStatus::Failed;
    return RemoveStatus::Removed;
}
