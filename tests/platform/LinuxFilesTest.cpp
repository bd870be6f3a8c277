#include "platform/linux/LinuxFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

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
        {fuse, "fuseblk", true},
        {fuse, "fuse", true},
        {fuse, "", true},
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

TEST(LeaseFileAccess, OnlyRegularFilesCanBeHad)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("FIFO.PRN"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    LeaseFileAccess access;
    EXPECT_FALSE(canHave(access, dir.filePath(QStringLiteral("missing.prn"))));
    EXPECT_FALSE(canHave(access, dir.path()));
    EXPECT_FALSE(canHave(access, fifo)) << "and must not wait for a writer";
    EXPECT_FALSE(LeaseFileAccess::openInAnyProcess(dir.filePath(QStringLiteral("missing.prn"))));
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

} // namespace
