#include "FakeFiles.h"

#include <QFile>
#include <QFileInfo>

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

void FakeFileAccess::setInUse(const QString& path, bool inUse)
{
    if (inUse)
        m_inUse.insert(path);
    else
        m_inUse.remove(path);
}

bool FakeFileAccess::openExclusive(const QString& path)
{
    m_asked.push_back(path);
    return !m_inUse.contains(path) && QFileInfo(path).isFile();
}

void FakeFileAccess::setUndeletable(const QString& path, bool undeletable)
{
    if (undeletable)
        m_undeletable.insert(path);
    else
        m_undeletable.remove(path);
}

bool FakeFileAccess::remove(const QString& path)
{
    return !m_undeletable.contains(path) && QFile::remove(path);
}
