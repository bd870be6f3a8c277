#pragma once

#include "../IChangeNotifications.h"
#include "../IFileAccess.h"
#include "../IProcessEnvironment.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <sys/types.h>
#include <mutex>
#include <unordered_map>

// Change notifications through inotify: each handle is an inotify descriptor watching one
// directory, not its subdirectories (creating, renaming or removing a subdirectory is a
// change of the directory itself). A wait that reports a change consumes the events that
// caused it; events that arrive before next() re-arms the handle leave it signalled. The
// drive type comes from statfs and from the mount's type in /proc/self/mountinfo.
// Never throws and uses no event loop: meant for the directory watcher's worker thread. The
// handles' bookkeeping is locked, so handles of other threads and isLocalDisk may be used
// alongside.
class InotifyNotifications : public IChangeNotifications
{
public:
    InotifyNotifications() = default;
    ~InotifyNotifications() override; // closes the handles left open
    InotifyNotifications(const InotifyNotifications&) = delete;
    InotifyNotifications& operator=(const InotifyNotifications&) = delete;

    Handle first(const QString& directory) override;
    WaitResult wait(Handle handle, int timeoutMs) override;
    bool next(Handle handle) override;
    void close(Handle handle) override;
    bool isLocalDisk(const QString& directory) override;

    // Whether a file system with the statfs type `magic` and the mount type `mountType`
    // ("ext4", "fuse.sshfs", "virtiofs", ...; may be empty) is a local disk. Network file
    // systems, removable media, every FUSE mount and shared folders of virtual machines are
    // not: their directories are polled, and their files must stand still before they are
    // taken.
    static bool isLocalFileSystem(unsigned long magic, const QString& mountType);
    // The type of the mount that holds `canonicalPath`, read from the text of
    // /proc/self/mountinfo; empty when no mount holds it.
    static QString mountTypeOf(const QString& canonicalPath, const QByteArray& mountInfo);

private:
    struct Watch
    {
        bool signalled = false; // a change was reported or recorded and next() has not cleared it
        bool gone = false;      // the directory was removed or moved away
        QByteArray path;        // the directory's name, and the directory it named
        dev_t device = 0;
        ino_t inode = 0;
    };

    std::mutex m_mutex;
    std::unordered_map<Handle, Watch> m_watches; // by inotify descriptor
};

// "Open without sharing" through a write lease: the kernel grants one only while no other
// open file description exists on the file in any process, this process's others
// included. A spool file is opened once, without following links and without waiting on
// a pipe, and is lease-tested, identified, read and finally deleted through that one
// descriptor. Where no lease can be had (another user's file without CAP_LEASE, a file
// system without leases) every process's descriptors in /proc are compared with the file
// instead; processes of other users are only seen with the privilege to look into their
// /proc/<pid>/fd. Main thread only: the lease's break signal goes to the whole process
// (see LeaseFileAccess.cpp).
class LeaseFileAccess : public IFileAccess
{
public:
    Opened openExclusive(const QByteArray& path) override;
    // Whether another process holds the handle's file open now.
    bool heldElsewhere(const SpoolHandle& handle);
    std::optional<FileIdentity> identify(const QByteArray& path) override;
    RemoveStatus removeIfUnchanged(const QByteArray& path, SpoolHandle& handle) override;
    void restoreSetAside(const QByteArray& directory) override;
    // Runs in removeIfUnchanged once the write lease is held, before the file is looked at:
    // a test's writer may begin opening the file there.
    std::function<void()> whileLeased;
    // Run in removeIfUnchanged right before the file found unchanged under its name is
    // moved to a hidden name to be deleted, and right after: a test may put another file
    // under the name there.
    std::function<void()> beforeMove;
    std::function<void()> afterMove;
    // Whether any process, this one included, has a descriptor open on the file (the same
    // device and inode); false when the file cannot be found. The fallback when leases fail.
    static bool openInAnyProcess(const QString& path);

private:
    // Deletes the checked file by moving it to a hidden name of ours first and deleting
    // that name only if it holds the very file of the handle, unchanged; anything else
    // moved there is given back a spool name. `leased`: we hold the file's write lease.
    RemoveStatus removeByMoving(const QByteArray& path, const SpoolHandle& owned, bool leased);
};

class QLocalServer;

// The running process: its program file from /proc/self/exe, its environment, and the
// current directory when this object was made (make it at start-up). Any thread, except
// listening for later starts, which belongs to the main thread and its event loop.
class ProcessEnvironment : public IProcessEnvironment
{
public:
    ProcessEnvironment();
    ~ProcessEnvironment() override; // releases the locks
    ProcessEnvironment(const ProcessEnvironment&) = delete;
    ProcessEnvironment& operator=(const ProcessEnvironment&) = delete;
    QString programDirectory() const override { return m_programDirectory; }
    QString environmentVariable(const QString& name) const override;
    QString startupDirectory() const override { return m_startupDirectory; }
    // An exclusive flock on "pagello.lock" in $XDG_RUNTIME_DIR, or without one in
    // /tmp/pagello-<uid>, kept until the process ends.
    bool lockSingleInstance() override;
    // An fcntl lock of the open file description (the process's on kernels without those)
    // on the hidden ".pagello.lock" in the spool directory, kept until the process ends:
    // a write lock, or a read lock where the file may only be read.
    bool lockSpoolDirectory(const QString& directory) override;
    // A local socket "pagello.socket" beside the held lock, mode 0600, put in place of
    // whatever socket a spooler that ended without removing it left there, and removed
    // when this object goes. Each start writes one message, as its decimal number and a
    // line feed.
    bool listenForLaterStarts(std::function<void(unsigned message)> receiver) override;
    bool messageRunningSpooler(unsigned message) override;
    // `path`, made with mode 0700 when missing, if it is a directory of our own that nobody
    // else may enter; empty otherwise. Where everyone may make names (/tmp), another user
    // could have made it first.
    static QString privateDirectory(const QString& path);

private:
    // The directory of the user's lock; empty where there is none.
    static QString lockDirectory();

    QString m_programDirectory;
    QString m_startupDirectory;
    int m_lock = -1;
    QString m_lockDirectory; // where the held lock lies
    int m_spoolLock = -1;
    std::unique_ptr<QLocalServer> m_server;
    dev_t m_socketDevice = 0; // the socket file this process made, removed only while it is that one
    ino_t m_socketInode = 0;
};
