#pragma once

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

// What makes a file on disk one document: where it lives (device and inode) and what it
// holds (size and modification time). A file that keeps its device and inode but changed
// its size or time was rewritten: it is a new document.
struct FileIdentity
{
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = -1;
    std::int64_t modifiedNs = 0; // modification time, nanoseconds since the epoch

    bool operator==(const FileIdentity&) const = default;
    // The same file on disk, whatever it holds now.
    bool sameFile(const FileIdentity& other) const { return device == other.device && inode == other.inode; }
};

// For unordered containers of identities.
struct FileIdentityHash
{
    std::size_t operator()(const FileIdentity& f) const noexcept
    {
        return std::hash<std::uint64_t>()((f.inode * 0x9E3779B97F4A7C15ULL) ^ f.device ^
                                          static_cast<std::uint64_t>(f.modifiedNs + f.size));
    }
};

// A spool file opened once, for reading: it is read, lease-tested and identified through
// this one descriptor, so a link or another file put in its place later is never seen.
// Owns the descriptor; moves, never copies.
class SpoolHandle
{
public:
    SpoolHandle() = default;
    SpoolHandle(int fd, const FileIdentity& identity)
        : m_fd(fd)
        , m_identity(identity)
    {}
    ~SpoolHandle() { close(); }
    SpoolHandle(SpoolHandle&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
        , m_identity(other.m_identity)
    {}
    SpoolHandle& operator=(SpoolHandle&& other) noexcept
    {
        if (this != &other) {
            close();
            m_fd = std::exchange(other.m_fd, -1);
            m_identity = other.m_identity;
        }
        return *this;
    }
    SpoolHandle(const SpoolHandle&) = delete;
    SpoolHandle& operator=(const SpoolHandle&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    // The identity the file had when it was opened.
    const FileIdentity& identity() const { return m_identity; }
    void close();

private:
    int m_fd = -1;
    FileIdentity m_identity;
};

// Spool files on disk, named by the bytes the directory gave. Main thread only.
class IFileAccess
{
public:
    enum class OpenStatus
    {
        Opened,     // a regular file that no other process holds open
        InUse,      // another process holds it open: its writer has not finished
        Missing,    // no such file
        NotRegular, // a link, directory, device or pipe: never a spool file
        Unreadable  // it cannot be opened for reading (permissions, I/O error)
    };
    struct Opened
    {
        OpenStatus status = OpenStatus::Missing;
        SpoolHandle handle; // open only with OpenStatus::Opened
    };

    enum class RemoveStatus
    {
        Removed, // it was the same unchanged file, held by nobody, and it is gone now
        Changed, // the name holds another file, or the file was rewritten since it was opened
        InUse,   // another process holds the file open again
        Gone,    // nothing is left under the name (the file was moved or deleted)
        Failed   // it could not be deleted (a read-only directory, say)
    };

    virtual ~IFileAccess() = default;

    // Opens a spool file for exclusive use: without following a link, without waiting on
    // a pipe, and only a regular file that no other process holds open. The handle stays
    // open; the file is read through it.
    virtual Opened openExclusive(const QByteArray& path) = 0;
    // The identity of the regular file under the name now, without following a link;
    // nothing when there is none.
    virtual std::optional<FileIdentity> identify(const QByteArray& path) = 0;
    // Deletes the file under the name only if it is still the very file of the handle,
    // unchanged since the handle was opened and held by no other process: the check and
    // the deletion are made while holding the file's write lease, so no writer can open
    // it in between. Closes the handle in every case.
    virtual RemoveStatus removeIfUnchanged(const QByteArray& path, SpoolHandle& handle) = 0;
    // Puts every file that a deletion cut short (the program ended while it had the file
    // under a hidden name of its own) back under a spool file name in the directory: it
    // may be a document another program had put under the name. One the journal knows as
    // printed is then only deleted.
    virtual void restoreSetAside(const QByteArray& directory) { (void)directory; }
};

struct stat;
// The identity a stat result describes.
FileIdentity fileIdentity(const struct stat& info);
// The identity of an open descriptor's file; nothing when it cannot be looked at.
std::optional<FileIdentity> descriptorIdentity(int fd);
// The identity of the regular file under a name, without following a link; nothing when
// there is none.
std::optional<FileIdentity> nameIdentity(const QByteArray& path);
