#include "LinuxFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_MODIFY |
                                     IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// Every FUSE mount reports this number, virtiofs too.
constexpr unsigned long kFuseMagic = 0x65735546;

// File systems whose directories are polled: inotify never sees the changes another
// machine makes on a share, and removable or optical media come and go under a path.
struct FileSystemType
{
    unsigned long magic;
    const char* name;
};
constexpr FileSystemType kPolledFileSystems[] = {
    {0x6969, "nfs"},      {0x517B, "smbfs"},    {0xFF534D42, "cifs"},    {0xFE534D42, "smb2"},
    {0x01021997, "9p"},   {0x00C36400, "ceph"}, {0x5346414F, "openafs"}, {0x6B414653, "kafs"},
    {0x73757245, "coda"}, {0x564C, "ncp"},      {0x9660, "iso9660"},     {0x15013346, "udf"},
};

// A FUSE file system of any kind, and a shared folder of a virtual machine (virtiofs, 9p),
// is polled as well: it is a view that need not see the writers of what it shows. Through
// a bindfs view of a folder, or a shared folder that a program on the host or in a guest
// writes, the write lease is blind to a writer holding the file open on the other side:
// only a file that stood still is taken from them. These mount types count by their name.
constexpr const char* kPolledMountTypes[] = {"fuse", "fuseblk", "virtiofs", "9p"};

// Reads every queued event; the number read, or -1 when the descriptor failed. Sets
// `gone` when the directory itself was removed, moved away or unmounted.
int drainEvents(int fd, bool& gone)
{
    alignas(inotify_event) char buffer[4096]; // holds at least one event with the longest name
    int count = 0;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK ? count : -1;
        if (got == 0)
            return -1;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            // A queue overflow only means that changes happened: the handle stays usable.
            if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))
                gone = true;
            ++count;
            at += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
}

// Mount points in mountinfo escape space, tab, newline and backslash as \ooo.
QString unescapeMountPoint(const QByteArray& field)
{
    QByteArray out;
    for (qsizetype i = 0; i < field.size(); ++i) {
        const auto octal = [&](qsizetype k) { return k < field.size() && field[k] >= '0' && field[k] <= '7'; };
        if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return QFile::decodeName(out);
}

} // namespace

InotifyNotifications::~InotifyNotifications()
{
    for (const auto& [fd, watch] : m_watches)
        ::close(fd);
}

IChangeNotifications::Handle InotifyNotifications::first(const QString& directory)
{
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return kInvalid;
    const QByteArray path = QFile::encodeName(directory);
    struct stat info
    {
    };
    if (::inotify_add_watch(fd, path.constData(), kWatchMask) < 0 || ::stat(path.constData(), &info) != 0) {
        ::close(fd);
        return kInvalid;
    }
    std::lock_guard lock(m_mutex);
    m_watches[fd] = Watch{false, false, path, info.st_dev, info.st_ino};
    return fd;
}

IChangeNotifications::WaitResult InotifyNotifications::wait(Handle handle, int timeoutMs)
{
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_watches.find(handle);
        if (it == m_watches.end())
            return WaitResult::Failed;
        if (it->second.signalled)
            return WaitResult::Signalled;
    }
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    pollfd pfd{handle, POLLIN, 0};
    int remaining = timeoutMs;
    for (;;) {
        const int ready = ::poll(&pfd, 1, remaining);
        if (ready > 0)
            break;
        if (ready == 0)
            return WaitResult::Timeout;
        if (errno != EINTR)
            return WaitResult::Failed;
        if (timeoutMs >= 0) // a negative timeout waits for ever
            remaining = static_cast<int>(
                std::max<milliseconds::rep>(0, duration_cast<milliseconds>(deadline - steady_clock::now()).count()));
    }
    if (!(pfd.revents & POLLIN))
        return WaitResult::Failed;

    std::lock_guard lock(m_mutex);
    const auto it = m_watches.find(handle);
    if (it == m_watches.end()) // closed by another thread meanwhile
        return WaitResult::Failed;
    // The events read now are the ones this signal reports; later ones are next()'s to find.
    if (drainEvents(handle, it->second.gone) < 0)
        return WaitResult::Failed;
    it->second.signalled = true;
    return WaitResult::Signalled;
}

bool InotifyNotifications::next(Handle handle)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_watches.find(handle);
    if (it == m_watches.end())
        return false;
    Watch& watch = it->second;
    if (watch.gone)
        return false;
    // Changes made since the last reported signal are not lost: they leave the handle
    // signalled, so the next wait returns at once.
    const int arrived = drainEvents(handle, watch.gone);
    if (arrived < 0)
        watch.gone = true;
    // The kernel reports a removed directory only once nothing holds it any more: a file in
    // it still open (a writer's, the spooler's own lock) keeps it for as long. The name is
    // looked at too, so that a directory made again under it is watched in its place.
    struct stat info
    {
    };
    if (!watch.gone &&
        (::stat(watch.path.constData(), &info) != 0 || info.st_dev != watch.device || info.st_ino != watch.inode))
        watch.gone = true;
    watch.signalled = arrived > 0;
    return !watch.gone;
}

void InotifyNotifications::close(Handle handle)
{
    std::lock_guard lock(m_mutex);
    // Only descriptors this object opened are closed; close() is not retried on EINTR,
    // since Linux has released the descriptor already and it may have been reused.
    if (m_watches.erase(handle) > 0)
        ::close(handle);
}

bool InotifyNotifications::isLocalDisk(const QString& directory)
{
    QString path = QDir::cleanPath(QDir(QDir::currentPath()).absoluteFilePath(directory));
    struct statfs fs
    {
    };
    while (::statfs(QFile::encodeName(path).constData(), &fs) != 0) {
        if (errno == EINTR)
            continue;
        // A directory that does not exist yet will be made on its nearest existing parent;
        // anything else (no access, a loop) cannot be judged, and polling sees every change.
        if ((errno != ENOENT && errno != ENOTDIR) || path == QLatin1String("/"))
            return false;
        path = QFileInfo(path).path();
    }
    // f_type is a signed word: a magic number with the top bit set may come sign-extended.
    const unsigned long magic = static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFUL;
    if (!isLocalFileSystem(magic, QString()))
        return false;
    // The mount's type is asked as well: it names a FUSE or shared-folder mount whatever
    // number the kernel reports for it. Polling is the safe side of a wrong guess.
    QString mountType;
    QFile mountInfo(QStringLiteral("/proc/self/mountinfo"));
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (mountInfo.open(QIODevice::ReadOnly))
        mountType = mountTypeOf(canonical.isEmpty() ? path : canonical, mountInfo.readAll());
    return isLocalFileSystem(magic, mountType);
}

bool InotifyNotifications::isLocalFileSystem(unsigned long magic, const QString& mountType)
{
    magic &= 0xFFFFFFFFUL;
    for (const FileSystemType& type : kPolledFileSystems) {
        if (type.magic == magic)
            return false;
    }
    if (magic == kFuseMagic)
        return false;
    for (const char* type : kPolledMountTypes) {
        if (mountType == QLatin1String(type))
            return false;
    }
    return !mountType.startsWith(QLatin1String("fuse."));
}

QString InotifyNotifications::mountTypeOf(const QString& canonicalPath, const QByteArray& mountInfo)
{
    // A line: id parent major:minor root mount-point options [optional fields] - type source options
    QString type;
    qsizetype longest = -1;
    for (const QByteArray& line : mountInfo.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf(QByteArray("-"));
        if (dash < 6 || dash + 1 >= fields.size())
            continue;
        const QString point = unescapeMountPoint(fields[4]);
        const bool holds =
            point == QLatin1String("/") || canonicalPath == point || canonicalPath.startsWith(point + QLatin1Char('/'));
        // Later lines were mounted later: on the same mount point they cover the earlier ones.
        if (holds && point.size() >= longest) {
            longest = point.size();
            type = QString::fromUtf8(fields[dash + 1]);
        }
    }
    return type;
}
