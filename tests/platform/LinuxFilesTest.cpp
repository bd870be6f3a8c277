#include "platform/linux/LinuxFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

namespace {

using Result = IChangeNotifications::WaitResult;

void writeFile(const QString& path, const QByteArray& bytes, QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile file(path);
    ASSERT_TRUE(file.open(mode)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// A temporary directory under watch.
class InotifyNotificationsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_handle = m_notifications.first(m_dir.path());
        ASSERT_NE(m_handle, IChangeNotifications::kInvalid);
    }
    void TearDown() override { m_notifications.close(m_handle); }
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    QTemporaryDir m_dir;
    InotifyNotifications m_notifications;
    IChangeNotifications::Handle m_handle = IChangeNotifications::kInvalid;
};

TEST_F(InotifyNotificationsTest, EachChangeSignalsOnceAndRearms)
{
    const struct
    {
        const char* change;
        std::function<void()> make;
    } changes[] = {
        {"file created", [&] { writeFile(path("A.PRN"), "x"); }},
        {"file appended", [&] { writeFile(path("A.PRN"), "y", QIODevice::Append); }},
        {"file renamed", [&] { ASSERT_TRUE(QFile::rename(path("A.PRN"), path("B.PRN"))); }},
        {"attributes changed", [&] { ASSERT_TRUE(QFile::setPermissions(path("B.PRN"), QFile::ReadOwner)); }},
        {"file deleted", [&] { ASSERT_TRUE(QFile::remove(path("B.PRN"))); }},
        {"subdirectory created", [&] { ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("sub"))); }},
        {"subdirectory renamed", [&] { ASSERT_TRUE(QDir(m_dir.path()).rename(QStringLiteral("sub"), "sub2")); }},
        {"subdirectory removed", [&] { ASSERT_TRUE(QDir(m_dir.path()).rmdir(QStringLiteral("sub2"))); }},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.change);
        change.make();
        EXPECT_EQ(m_notifications.wait(m_handle, 2000), Result::Signalled);
        EXPECT_EQ(m_notifications.wait(m_handle, 0), Result::Signalled) << "stays signalled until re-armed";
        EXPECT_TRUE(m_notifications.next(m_handle));
        EXPECT_EQ(m_notifications.wait(m_handle, 50), Result::Timeout);
    }
}

TEST_F(InotifyNotificationsTest, ChangeInsideSubdirectoryDoesNotSignal)
{
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("sub")));
    ASSERT_EQ(m_notifications.wait(m_handle, 2000), Result::Signalled);
    ASSERT_TRUE(m_notifications.next(m_handle));

    writeFile(path("sub/A.PRN"), "x");
    ASSERT_TRUE(QFile::rename(path("sub/A.PRN"), path("sub/B.PRN")));
    ASSERT_TRUE(QFile::remove(path("sub/B.PRN")));
    EXPECT_EQ(m_notifications.wait(m_handle, 100), Result::Timeout);
}

TEST_F(InotifyNotificationsTest, ChangeBeforeRearmSignalsAgainAfterIt)
{
    writeFile(path("A.PRN"), "x");
    ASSERT_EQ(m_notifications.wait(m_handle, 2000), Result::Signalled);
    writeFile(path("B.PRN"), "x"); // while the first change is being handled

    ASSERT_TRUE(m_notifications.next(m_handle));
    EXPECT_EQ(m_notifications.wait(m_handle, 0), Result::Signalled);
    ASSERT_TRUE(m_notifications.next(m_handle));
    EXPECT_EQ(m_notifications.wait(m_handle, 50), Result::Timeout);
}

TEST(InotifyNotifications, DirectoryRemovedOrMovedAwayEndsTheWatch)
{
    const struct
    {
        const char* change;
        std::function<bool(QDir&)> make;
    } changes[] = {
        {"removed", [](QDir& parent) { return parent.rmdir(QStringLiteral("spool")); }},
        {"moved away", [](QDir& parent) { return parent.rename(QStringLiteral("spool"), QStringLiteral("moved")); }},
        // A file inside still open (a writer's, or the spooler's own lock) keeps the kernel
        // from reporting the directory's end; one made again under the name is another.
        {"removed while a file in it is open, and made again",
         [](QDir& parent) {
             static QFile held;
             held.setFileName(parent.filePath(QStringLiteral("spool/held")));
             return held.open(QIODevice::WriteOnly) && QFile::remove(held.fileName()) &&
                    parent.rmdir(QStringLiteral("spool")) && parent.mkdir(QStringLiteral("spool"));
         }},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.change);
        QTemporaryDir dir;
        QDir parent(dir.path());
        ASSERT_TRUE(parent.mkdir(QStringLiteral("spool")));
        InotifyNotifications notifications;
        const auto handle = notifications.first(parent.filePath(QStringLiteral("spool")));
        ASSERT_NE(handle, IChangeNotifications::kInvalid);

        ASSERT_TRUE(change.make(parent));
        EXPECT_EQ(notifications.wait(handle, 2000), Result::Signalled);
        EXPECT_FALSE(notifications.next(handle));
        notifications.close(handle);
        EXPECT_EQ(notifications.wait(handle, 0), Result::Failed) << "a closed handle";
    }
}

TEST(InotifyNotifications, OnlyExistingDirectoriesCanBeWatched)
{
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("A.PRN")), "x");
    InotifyNotifications notifications;
    EXPECT_EQ(notifications.first(dir.filePath(QStringLiteral("missing"))), IChangeNotifications::kInvalid);
    EXPECT_EQ(notifications.first(dir.filePath(QStringLiteral("A.PRN"))), IChangeNotifications::kInvalid);
    EXPECT_EQ(notifications.first(QString()), IChangeNotifications::kInvalid);
}

TEST(DriveType, LocalDirectoryAndItsMissingChildrenAreLocal)
{
    QTemporaryDir dir;
    InotifyNotifications notifications;
    EXPECT_TRUE(notifications.isLocalDisk(dir.path()));
    EXPECT_TRUE(notifications.isLocalDisk(dir.filePath(QStringLiteral("not/made/yet"))));
    // Only must not crash: what /proc and an empty path are judged does not matter.
    notifications.isLocalDisk(QStringLiteral("/proc/self"));
    notifications.isLocalDisk(QString());
}

TEST(DriveType, NetworkAndOpticalFileSystemsArePolled)
{
    constexpr unsigned long fuse = 0x65735546;
    const struct
    {
        unsigned long magic;
        const char* mountType;
        bool local;
    } cases[] = {
        {0xEF53, "ext4", true},
        {0x01021994, "tmpfs", true},
        {0x794C7630, "overlay", true},
        {0x9123683E, "btrfs", true},
        {0x58465342, "xfs", true},
        {0x6969, "nfs4", false},
        {0xFF534D42, "cifs", false},
        {0xFE534D42, "smb3", false},
        {0x01021997, "9p", false},
        {0x00C36400, "ceph", false},
        {0x9660, "iso9660", false},
        {0x15013346, "udf", false},
        // statfs's f_type is signed: a sign-extended magic is still the same file system.
        {static_cast<unsigned long>(static_cast<long>(static_cast<int>(0xFF534D42))), "cifs", false},
        {fuse, "fuse.sshfs", false},
        {fuse, "fuse.rclone", false},
        {fuse, "fuse.gcsfuse", false},
        // A FUSE view need not see the writers of what it shows (bindfs of a local folder),
        // nor a virtual machine's shared folder those on the other side: all are polled.
        {fuse, "fuse", false},
        {fuse, "fuseblk", false},
        {fuse, "fuse.bindfs", false},
        {fuse, "virtiofs", false},
        {fuse, "", false},
        {0x01021997, "", false},
        {0xEF53, "9p", false},
        {0xEF53, "fuse.sshfs", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.magic) + " " + c.mountType);
        EXPECT_EQ(InotifyNotifications::isLocalFileSystem(c.magic, QString::fromLatin1(c.mountType)), c.local);
    }
}

TEST(DriveType, MountOfAPathIsTheLongestMountPointHoldingIt)
{
    const QByteArray mountInfo = "22 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
                                 "30 22 0:40 / /mnt rw shared:1 - tmpfs tmpfs rw\n"
                                 "31 30 0:41 / /mnt/share rw - fuse.sshfs host: rw,user_id=0\n"
                                 "32 30 0:42 / /mnt/my\\040files rw master:2 shared:3 - fuse.rclone r: rw\n"
                                 "33 31 0:43 / /mnt/share rw - nfs4 srv:/x rw\n";
    const struct
    {
        const char* path;
        const char* type;
    } cases[] = {
        {"/home/user/tisk", "ext4"},           {"/mnt", "tmpfs"},
        {"/mnt/sharetisk", "tmpfs"},           {"/mnt/share/tisk", "nfs4"}, // mounted over the sshfs mount
        {"/mnt/my files/tisk", "fuse.rclone"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(InotifyNotifications::mountTypeOf(QString::fromUtf8(c.path), mountInfo), QString::fromLatin1(c.type));
    }
}

// A real FUSE view of a local directory, made by bindfs: the lease cannot see a writer that
// holds a file open on the directory beneath, so the view counts as a share. Skipped where
// bindfs is not installed or FUSE cannot be mounted (no /dev/fuse in a container).
TEST(DriveType, FuseViewOfALocalDirectoryIsPolled)
{
    const QString bindfs = QStandardPaths::findExecutable(QStringLiteral("bindfs"));
    if (bindfs.isEmpty())
        GTEST_SKIP() << "bindfs is not installed";
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source"));
    const QString view = dir.filePath(QStringLiteral("view"));
    ASSERT_TRUE(QDir().mkpath(source) && QDir().mkpath(view));
    QProcess mount;
    mount.start(bindfs, {source, view});
    if (!mount.waitForFinished(10000) || mount.exitCode() != 0)
        GTEST_SKIP() << "FUSE cannot be mounted here: " << mount.readAllStandardError().toStdString();
    // Unmounted before the directory goes, or its removal would reach through the view.
    const auto unmount = qScopeGuard([&] {
        if (QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), view}) != 0 &&
            QProcess::execute(QStringLiteral("fusermount"), {QStringLiteral("-u"), view}) != 0)
            QProcess::execute(QStringLiteral("umount"), {view});
    });
    InotifyNotifications notifications;
    EXPECT_TRUE(notifications.isLocalDisk(source));
    EXPECT_FALSE(notifications.isLocalDisk(view));
    EXPECT_FALSE(notifications.isLocalDisk(view + QStringLiteral("/not/made/yet")));
}

bool canHave(LeaseFileAccess& access, const QString& path)
{
    return access.openExclusive(QFile::encodeName(path)).status == IFileAccess::OpenStatus::Opened;
}

TEST(LeaseFileAccess, FileHeldByAnotherProcessIsInUseUntilItEnds)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("A.PRN"));
    writeFile(path, "x");
    // The child opens the file as descriptor 3, says so, and keeps it while it sleeps.
    for (const char* redirect : {"exec 3<\"$0\"", "exec 3>>\"$0\""}) {
        SCOPED_TRACE(redirect);
        QProcess child;
        child.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"), QString::fromLatin1(redirect) + "; echo open; exec sleep 30", path});
        ASSERT_TRUE(child.waitForReadyRead(5000));

        LeaseFileAccess access;
        EXPECT_FALSE(canHave(access, path));
        EXPECT_TRUE(LeaseFileAccess::openInAnyProcess(path));
        child.kill();
        ASSERT_TRUE(child.waitForFinished(5000));
        EXPECT_TRUE(canHave(access, path));
        EXPECT_FALSE(LeaseFileAccess::openInAnyProcess(path));
    }
}

// The kernel refuses the lease while any other descriptor is open on the file, ours too:
// a file this process still holds counts as in use.
TEST(LeaseFileAccess, FileWeHoldOpenOurselvesIsInUse)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("A.PRN"));
    writeFile(path, "x");
    LeaseFileAccess access;
    {
        QFile held(path);
        ASSERT_TRUE(held.open(QIODevice::ReadOnly));
        EXPECT_FALSE(canHave(access, path));
    }
    EXPECT_TRUE(canHave(access, path));
}

// A link, a pipe or a directory under a spool file's name is never opened as one, and
// opening a pipe does not wait for its writer.
TEST(LeaseFileAccess, OnlyARegularFileUnderTheNameItselfIsOpened)
{
    QTemporaryDir dir;
    const QString secret = dir.filePath(QStringLiteral("private.txt"));
    writeFile(secret, "not for printing");
    const QString fifo = dir.filePath(QStringLiteral("FIFO.PRN"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(secret, dir.filePath(QStringLiteral("LINK.PRN"))));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("nothing")), dir.filePath(QStringLiteral("DANGLING.PRN"))));
    using Status = IFileAccess::OpenStatus;
    const struct
    {
        const char* what;
        QString path;
        Status status;
    } cases[] = {
        {"missing file", dir.filePath(QStringLiteral("missing.prn")), Status::Missing},
        {"in a missing directory", dir.filePath(QStringLiteral("missing/A.PRN")), Status::Missing},
        {"directory", dir.path(), Status::NotRegular},
        {"pipe without a writer", fifo, Status::NotRegular},
        {"link to a private file", dir.filePath(QStringLiteral("LINK.PRN")), Status::NotRegular},
        {"link to nothing", dir.filePath(QStringLiteral("DANGLING.PRN")), Status::NotRegular},
    };
    LeaseFileAccess access;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const IFileAccess::Opened opened = access.openExclusive(QFile::encodeName(c.path));
        EXPECT_EQ(opened.status, c.status);
        EXPECT_FALSE(opened.handle.isOpen());
    }
    EXPECT_FALSE(LeaseFileAccess::openInAnyProcess(dir.filePath(QStringLiteral("missing.prn"))));
}

// Runs a shell command with the arguments as $0, $1, ... and waits for it to end.
void runShell(const QString& command, const QStringList& arguments)
{
    QProcess shell;
    shell.start(QStringLiteral("/bin/sh"), QStringList{QStringLiteral("-c"), command} + arguments);
    ASSERT_TRUE(shell.waitForFinished(10000));
    ASSERT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString();
}

// Every name in the directory with what it holds: a file's bytes, a link's target.
std::map<QString, QByteArray> contents(const QString& directory)
{
    std::map<QString, QByteArray> all;
    const QDir dir(directory);
    for (const QFileInfo& entry :
         dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)) {
        QFile file(entry.filePath());
        all[entry.fileName()] = entry.isSymLink()                ? "-> " + entry.symLinkTarget().toUtf8()
                                : file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                 : QByteArray("?");
    }
    return all;
}

// What another program may do to a spool file between its opening and its deletion: the
// file is deleted only when nothing happened to it, and otherwise nothing is touched.
TEST(LeaseFileAccess, FileIsDeletedOnlyWhenStillTheOneOpenedAndUnchanged)
{
    using Remove = IFileAccess::RemoveStatus;
    const struct
    {
        const char* change;
        const char* command; // $0 is X.PRN, $1 Y.PRN, $2 a private file
        Remove status;
    } cases[] = {
        {"nothing", "true", Remove::Removed},
        {"appended to", "printf ' more' >>\"$0\"", Remove::Changed},
        {"rewritten through its name", "printf new >\"$0\"", Remove::Changed},
        {"given another time", "touch -m -d @1000000000 \"$0\"", Remove::Changed},
        {"replaced by another file", "printf document >\"$0.new\" && mv \"$0.new\" \"$0\"", Remove::Changed},
        {"replaced by a link", "ln -s \"$2\" \"$0.new\" && mv \"$0.new\" \"$0\"", Remove::Changed},
        {"moved away", "mv \"$0\" \"$1\"", Remove::Gone},
        {"deleted", "rm \"$0\"", Remove::Gone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("X.PRN"));
        writeFile(path, "document");
        writeFile(dir.filePath(QStringLiteral("private.txt")), "private");
        LeaseFileAccess access;
        IFileAccess::Opened opened = access.openExclusive(QFile::encodeName(path));
        ASSERT_EQ(opened.status, IFileAccess::OpenStatus::Opened);

        runShell(QString::fromLatin1(c.command),
                 {path, dir.filePath(QStringLiteral("Y.PRN")), dir.filePath(QStringLiteral("private.txt"))});
        std::map<QString, QByteArray> expected = contents(dir.path());
        if (c.status == Remove::Removed)
            expected.erase(QStringLiteral("X.PRN"));
        EXPECT_EQ(access.removeIfUnchanged(QFile::encodeName(path), opened.handle), c.status);
        EXPECT_FALSE(opened.handle.isOpen());
        EXPECT_EQ(contents(dir.path()), expected);
    }
}

TEST(LeaseFileAccess, FileOpenedAgainByAnotherProcessIsNotDeleted)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("A.PRN"));
    const QByteArray name = QFile::encodeName(path);
    for (const char* redirect : {"exec 3<\"$0\"", "exec 3>>\"$0\""}) {
        SCOPED_TRACE(redirect);
        writeFile(path, "x");
        LeaseFileAccess access;
        IFileAccess::Opened opened = access.openExclusive(name);
        ASSERT_EQ(opened.status, IFileAccess::OpenStatus::Opened);
        EXPECT_FALSE(access.heldElsewhere(opened.handle)) << "our own descriptor does not count";
        QProcess child;
        child.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"), QString::fromLatin1(redirect) + "; echo open; exec sleep 30", path});
        ASSERT_TRUE(child.waitForReadyRead(5000));
        EXPECT_TRUE(access.heldElsewhere(opened.handle));
        EXPECT_EQ(access.removeIfUnchanged(name, opened.handle), IFileAccess::RemoveStatus::InUse);
        EXPECT_FALSE(opened.handle.isOpen());
        EXPECT_TRUE(QFile::exists(path));

        child.kill();
        ASSERT_TRUE(child.waitForFinished(5000));
        opened = access.openExclusive(name);
        ASSERT_EQ(opened.status, IFileAccess::OpenStatus::Opened);
        EXPECT_EQ(access.removeIfUnchanged(name, opened.handle), IFileAccess::RemoveStatus::Removed);
        EXPECT_FALSE(QFile::exists(path));
    }
}

// A writer that opens the file while it is being deleted waits for the lease with the
// file already found: deleting it then would leave the writer writing into a file
// without a name.
TEST(LeaseFileAccess, WriterThatOpensTheFileDuringItsDeletionKeepsIt)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("A.PRN"));
    const QByteArray name = QFile::encodeName(path);
    writeFile(path, "document");
    LeaseFileAccess access;
    IFileAccess::Opened opened = access.openExclusive(name);
    ASSERT_EQ(opened.status, IFileAccess::OpenStatus::Opened);
    const int fd = opened.handle.fd();
    QProcess writer;
    access.whileLeased = [&] {
        writer.start(QStringLiteral("/bin/sh"),
                     {QStringLiteral("-c"), QStringLiteral("printf ' more' >>\"$0\""), path});
        ASSERT_TRUE(writer.waitForStarted(5000));
        // Its open has found the file and waits for the lease to be let go.
        QElapsedTimer timer;
        timer.start();
        while (::fcntl(fd, F_GETLEASE) == F_WRLCK && !timer.hasExpired(5000))
            QThread::msleep(5);
    };
    EXPECT_EQ(access.removeIfUnchanged(name, opened.handle), IFileAccess::RemoveStatus::InUse);
    ASSERT_TRUE(writer.waitForFinished(5000));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "document more");
}

// Another file renamed over the name after the checks opens nothing, so the lease cannot
// tell: it must not be deleted in the printed file's place, nor lost if yet another file
// takes the name meanwhile. Nothing hidden is left behind.
// Files a deletion cut short left under hidden names go back under their own names, or
// beside them where those are taken, or a name of the spooler's where theirs did not fit.
TEST(LeaseFileAccess, FilesADeletionCutShortLeftHiddenArePutBack)
{
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("A.PRN")), "new A");
    writeFile(dir.filePath(QStringLiteral(".pagello-deleting-Ab12Cd34.A.PRN")), "old A");
    writeFile(dir.filePath(QStringLiteral(".pagello-deleting-Zz99Yy88.b.prn")), "b");
    writeFile(dir.filePath(QStringLiteral(".pagello-deleting-Qq11Ww22")), "long name");
    writeFile(dir.filePath(QStringLiteral(".hidden")), "not ours");
    LeaseFileAccess().restoreSetAside(QFile::encodeName(dir.path()));
    const QDir listing(dir.path());
    EXPECT_EQ(listing.entryList(QDir::Files | QDir::Hidden, QDir::Name),
              (QStringList{QStringLiteral(".hidden"), QStringLiteral("A-1.PRN"), QStringLiteral("A.PRN"),
                           QStringLiteral("PAGELLO.PRN"), QStringLiteral("b.prn")}));
    QFile restored(dir.filePath(QStringLiteral("A-1.PRN")));
    ASSERT_TRUE(restored.open(QIODevice::ReadOnly));
    EXPECT_EQ(restored.readAll(), "old A");
}

TEST(LeaseFileAccess, FileRenamedOverTheNameAtItsDeletionIsKept)
{
    using Remove = IFileAccess::RemoveStatus;
    const QString replace = QStringLiteral("printf other >\"$0.new\" && mv \"$0.new\" \"$0\"");
    const QString takeName = QStringLiteral("printf third >\"$0\"");
    const struct
    {
        const char* change;
        QString beforeMove; // $0 is X.PRN, $1 Y.PRN
        QString afterMove;
        Remove status;
        std::map<QString, QByteArray> left; // besides "X-1.PRN", which is there from the start
    } cases[] = {
        {"nothing", {}, {}, Remove::Removed, {}},
        {"another file renamed over the name", replace, {}, Remove::Changed, {{"X.PRN", "other"}}},
        {"the name taken again once the other file was moved",
         replace,
         takeName,
         Remove::Changed,
         {{"X.PRN", "third"}, {"X-2.PRN", "other"}}},
        {"the name taken once the printed file was moved", {}, takeName, Remove::Removed, {{"X.PRN", "third"}}},
        {"moved away", QStringLiteral("mv \"$0\" \"$1\""), {}, Remove::Gone, {{"Y.PRN", "document"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("X.PRN"));
        const QStringList arguments{path, dir.filePath(QStringLiteral("Y.PRN"))};
        writeFile(path, "document");
        writeFile(dir.filePath(QStringLiteral("X-1.PRN")), "earlier");
        LeaseFileAccess access;
        IFileAccess::Opened opened = access.openExclusive(QFile::encodeName(path));
        ASSERT_EQ(opened.status, IFileAccess::OpenStatus::Opened);
        const auto shell = [&](const QString& command) -> std::function<void()> {
            if (command.isEmpty())
                return {};
            return [command, arguments] { runShell(command, arguments); };
        };
        access.beforeMove = shell(c.beforeMove);
        access.afterMove = shell(c.afterMove);

        EXPECT_EQ(access.removeIfUnchanged(QFile::encodeName(path), opened.handle), c.status);
        std::map<QString, QByteArray> expected = c.left;
        expected[QStringLiteral("X-1.PRN")] = "earlier";
        EXPECT_EQ(contents(dir.path()), expected);
    }
}

// The opened file is read, whatever is put under its name afterwards.
TEST(LeaseFileAccess, OpenedFileIsReadEvenWhenAnotherTakesItsName)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("A.PRN"));
    writeFile(path, "first document");
    LeaseFileAccess access;
    IFileAccess::Opened opened = access.openExclusive(QFile::encodeName(path));
    ASSERT_EQ(opened.status, IFileAccess::OpenStatus::Opened);
    runShell(QStringLiteral("printf second >\"$0.new\" && mv \"$0.new\" \"$0\""), {path});

    char bytes[64] = {};
    EXPECT_EQ(
        std::string_view(bytes, std::size_t(std::max<ssize_t>(0, ::read(opened.handle.fd(), bytes, sizeof bytes)))),
        "first document");
    EXPECT_EQ(descriptorIdentity(opened.handle.fd()), opened.handle.identity());
    const std::optional<FileIdentity> named = access.identify(QFile::encodeName(path));
    ASSERT_TRUE(named);
    EXPECT_FALSE(named->sameFile(opened.handle.identity()));
}

TEST(ProcessEnvironment, ProgramDirectoryHoldsTheRunningProgram)
{
    const ProcessEnvironment environment;
    const QString directory = environment.programDirectory();
    EXPECT_EQ(directory, QFileInfo(QCoreApplication::applicationDirPath()).canonicalFilePath());
    EXPECT_TRUE(QFileInfo(directory + QStringLiteral("/pagello_platform_tests")).isFile()) << directory.toStdString();
}

TEST(ProcessEnvironment, StartupDirectoryIsTheCurrentDirectoryWhenMade)
{
    QTemporaryDir dir;
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    const ProcessEnvironment environment;
    ASSERT_TRUE(QDir::setCurrent(before));
    EXPECT_EQ(environment.startupDirectory(), QFileInfo(dir.path()).canonicalFilePath());
}

TEST(ProcessEnvironment, OnlyOneHoldsTheSpoolerLockAtATime)
{
    QTemporaryDir runtime;
    QTemporaryDir spool;
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    const auto restore = qScopeGuard([&] {
        if (saved.isNull())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", saved);
    });
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    {
        ProcessEnvironment first;
        ProcessEnvironment second;
        EXPECT_TRUE(first.lockSingleInstance());
        EXPECT_TRUE(first.lockSingleInstance()) << "held already";
        EXPECT_FALSE(second.lockSingleInstance());
        EXPECT_TRUE(QFileInfo::exists(runtime.filePath(QStringLiteral("pagello.lock"))));
    }
    // Released with its holder. Without a runtime directory the lock lives in a private
    // directory of the user's own, never beside the spool directory, where another user
    // could take it first.
    qunsetenv("XDG_RUNTIME_DIR");
    {
        ProcessEnvironment first;
        ProcessEnvironment second;
        if (!first.lockSingleInstance())
            GTEST_SKIP() << "a spooler of this user without a runtime directory runs on this machine";
        EXPECT_FALSE(second.lockSingleInstance());
        const QString directory = QStringLiteral("/tmp/pagello-%1").arg(::geteuid());
        EXPECT_TRUE(QFileInfo::exists(directory + QStringLiteral("/pagello.lock")));
        EXPECT_EQ(ProcessEnvironment::privateDirectory(directory), directory);
        EXPECT_FALSE(QFileInfo::exists(spool.filePath(QStringLiteral("pagello.lock"))));
    }
}

// Later starts reach the holder of the lock through a socket beside it that only the user
// may use. A socket a killed spooler left there is replaced, anything else under the name is
// left alone, and the holder's socket goes with it.
TEST(ProcessEnvironment, LaterStartsReachTheLockHolderThroughItsSocket)
{
    QTemporaryDir runtime;
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    const auto restore = qScopeGuard([&] {
        if (saved.isNull())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", saved);
    });
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    const QByteArray socketPath = QFile::encodeName(runtime.filePath(QStringLiteral("pagello.socket")));
    const auto fileAt = [&]() -> std::optional<struct stat>
    {
        struct stat info
        {
        };
        if (::lstat(socketPath.constData(), &info) != 0)
            return std::nullopt;
        return info;
    };
    // Left by a spooler that was killed: nobody listens on it.
    const int left = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
    ASSERT_EQ(::bind(left, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(left);
    const ino_t stale = fileAt()->st_ino;
    {
        ProcessEnvironment later;
        EXPECT_FALSE(later.messageRunningSpooler(0x400 + 101)) << "nobody listens";
        ProcessEnvironment running;
        std::vector<unsigned> taken;
        const auto take = [&](unsigned message) { taken.push_back(message); };
        EXPECT_FALSE(running.listenForLaterStarts(take)) << "only the lock's holder listens";
        ASSERT_TRUE(running.lockSingleInstance());
        ASSERT_TRUE(running.listenForLaterStarts(take));
        const std::optional<struct stat> made = fileAt();
        ASSERT_TRUE(made);
        EXPECT_TRUE(S_ISSOCK(made->st_mode));
        EXPECT_NE(made->st_ino, stale);
        EXPECT_EQ(made->st_mode & 07777, 0600u);
        EXPECT_EQ(QDir(runtime.path()).entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot),
                  (QStringList{QStringLiteral("pagello.lock"), QStringLiteral("pagello.socket")}))
            << "the name the socket was made under is gone";

        EXPECT_FALSE(later.lockSingleInstance());
        EXPECT_TRUE(later.messageRunningSpooler(0x400 + 102));
        EXPECT_TRUE(later.messageRunningSpooler(0x400 + 101));
        QElapsedTimer timer;
        timer.start();
        while (taken.size() < 2 && !timer.hasExpired(10000))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        std::sort(taken.begin(), taken.end());
        EXPECT_EQ(taken, (std::vector<unsigned>{0x400 + 101, 0x400 + 102}));
    }
    EXPECT_FALSE(fileAt()) << "removed with its holder";
    EXPECT_FALSE(ProcessEnvironment().messageRunningSpooler(0x400 + 101));

    // A directory under the name is not a socket left behind: it stays, and nothing listens.
    ASSERT_TRUE(QDir().mkpath(QFile::decodeName(socketPath)));
    ProcessEnvironment running;
    ASSERT_TRUE(running.lockSingleInstance());
    EXPECT_FALSE(running.listenForLaterStarts([](unsigned) {}));
    EXPECT_TRUE(QFileInfo(QFile::decodeName(socketPath)).isDir());
}

// The lock's directory where there is no runtime directory: made private when missing, and
// not used unless it is a real directory of our own that nobody else may enter.
TEST(ProcessEnvironment, OnlyAPrivateDirectoryOfOurOwnHoldsTheLock)
{
    QTemporaryDir dir;
    const auto at = [&](const char* name) { return dir.filePath(QString::fromLatin1(name)); };
    ASSERT_TRUE(QDir().mkpath(at("open")));
    ASSERT_EQ(::chmod(QFile::encodeName(at("open")).constData(), 0755), 0);
    ASSERT_TRUE(QDir().mkpath(at("private")));
    ASSERT_EQ(::chmod(QFile::encodeName(at("private")).constData(), 0700), 0);
    ASSERT_TRUE(QFile::link(at("private"), at("link")));
    writeFile(at("file"), "x");
    EXPECT_EQ(ProcessEnvironment::privateDirectory(at("missing")), at("missing"));
    struct stat made
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(at("missing")).constData(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0700u);
    EXPECT_EQ(ProcessEnvironment::privateDirectory(at("private")), at("private"));
    EXPECT_EQ(ProcessEnvironment::privateDirectory(at("open")), QString()) << "others may enter it";
    EXPECT_EQ(ProcessEnvironment::privateDirectory(at("link")), QString()) << "a link may be turned elsewhere";
    EXPECT_EQ(ProcessEnvironment::privateDirectory(at("file")), QString());
    EXPECT_EQ(ProcessEnvironment::privateDirectory(at("missing/below/that")), QString());
    // Made by another user first: only root can give a directory away to show it.
    if (::geteuid() == 0) {
        ASSERT_TRUE(QDir().mkpath(at("theirs")));
        ASSERT_EQ(::chmod(QFile::encodeName(at("theirs")).constData(), 0700), 0);
        ASSERT_EQ(::chown(QFile::encodeName(at("theirs")).constData(), 65534, 65534), 0);
        EXPECT_EQ(ProcessEnvironment::privateDirectory(at("theirs")), QString());
    }
}

// One spooler per spool directory, whoever runs it: the lock is a hidden file in the
// directory itself. Where it cannot be had at all, the spooler runs.
TEST(ProcessEnvironment, OnlyOneSpoolerServesASpoolDirectory)
{
    QTemporaryDir spool;
    {
        ProcessEnvironment first;
        ProcessEnvironment second;
        EXPECT_TRUE(first.lockSpoolDirectory(spool.path()));
        EXPECT_TRUE(first.lockSpoolDirectory(spool.path())) << "held already";
        EXPECT_FALSE(second.lockSpoolDirectory(spool.path()));
        EXPECT_TRUE(QFileInfo(spool.filePath(QStringLiteral(".pagello.lock"))).isFile());
        // Another descriptor on the file, opened and closed, takes nothing away.
        QFile(spool.filePath(QStringLiteral(".pagello.lock"))).open(QIODevice::ReadOnly);
        EXPECT_FALSE(second.lockSpoolDirectory(spool.path()));
    }
    ProcessEnvironment next;
    EXPECT_TRUE(next.lockSpoolDirectory(spool.path())) << "released with its holder";

    QTemporaryDir odd;
    ASSERT_TRUE(
        QFile::link(spool.filePath(QStringLiteral(".pagello.lock")), odd.filePath(QStringLiteral(".pagello.lock"))));
    QTemporaryDir fifo;
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo.filePath(QStringLiteral(".pagello.lock"))).constData(), 0600), 0);
    for (const QString& directory : {spool.filePath(QStringLiteral("not/made/yet")), odd.path(), fifo.path()}) {
        SCOPED_TRACE(directory.toStdString());
        ProcessEnvironment first;
        ProcessEnvironment second;
        EXPECT_TRUE(first.lockSpoolDirectory(directory));
        EXPECT_TRUE(second.lockSpoolDirectory(directory));
    }
}

} // namespace
