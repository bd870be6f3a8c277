#pragma once

#include <QString>

// Change notifications on a directory, and the kind of disk it lies on. A handle is
// signalled once something changed in the directory itself (not in its subdirectories):
// a file or directory created, deleted or renamed, attributes changed, a file written
// or closed after writing. Once signalled it stays so until it is re-armed; changes
// that happen meanwhile are kept and signal again at once. Safe to call from one
// worker thread; a handle belongs to the thread that requested it.
class IChangeNotifications
{
public:
    using Handle = int;
    static constexpr Handle kInvalid = -1;
    enum class WaitResult
    {
        Signalled,
        Timeout,
        Failed
    };

    virtual ~IChangeNotifications() = default;

    // A handle on the directory, or kInvalid when it cannot be watched (missing, not a
    // directory, no access).
    virtual Handle first(const QString& directory) = 0;
    // Waits at most timeoutMs for the handle to be signalled.
    virtual WaitResult wait(Handle handle, int timeoutMs) = 0;
    // Re-arms a handle for the next change; false when the directory can no longer be
    // watched (it was removed or moved away), and the handle is then useless.
    virtual bool next(Handle handle) = 0;
    virtual void close(Handle handle) = 0;

    // True when the directory lies on a local disk, where notifications see every change;
    // false on a network share or removable or optical media, which are polled instead.
    // A directory that does not exist yet is judged by the nearest existing parent.
    virtual bool isLocalDisk(const QString& directory) = 0;
};
