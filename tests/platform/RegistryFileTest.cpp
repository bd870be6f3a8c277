#include "support/TestSupport.h"

#include "platform/AtomicFile.h"
#include "platform/Errors.h"
#include "platform/linux/RegistryFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <iterator>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kKey = QStringLiteral("\\SOFTWARE\\Morvane\\Pagello");
const QByteArray kSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\Pagello]\n";

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

std::string registryError(const std::function<void()>& call)
{
    try {
        call();
    } catch (const ERegistryError& e) {
        return e.what();
    }
    return "no error";
}

} // namespace

namespace {

// The files beside the saved one, by name.
QStringList besides(const QTemporaryDir& dir)
{
    return QDir(dir.path()).entryList(QDir::Files | QDir::System | QDir::Hidden, QDir::Name);
}

} // namespace

TEST(AtomicFile, SaveThatCannotBeWrittenWholeKeepsTheOldFileAndSaysWhy)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("system.reg"));
    writeFile(path, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"Key\"=dword:00000001\n");
    const std::string before = readBytes(path);
    {
        const DiskFull full;
        const QString error = replaceFileAtomically(path, QByteArray(4096, 'x'));
        EXPECT_TRUE(error.contains(QLatin1String("cannot write"))) << error.toStdString();
    }
    EXPECT_EQ(readBytes(path), before);
    EXPECT_EQ(besides(dir), QStringList{QStringLiteral("system.reg")}) << "the cut-off copy was left behind";

    EXPECT_EQ(replaceFileAtomically(path, "new\n"), QString());
    EXPECT_EQ(readBytes(path), "new\n");
    const QString readOnly = dir.filePath(QStringLiteral("locked"));
    ASSERT_TRUE(QDir().mkpath(readOnly));
    ASSERT_EQ(::chmod(QFile::encodeName(readOnly).constData(), 0500), 0);
    if (::geteuid() != 0) {
        EXPECT_FALSE(replaceFileAtomically(readOnly + QStringLiteral("/system.reg"), "x").isEmpty());
    }
}

TEST(AtomicFile, LinkUnderTheNameIsReplacedAndItsTargetLeftAlone)
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("elsewhere"));
    const QString path = dir.filePath(QStringLiteral("printed.journal"));
    writeFile(target, "someone else's\n");
    ASSERT_TRUE(QFile::link(target, path));
    EXPECT_EQ(replaceFileAtomically(path, "ours\n"), QString());
    EXPECT_EQ(readBytes(target), "someone else's\n");
    EXPECT_FALSE(QFileInfo(path).isSymLink());
    EXPECT_EQ(readBytes(path), "ours\n");
}

TEST(AtomicFile, LeftoversOfASaveCutShortGoButOtherFilesAndPermissionsStay)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("system.reg"));
    writeFile(path, "old\n");
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
    for (const char* name : {"system.reg.Ab3xYz", "system.reg.q1W2e3", "system.reg.backup", "system.reg.damaged",
                             "system.reg.Ab3xYzZ", "other.reg.Ab3xYz"})
        writeFile(dir.filePath(QString::fromLatin1(name)), "x");
    EXPECT_EQ(replaceFileAtomically(path, "new\n"), QString());
    EXPECT_EQ(besides(dir), (QStringList{QStringLiteral("other.reg.Ab3xYz"), QStringLiteral("system.reg"),
                                         QStringLiteral("system.reg.Ab3xYzZ"), QStringLiteral("system.reg.backup"),
                                         QStringLiteral("system.reg.damaged")}));
    struct stat info
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(RegistryFile, FirstWriteCreatesDirectoryKeyAndFileThatReadsBack)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("var/lib/pagello/system.reg"));
    RegistryFile registry(path);
    EXPECT_FALSE(registry.openKey(kKey, false));
    ASSERT_TRUE(registry.openKey(kKey, true));
    EXPECT_FALSE(QFile::exists(path));
    registry.writeInteger(QStringLiteral("AutoStart"), 1);
    registry.writeInteger(QStringLiteral("PrinterIndex"), -1);
    registry.writeInteger(QStringLiteral("PagesSpool"), 3);
    EXPECT_EQ(readBytes(path), "REGEDIT4\n\n" + kSection.toStdString() +
                                   "\"AutoStart\"=dword:00000001\n\"PrinterIndex\"=dword:ffffffff\n"
                                   "\"PagesSpool\"=dword:00000003\n");

    RegistryFile other(path);
    ASSERT_TRUE(other.openKey(QStringLiteral("software\\MORVANE\\pagello"), false));
    EXPECT_EQ(other.readInteger(QStringLiteral("autostart")), 1);
    EXPECT_EQ(other.readInteger(QStringLiteral("PrinterIndex")), -1);
    EXPECT_EQ(other.readInteger(QStringLiteral("PagesSpool")), 3);

    // Each openKey sees what another process wrote meanwhile.
    registry.writeInteger(QStringLiteral("PagesSpool"), INT_MIN);
    ASSERT_TRUE(other.openKey(kKey, false));
    EXPECT_EQ(other.readInteger(QStringLiteral("PagesSpool")), INT_MIN);
}

TEST(RegistryFile, RewriteKeepsEverythingElseByteForByte)
{
    const QByteArray head = "REGEDIT4\n; spooler settings\n\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"PagesSpool\"=dword:00000009\n@=\"default\"\n\n"
                            "[HKEY_LOCAL_MACHINE\\Software\\Morvane\\Pagello]\n\"Path\"=\"C:\\\\spool \\\"x\\\"\"\n";
    const QByteArray middle = "\"Blob\"=hex:01,02,03,\\\n  04,05\n\"Env\"=hex(2):25,00,00,00\n";
    const QByteArray tail = "; about Zeta\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zeta]\n\"A\"=dword:00000002";
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("system.reg"));
    writeFile(path, head + "\"pagesspool\"=dword:00000001\n" + middle + tail);

    RegistryFile registry(path);
    ASSERT_TRUE(registry.openKey(kKey, false));
    EXPECT_TRUE(registry.valueExists(QStringLiteral("Blob")));
    registry.writeInteger(QStringLiteral("PagesSpool"), 3);
    registry.writeInteger(QStringLiteral("AutoStart"), 1);
    ASSERT_TRUE(registry.openKey(QStringLiteral("SOFTWARE\\New"), true));
    registry.writeInteger(QStringLiteral("Flag"), 5);

    EXPECT_EQ(readBytes(path), (head + "\"pagesspool\"=dword:00000003\n" + middle + "\"AutoStart\"=dword:00000001\n" +
                                tail + "\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n\"Flag\"=dword:00000005\n")
                                   .toStdString());
}

TEST(RegistryFile, ReadsDwordsInEveryWrittenFormAndRefusesOtherTypes)
{
    const std::string invalid = "Invalid data type for 'PagesSpool'";
    struct Case
    {
        const char* what;
        QByteArray file;
        std::optional<int> value; // nothing: readInteger fails
        bool exists;
    };
    const Case cases[] = {
        {"CRLF line ends", "REGEDIT4\r\n\r\n" + kSection.chopped(1) + "\r\n\"PagesSpool\"=dword:00000003\r\n", 3, true},
        {"version 5 header, upper case, short, spaced",
         "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\MORVANE\\PAGELLO]\n"
         "\"PAGESSPOOL\" = DWORD:a\n",
         10, true},
        {"last duplicate wins",
         "REGEDIT4\n" + kSection + "\"PagesSpool\"=dword:1\n" + kSection + "\"PagesSpool\"=dword:2\n", 2, true},
        {"UTF-16 with BOM",
         QByteArray("\xFF\xFE", 2) +
             [] {
                 const QString text = "REGEDIT4\n" + kSection + "\"PagesSpool\"=dword:00000004\n";
                 return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
             }(),
         4, true},
        {"after a cut-off hex list",
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"B\"=hex:01,\\\n" + kSection + "\"PagesSpool\"=dword:3\n",
         3, true},
        {"string", "REGEDIT4\n" + kSection + "\"PagesSpool\"=\"3\"\n", std::nullopt, true},
        {"binary", "REGEDIT4\n" + kSection + "\"PagesSpool\"=hex:03,00,00,00\n", std::nullopt, true},
        {"only in another key",
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\Pagello\\Sub]\n\"PagesSpool\"=dword:1\n", std::nullopt,
         false},
    };
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("system.reg"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(path, c.file);
        RegistryFile registry(path);
        ASSERT_TRUE(registry.openKey(kKey, false));
        EXPECT_EQ(registry.valueExists(QStringLiteral("PagesSpool")), c.exists);
        if (c.value)
            EXPECT_EQ(registry.readInteger(QStringLiteral("PagesSpool")), *c.value);
        else
            EXPECT_EQ(registryError([&] { registry.readInteger(QStringLiteral("PagesSpool")); }), invalid);
    }
}

TEST(RegistryFile, StringsReadBackWithTheirEscapesAndReplaceOnlyTheirOwnLine)
{
    const QByteArray head = "REGEDIT4\n; kept\n\n" + kSection + "\"AutoStart\"=dword:00000001\n";
    const QByteArray blob = "\"Blob\"=hex:01,\\\n  02\n";
    const QByteArray tail = "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zeta]\n\"A\"=\"z\"\n";
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("system.reg"));
    writeFile(path, head + "\"printername\" = \"Old \\\"one\\\"\"\n" + blob + tail);

    RegistryFile registry(path);
    ASSERT_TRUE(registry.openKey(kKey, false));
    EXPECT_EQ(registry.readString(QStringLiteral("PrinterName")), QStringLiteral("Old \"one\""));
    EXPECT_EQ(registryError([&] { registry.readString(QStringLiteral("AutoStart")); }),
              "Invalid data type for 'AutoStart'");
    EXPECT_EQ(registryError([&] { registry.readInteger(QStringLiteral("PrinterName")); }),
              "Invalid data type for 'PrinterName'");
    EXPECT_EQ(registryError([&] { registry.readString(QStringLiteral("Blob")); }), "Invalid data type for 'Blob'");

    const QString name = QStringLiteral("Tiskárna \\\\server\\\"B\" ");
    registry.writeString(QStringLiteral("PrinterName"), name);
    registry.writeString(QStringLiteral("Empty"), QString());
    EXPECT_EQ(readBytes(path), (head + "\"printername\"=\"Tisk\xC3\xA1rna \\\\\\\\server\\\\\\\"B\\\" \"\n" + blob +
                                "\"Empty\"=\"\"\n" + tail)
                                   .toStdString());
    RegistryFile other(path);
    ASSERT_TRUE(other.openKey(kKey, false));
    EXPECT_EQ(other.readString(QStringLiteral("printerName")), name);
    EXPECT_EQ(other.readString(QStringLiteral("Empty")), QString());

    // A line break cannot be kept in the one line of a value.
    EXPECT_EQ(registryError([&] { registry.writeString(QStringLiteral("PrinterName"), QStringLiteral("a\nb")); }),
              "Failed to set data for 'PrinterName'");
    // Cut-off or followed by more, a quoted value is not a string.
    for (const QByteArray& data : {QByteArray("\"abc"), QByteArray("\"a\"b\""), QByteArray("\"abc\\\"")}) {
        writeFile(path, "REGEDIT4\n" + kSection + "\"S\"=" + data + "\n");
        ASSERT_TRUE(registry.openKey(kKey, false));
        EXPECT_TRUE(registry.valueExists(QStringLiteral("S")));
        EXPECT_EQ(registryError([&] { registry.readString(QStringLiteral("S")); }), "Invalid data type for 'S'")
            << data.constData();
    }
}

TEST(RegistryFile, DamagedFileIsReportedOnceThenKeptAsideByTheFirstWriteBesideEarlierCopies)
{
    const struct
    {
        QByteArray file;
        const char* reason;
    } cases[] = {
        {"hello\n", "it is not a REGEDIT4 file"},
        {QByteArray("\0\x01\xff", 3), "it is not a REGEDIT4 file"},
        {"REGEDIT4\n\n" + kSection + "AutoStart=1\n", "line 4 is not a key, a value or a comment"},
        {"REGEDIT4\n" + kSection + "\"AutoStart=dword:00000001\n", "line 3 is not a key, a value or a comment"},
        {"REGEDIT4\n" + kSection + "\"AutoStart\"=dword:100000000\n", "line 3 is not a key, a value or a comment"},
        {"REGEDIT4\n\"AutoStart\"=dword:1\n", "line 2 is not a key, a value or a comment"},
        {"REGEDIT4\n" + QByteArray(5 * 1024 * 1024, ';'), "it is larger than 4 MB"},
    };
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("system.reg"));
    // Each damaged file is kept under the next free name; a gap is filled, no copy overwritten.
    writeFile(path + ".damaged", "older copy");
    writeFile(path + ".damaged.2", "copy two");
    const QString kept[] = {".damaged.1", ".damaged.3", ".damaged.4", ".damaged.5",
                            ".damaged.6", ".damaged.7", ".damaged.8"};
    static_assert(std::size(kept) == std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.reason);
        writeFile(path, c.file);
        RegistryFile registry(path);
        EXPECT_EQ(registryError([&] { registry.openKey(kKey, true); }),
                  "The registry file '" + path.toStdString() + "' cannot be read: " + c.reason);
        ASSERT_TRUE(registry.openKey(kKey, true));
        EXPECT_FALSE(registry.valueExists(QStringLiteral("AutoStart")));
        registry.writeInteger(QStringLiteral("AutoStart"), 1);
        EXPECT_EQ(readBytes(path + kept[i]), c.file.toStdString());
        EXPECT_EQ(readBytes(path), "REGEDIT4\n\n" + kSection.toStdString() + "\"AutoStart\"=dword:00000001\n");
    }
    EXPECT_EQ(readBytes(path + ".damaged"), "older copy");
    EXPECT_EQ(readBytes(path + ".damaged.2"), "copy two");
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(readBytes(path + kept[i]), cases[i].file.toStdString()) << kept[i].toStdString();
}

TEST(RegistryFile, FailedWriteReportsTheValueAndLeavesTheOldFile)
{
    QTemporaryDir dir;
    RegistryFile closed(dir.filePath(QStringLiteral("system.reg")));
    EXPECT_EQ(registryError([&] { closed.writeInteger(QStringLiteral("AutoStart"), 1); }),
              "Failed to set data for 'AutoStart'");

    // Permissions do not stop root; a parent that is a regular file stops everyone.
    const bool root = geteuid() == 0;
    const QString locked = dir.filePath(QStringLiteral("locked"));
    const QString path = root ? locked + "/system.reg" : locked + "/pagello/system.reg";
    const QString old = root ? locked : locked + "/pagello/system.reg";
    const QByteArray before = "REGEDIT4\n\n" + kSection + "\"PagesSpool\"=dword:00000003\n";
    ASSERT_TRUE(root || QDir().mkpath(locked + "/pagello"));
    writeFile(old, before);
    if (!root)
        QFile::setPermissions(locked + "/pagello", QFile::ReadOwner | QFile::ExeOwner);

    RegistryFile registry(path);
    ASSERT_TRUE(registry.openKey(kKey, true));
    EXPECT_EQ(registryError([&] { registry.writeInteger(QStringLiteral("AutoStart"), 1); }),
              "Failed to set data for 'AutoStart'");
    EXPECT_EQ(readBytes(old), before.toStdString());
    EXPECT_FALSE(registry.valueExists(QStringLiteral("AutoStart"))) << "a value that was not stored must not read back";
    QFile::setPermissions(locked + "/pagello", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST(RegistryFile, FullDiskKeepsTheFileWithOtherProgramsKeysAndSaysWhy)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("system.reg"));
    const QByteArray before = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"Key\"=dword:00000001\n\n" +
                              kSection + "\"PagesSpool\"=dword:00000003\n";
    const QByteArray damaged = "hello\n";
    // A damaged file stays where it is too: it goes aside only with a replacement written.
    for (const QByteArray& old : {before, damaged}) {
        SCOPED_TRACE(old.toStdString());
        writeFile(path, old);
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0604), 0);
        RegistryFile registry(path);
        registryError([&] { registry.openKey(kKey, true); }); // the damaged one is reported here
        ASSERT_TRUE(registry.openKey(kKey, true));
        std::string error;
        std::string said;
        {
            CapturedStderr err;
            const DiskFull full;
            error = registryError([&] { registry.writeInteger(QStringLiteral("AutoStart"), 1); });
            said = err.text();
        }
        EXPECT_EQ(error, "Failed to set data for 'AutoStart'");
        EXPECT_EQ(readBytes(path), old.toStdString());
        EXPECT_EQ(besides(dir).join(QLatin1Char(' ')).toStdString(), "system.reg");
        EXPECT_FALSE(registry.valueExists(QStringLiteral("AutoStart")));
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find(std::string("'") + path.toStdString() + "'"), std::string::npos) << said;
        EXPECT_NE(said.find("cannot write"), std::string::npos) << said;

        // With room again the write goes through, in a file of the old one's permissions.
        registry.writeInteger(QStringLiteral("AutoStart"), 1);
        const std::string now = readBytes(path);
        EXPECT_NE(now.find("\"AutoStart\"=dword:00000001"), std::string::npos);
        EXPECT_EQ(now.find("hello"), std::string::npos);
        EXPECT_EQ(now.find("SOFTWARE\\Other") != std::string::npos, old == before);
        EXPECT_EQ(readBytes(path + ".damaged"), old == damaged ? damaged.toStdString() : std::string());
        struct stat info
        {
        };
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0604u);
    }
}

TEST(RegistryFile, SettingsLiveInTheChosenFileTheMachineWideOneOrTheUsersOwn)
{
    QTemporaryDir dir;
    const QByteArray savedRegistry = qgetenv("PAGELLO_REGISTRY");
    const QByteArray savedData = qgetenv("XDG_DATA_HOME");
    const QString machine = dir.filePath(QStringLiteral("var/lib/pagello/system.reg"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("data"))));

    qputenv("PAGELLO_REGISTRY", "/tmp/elsewhere.reg");
    EXPECT_EQ(RegistryFile::locate(machine).path, QStringLiteral("/tmp/elsewhere.reg"));
    qputenv("PAGELLO_REGISTRY", "");
    const RegistryFile::Location own = RegistryFile::locate(machine);
    EXPECT_EQ(own.path, machine) << "a directory that can be made";
    EXPECT_TRUE(own.defaults.isEmpty());
    if (geteuid() != 0) {
        QDir().mkpath(dir.filePath(QStringLiteral("var/lib/pagello")));
        QFile::setPermissions(dir.filePath(QStringLiteral("var/lib/pagello")), QFile::ReadOwner | QFile::ExeOwner);
        const RegistryFile::Location user = RegistryFile::locate(machine);
        EXPECT_EQ(user.path, dir.filePath(QStringLiteral("data/pagello/system.reg")));
        EXPECT_EQ(user.defaults, machine);
        QFile::setPermissions(dir.filePath(QStringLiteral("var/lib/pagello")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    qputenv("PAGELLO_REGISTRY", savedRegistry);
    qputenv("XDG_DATA_HOME", savedData);
}

TEST(RegistryFile, UsersOwnFileReadsTheMachineWideOneForWhatItLacksAndNeverWritesIt)
{
    QTemporaryDir dir;
    const QString machine = dir.filePath(QStringLiteral("machine.reg"));
    const QByteArray machineText =
        "REGEDIT4\n\n" + kSection + "\"PagesSpool\"=dword:00000005\n\"AutoStart\"=dword:00000001\n";
    writeFile(machine, machineText);
    const QString user = dir.filePath(QStringLiteral("user/pagello/system.reg"));
    {
        RegistryFile registry(user, machine);
        ASSERT_TRUE(registry.openKey(kKey, false)) << "the key of the machine-wide file";
        EXPECT_EQ(registry.readInteger(QStringLiteral("PagesSpool")), 5);
        registry.writeInteger(QStringLiteral("AutoStart"), 0);
        EXPECT_EQ(registry.readInteger(QStringLiteral("AutoStart")), 0);
        EXPECT_EQ(registry.readInteger(QStringLiteral("PagesSpool")), 5) << "still read after a write";
    }
    EXPECT_EQ(readBytes(machine), machineText.toStdString());
    EXPECT_EQ(readBytes(user), ("REGEDIT4\n\n" + kSection + "\"AutoStart\"=dword:00000000\n").toStdString());

    // A damaged machine-wide file gives no defaults and no error to this user.
    writeFile(machine, "not a registry");
    RegistryFile registry(user, machine);
    ASSERT_TRUE(registry.openKey(kKey, false));
    EXPECT_FALSE(registry.valueExists(QStringLiteral("PagesSpool")));
    EXPECT_EQ(registry.readInteger(QStringLiteral("AutoStart")), 0);
}

// Run as a user who is not root (root itself runs it again as "nobody"): the machine-wide
// file that cannot be written leaves the settings in the user's own file, without an error.
TEST(RegistryFile, UserWhoIsNotRootKeepsTheSettingsInTheirOwnFile)
{
    const QString inner = qEnvironmentVariable("PAGELLO_TEST_AS_USER");
    if (inner.isEmpty() && geteuid() == 0) {
        QTemporaryDir dir;
        ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("machine"))));
        ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("data"))));
        writeFile(dir.filePath(QStringLiteral("machine/system.reg")),
                  "REGEDIT4\n\n" + kSection + "\"PagesSpool\"=dword:00000005\n");
        // The user needs a way to the program and a home of their own.
        const QString program = dir.filePath(QStringLiteral("tests"));
        ASSERT_TRUE(QFile::copy(QCoreApplication::applicationFilePath(), program));
        ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
        ASSERT_EQ(::chown(QFile::encodeName(dir.filePath(QStringLiteral("data"))).constData(), 65534, 65534), 0);
        QProcess run;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PAGELLO_TEST_AS_USER"), dir.path());
        environment.insert(QStringLiteral("HOME"), dir.filePath(QStringLiteral("data")));
        environment.remove(QStringLiteral("XDG_DATA_HOME"));
        environment.remove(QStringLiteral("PAGELLO_REGISTRY"));
        // The sanitizers' suppression files may lie where that user cannot read them.
        for (const char* options : {"LSAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"})
            environment.remove(QString::fromLatin1(options));
        environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        run.setProcessEnvironment(environment);
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.start(QStringLiteral("setpriv"),
                  {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                   program, QStringLiteral("--gtest_filter=RegistryFile.UserWhoIsNotRoot*")});
        ASSERT_TRUE(run.waitForFinished(60000));
        const QString output = QString::fromUtf8(run.readAll());
        EXPECT_EQ(run.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains(QLatin1String("[  PASSED  ] 1 test"))) << output.toStdString();
        return;
    }
    QTemporaryDir scratch;
    const QString base = inner.isEmpty() ? scratch.path() : inner;
    const QString machine = base + QStringLiteral("/machine/system.reg");
    if (inner.isEmpty()) {
        QDir().mkpath(base + QStringLiteral("/machine"));
        writeFile(machine, "REGEDIT4\n\n" + kSection + "\"PagesSpool\"=dword:00000005\n");
        QFile::setPermissions(base + QStringLiteral("/machine"), QFile::ReadOwner | QFile::ExeOwner);
        qputenv("HOME", QFile::encodeName(base + QStringLiteral("/data")));
        qunsetenv("XDG_DATA_HOME");
        qunsetenv("PAGELLO_REGISTRY");
    }
    const RegistryFile::Location where = RegistryFile::locate(machine);
    EXPECT_EQ(where.path, base + QStringLiteral("/data/.local/share/pagello/system.reg"));
    RegistryFile registry(where);
    ASSERT_TRUE(registry.openKey(kKey, true));
    EXPECT_EQ(registry.readInteger(QStringLiteral("PagesSpool")), 5);
    EXPECT_NO_THROW(registry.writeInteger(QStringLiteral("AutoStart"), 1));
    EXPECT_TRUE(readBytes(where.path).find("\"AutoStart\"=dword:00000001") != std::string::npos);
    EXPECT_EQ(readBytes(machine).find("AutoStart"), std::string::npos);
    if (inner.isEmpty())
        QFile::setPermissions(base + QStringLiteral("/machine"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// The file comes from outside: cut short or with any byte replaced it must still open or be
// reported, never crash or hang.
TEST(RegistryFile, EveryTruncationAndByteChangeOpensOrIsReported)
{
    const QByteArray base = "REGEDIT4\n;c\n" + kSection + "\"A\\\"b\"=dword:1\n@=hex:01,\\\n 02\n\"S\"=\"x\\\\\"\n";
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("system.reg"));
    const auto tryOpen = [&](const QByteArray& bytes) {
        writeFile(path, bytes);
        RegistryFile registry(path);
        registryError([&] {
            if (registry.openKey(kKey, false))
                registry.readInteger(QStringLiteral("A\"b"));
        });
    };
    for (qsizetype i = 0; i <= base.size(); ++i) {
        tryOpen(base.left(i));
        for (char c : {'\\', '"', '[', ']', '\n', '\r', '\0', '='})
            tryOpen(QByteArray(base).replace(i, 1, &c, 1));
    }
}
