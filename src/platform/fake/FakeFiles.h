#pragma once

#include "../IChangeNotifications.h"
#include "../IFileAccess.h"
#include "../IProcessEnvironment.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QString>

#include <functional>
#include <map>
#include <mutex>
#include <vector>

// Change notifications as a test scripts them. Every directory can be watched unless
// setWatchable(dir, false) says otherwise. signal() marks a handle (or every open handle
// on a directory) changed: the next wait returns Signalled, and keeps doing so until
// next() re-arms it; a signal given after a wait reported one but before next() signals
// again after it, as on the real thing. A wait with nothing pending returns Timeout at
// once, without sleeping. Calls are recorded in order as "first(dir)", "wait(h,ms)",
// "next(h)" and "close(h)". Locked: a watcher thread may call it while the test scripts it.
class FakeChangeNotifications : public IChangeNotifications
{
public:
    void setWatchable(const QString& directory, bool watchable);
    void setLocalDisk(bool local);
    void signal(Handle handle);
    void signal(const QString& directory);
    // The next call of next() returns false, and its handle fails from then on.
    void failNext();
    std::vector<QString> calls() const;
    int openHandles() const;

    Handle first(const QString& directory) override;
    WaitResult wait(Handle handle, int timeoutMs) override;
    bool next(Handle handle) override;
    void close(Handle handle) override;
    bool isLocalDisk(const QString& directory) override;

private:
    struct Watch
    {
        QString directory;
        bool pending = false;   // changed since a wait last looked
        bool signalled = false; // a wait reported a change; cleared by next()
        bool dead = false;
    };

    mutable std::mutex m_mutex;
    QSet<QString> m_unwatchable;
    bool m_local = true;
    bool m_failNext = false;
    Handle m_lastHandle = 0;
    std::map<Handle, Watch> m_watches;
    std::vector<QString> m_calls;
};

// Exclusive opens as a test scripts them: the files are real (tests keep them in
// temporary directories) and are opened, identified and deleted as on the real thing,
// but whether another process holds one is what setInUse says. Records every path asked,
// in order. Main thread only.
class FakeFileAccess : public IFileAccess
{
public:
    void setInUse(const QByteArray& path, bool inUse);
    void setInUse(const QString& path, bool inUse) { setInUse(QFile::encodeName(path), inUse); }
    // The file stays when deleted (a read-only directory, an immutable file).
    void setUndeletable(const QString& path, bool undeletable);
    // Runs once, in removeIfUnchanged, before it looks at the file: a test's writer may
    // change or replace the file there, as a real one could during a job.
    std::function<void(const QByteArray& path)> beforeRemove;

    Opened openExclusive(const QByteArray& path) override;
    std::optional<FileIdentity> identify(const QByteArray& path) override;
    RemoveStatus removeIfUnchanged(const QByteArray& path, SpoolHandle& handle) override;
    const std::vector<QString>& asked() const { return m_asked; }

private:
    bool inUse(const QByteArray& path) const { return m_inUse.contains(path); }

    QSet<QByteArray> m_inUse;
    QSet<QByteArray> m_undeletable;
    std::vector<QString> m_asked;
};

// A process environment a test fills in through its plain fields.
class FakeProcessEnvironment : public IProcessEnvironment
{
public:
    QString programDirectory() const override { return programDir; }
    QString environmentVariable(const QString& name) const override { return variables.value(name); }
    QString startupDirectory() const override { return startupDir; }
    bool lockSingleInstance() override
    {
        ++lockRequests;
        return !lockedElsewhere;
    }
    bool lockSpoolDirectory(const QString& directory) override
    {
        spoolLockDirectory = directory;
        return !spoolLockedElsewhere;
    }

    bool listenForLaterStarts(std::function<void(unsigned message)> receiver) override
    {
        laterStarts = std::move(receiver);
        return true;
    }
    // Recorded, then handed to runningSpooler; false (nobody listens) while that is unset.
    bool messageRunningSpooler(unsigned message) override
    {
        sentToRunning.push_back(message);
        return runningSpooler && runningSpooler(message);
    }

    bool lockedElsewhere = false;      // another spooler of the user holds the lock
    int lockRequests = 0;              // how often the user's lock was asked for
    bool spoolLockedElsewhere = false; // another spooler holds the spool directory's lock
    QString spoolLockDirectory;        // the spool directory whose lock was asked for
    // What this process listens with for later starts; unset until it listens.
    std::function<void(unsigned message)> laterStarts;
    // The messages handed to a running spooler, in order, and the spooler that takes them
    // (a test may wire another fake's laterStarts here).
    std::vector<unsigned> sentToRunning;
    std::function<bool(unsigned message)> runningSpooler;
    QString programDir = QStringLiteral("/opt/pagello");
    QString startupDir = QStringLiteral("/home/user");
    QHash<QString, QString> variables;
};
