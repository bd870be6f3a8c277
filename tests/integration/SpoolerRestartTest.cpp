// The spooler program itself, printing on a CUPS scheduler the test starts for itself:
// ended with SIGKILL in the middle of a long document and started again, it sends every
// batch of pages to the printer exactly once, through the journal beside its registry file.
// Ended by the signals of the session's end, it ends well and writes its settings.
// On an X display of the test's own with a window manager: one spooler at a time, the quit
// switch, the focus handed back to another program's window, and the spooler living in the
// tray of a panel. In a Wayland session of the test's own (headless weston): the same one
// spooler at a time and quit switch without any X display, and the spooler on Xwayland.

#include "PrivateCups.h"
#include "PrivateDisplay.h"
#include "PrivateSamba.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <functional>
#include <memory>

#include <sys/prctl.h>

namespace {

const QString kQueue = QStringLiteral("Laser");
constexpr int kPages = 40;
constexpr int kPagesSpool = 4;
// The program's first print pass comes 10 s after it starts; the waits leave room for a
// slow machine.
constexpr int kWaitMs = 40000;

QString batchTitle(int first, int last)
{
    return QStringLiteral("Pagello : LONG.PRN  %1-%2").arg(first).arg(last);
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The last page the journal notes for the one document in it; 0 when it notes none.
int journalledPage(const QString& journal)
{
    QFile file(journal);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = file.readAll().trimmed().split(' ');
    return fields.size() == 7 ? fields[4].toInt() : 0;
}

// One run of the spooler program; it is killed when this goes, whatever happened, and
// with the test process should that one die first.
class SpoolerRun
{
public:
    SpoolerRun(const QProcessEnvironment& environment, const QString& log, const QStringList& arguments = {},
               const QString& program = QStringLiteral(PAGELLO_PROGRAM))
    {
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setStandardOutputFile(log, QIODevice::Append);
        m_process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.start(program, arguments);
        m_process.waitForStarted(10000);
    }
    ~SpoolerRun() { kill(); }
    SpoolerRun(const SpoolerRun&) = delete;
    SpoolerRun& operator=(const SpoolerRun&) = delete;

    bool running() const { return m_process.state() == QProcess::Running; }
    // Whether the running program has loaded a library whose file name holds `name`.
    bool loaded(const QString& name) const
    {
        QFile maps(QStringLiteral("/proc/%1/maps").arg(m_process.processId()));
        return maps.open(QIODevice::ReadOnly) && QString::fromLocal8Bit(maps.readAll()).contains(name);
    }
    // Whether the program has its own handlers of the signals that end the session (read
    // from /proc): before it has them, such a signal ends it as the system's default does.
    bool catchesEndSignals() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return false;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (!line.startsWith("SigCgt:"))
                continue;
            const qulonglong caught = line.mid(7).trimmed().toULongLong(nullptr, 16);
            const qulonglong wanted = (1ULL << (SIGTERM - 1)) | (1ULL << (SIGHUP - 1)) | (1ULL << (SIGINT - 1));
            return (caught & wanted) == wanted;
        }
        return false;
    }
    // Whether the program ended, with exit code 0, within `ms`.
    bool endsWell(int ms)
    {
        return m_process.waitForFinished(ms) && m_process.exitStatus() == QProcess::NormalExit &&
               m_process.exitCode() == 0;
    }
    // Whether the program ended, in any way, within `ms`.
    bool ends(int ms) { return m_process.waitForFinished(ms) || m_process.state() == QProcess::NotRunning; }
    void signal(int number)
    {
        if (running())
            ::kill(static_cast<pid_t>(m_process.processId()), number);
    }
    void kill()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(10000);
    }

private:
    QProcess m_process;
};

// The spooler offscreen on the test's scheduler, its spool directory, registry file and
// single-instance lock all in the test's directory.
QProcessEnvironment offscreenSpooler(const QTemporaryDir& dir, const QString& spool, const QString& registry,
                                     const PrivateCups& cups)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PAGELLO"), spool);
    environment.insert(QStringLiteral("PAGELLO_REGISTRY"), registry);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // The single-instance lock of the test's own, not that of a spooler the user runs.
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
    environment.insert(QStringLiteral("CUPS_SERVER"), cups.socketPath());
    environment.remove(QStringLiteral("LPDEST"));
    environment.remove(QStringLiteral("PRINTER"));
    return environment;
}

// Started again after it was ended in the middle of the document, the spooler prints the
// rest and deletes the file: the scheduler has had every batch of `pages` exactly once.
void restartPrintsEveryBatchOnce(PrivateCups& cups, const QProcessEnvironment& environment, const QString& log,
                                 const QString& document, int pages, const std::function<std::string()>& logText)
{
    SpoolerRun second(environment, log);
    QElapsedTimer timer;
    timer.start();
    while (QFile::exists(document) && second.running() && !timer.hasExpired(kWaitMs))
        QThread::msleep(50);
    EXPECT_FALSE(QFile::exists(document)) << logText();
    ASSERT_TRUE(cups.waitUntilIdle(kWaitMs)) << cups.error().toStdString();
    second.kill();

    QStringList titles;
    for (const PrivateCups::CapturedJob& job : cups.capturedJobs(kQueue))
        titles << job.title;
    QStringList expected;
    for (int first = 1; first <= pages; first += kPagesSpool)
        expected << batchTitle(first, first + kPagesSpool - 1);
    EXPECT_EQ(titles.join(QLatin1Char('\n')).toStdString(), expected.join(QLatin1Char('\n')).toStdString())
        << logText();
}

TEST(SpoolerProgram, EndedDuringADocumentAndStartedAgainPrintsEveryBatchOnce)
{
    const QString missing = PrivateCups::missingPrerequisite();
    if (!missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    PrivateCups cups;
    ASSERT_TRUE(cups.start() && cups.addCaptureQueue(kQueue, QStringLiteral(PAGELLO_TEST_PPD)) &&
                cups.setDefault(kQueue))
        << cups.error().toStdString();

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString spool = dir.filePath(QStringLiteral("tisk"));
    const QString document = spool + QStringLiteral("/LONG.PRN");
    const QString registry = dir.filePath(QStringLiteral("system.reg"));
    const QString journal = dir.filePath(QStringLiteral("printed.journal"));
    const QString log = dir.filePath(QStringLiteral("pagello.log"));
    ASSERT_TRUE(QDir().mkpath(spool) && QDir().mkpath(dir.filePath(QStringLiteral("tmp"))));
    QByteArray text;
    for (int page = 1; page <= kPages; ++page) {
        if (page > 1)
            text += '\f';
        for (int line = 1; line <= 20; ++line)
            text += "Page " + QByteArray::number(page) + ", line " + QByteArray::number(line) + "\r\n";
    }
    text += "\r";
    text += '\0';
    ASSERT_TRUE(writeFile(document, text));
    ASSERT_TRUE(writeFile(registry, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\Pagello]\n"
                                    "\"AutoStart\"=dword:00000001\n\"PrinterIndex\"=dword:00000000\n"
                                    "\"PagesSpool\"=dword:0000000" +
                                        QByteArray::number(kPagesSpool) + "\n"));

    QProcessEnvironment environment = offscreenSpooler(dir, spool, registry, cups);
    // The documents of jobs cut short stay in the test's directory.
    environment.insert(QStringLiteral("TMPDIR"), dir.filePath(QStringLiteral("tmp")));
    const auto logText = [&] {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    };

    {
        SpoolerRun first(environment, log);
        ASSERT_TRUE(first.running()) << logText();
        // The program is stopped as soon as the journal notes a second batch, and ended there
        // only when CUPS has taken exactly the batches the journal notes. Between CUPS taking
        // a job and the journal noting it, an end would have that batch sent again: there the
        // program goes on to the next batch.
        QElapsedTimer timer;
        timer.start();
        int noted = 0;
        for (bool ended = false; !ended;) {
            ASSERT_FALSE(timer.hasExpired(kWaitMs)) << "no batch was noted in time\n" << logText();
            ASSERT_TRUE(first.running()) << logText();
            ASSERT_TRUE(QFile::exists(document)) << "the document was printed whole before the program could be ended";
            if (journalledPage(journal) <= std::max(noted, kPagesSpool)) {
                QThread::msleep(2);
                continue;
            }
            first.signal(SIGSTOP);
            noted = journalledPage(journal);
            ASSERT_LT(noted, kPages) << "the document was printed whole before the program could be ended";
            ended = cups.jobCount() == noted / kPagesSpool;
            if (ended)
                first.kill();
            else
                first.signal(SIGCONT);
        }
        EXPECT_TRUE(QFile::exists(document));
    }

    restartPrintsEveryBatchOnce(cups, environment, log, document, kPages, logText);
}

// The end of the session (SIGTERM) during a long document: the program ends with code 0
// after the batch being sent, its settings written; started again, it prints the rest, every
// batch once. SIGHUP and SIGINT end an idle spooler in the same way.
TEST(SpoolerProgram, EndOfTheSessionEndsItWellAndTheRestIsPrintedAtTheNextStart)
{
    const QString missing = PrivateCups::missingPrerequisite();
    if (!missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    PrivateCups cups;
    ASSERT_TRUE(cups.start() && cups.addCaptureQueue(kQueue, QStringLiteral(PAGELLO_TEST_PPD)) &&
                cups.setDefault(kQueue))
        << cups.error().toStdString();

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString spool = dir.filePath(QStringLiteral("tisk"));
    const QString document = spool + QStringLiteral("/LONG.PRN");
    const QString registry = dir.filePath(QStringLiteral("system.reg"));
    const QString journal = dir.filePath(QStringLiteral("printed.journal"));
    const QString log = dir.filePath(QStringLiteral("pagello.log"));
    ASSERT_TRUE(QDir().mkpath(spool));
    QByteArray text;
    for (int page = 1; page <= kPages; ++page)
        text += QByteArray(page > 1 ? "\f" : "") + "Page " + QByteArray::number(page) + "\r\n";
    ASSERT_TRUE(writeFile(document, text));
    // Only the batch size is stored: the other settings show up once they are written.
    const auto storeBatchSize = [&] {
        return writeFile(registry, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\Pagello]\n"
                                   "\"PagesSpool\"=dword:0000000" +
                                       QByteArray::number(kPagesSpool) + "\n");
    };
    const auto settingsWritten = [&] {
        return readBytes(registry).find("\"AutoStart\"=dword:00000001") != std::string::npos;
    };
    ASSERT_TRUE(storeBatchSize());
    const QProcessEnvironment environment = offscreenSpooler(dir, spool, registry, cups);
    const auto logText = [&] {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    };

    {
        SpoolerRun first(environment, log);
        ASSERT_TRUE(first.running()) << logText();
        QElapsedTimer timer;
        timer.start();
        while (journalledPage(journal) < kPagesSpool && first.running() && !timer.hasExpired(kWaitMs))
            QThread::msleep(2);
        ASSERT_GE(journalledPage(journal), kPagesSpool) << "no batch was noted in time\n" << logText();
        first.signal(SIGTERM);
        timer.restart();
        EXPECT_TRUE(first.endsWell(kWaitMs)) << logText();
        std::cout << "from SIGTERM to the end of the program: " << timer.elapsed() << " ms\n";
        EXPECT_TRUE(settingsWritten()) << readBytes(registry);
        EXPECT_LT(journalledPage(journal), kPages) << "the document was printed whole after SIGTERM";
        EXPECT_TRUE(QFile::exists(document));
    }

    {
        SpoolerRun second(environment, log);
        QElapsedTimer timer;
        timer.start();
        while (QFile::exists(document) && second.running() && !timer.hasExpired(kWaitMs))
            QThread::msleep(50);
        EXPECT_FALSE(QFile::exists(document)) << logText();
        ASSERT_TRUE(cups.waitUntilIdle(kWaitMs)) << cups.error().toStdString();
        QStringList titles;
        for (const PrivateCups::CapturedJob& job : cups.capturedJobs(kQueue))
            titles << job.title;
        QStringList expected;
        for (int first = 1; first <= kPages; first += kPagesSpool)
            expected << batchTitle(first, first + kPagesSpool - 1);
        EXPECT_EQ(titles.join(QLatin1Char('\n')).toStdString(), expected.join(QLatin1Char('\n')).toStdString())
            << logText();
    }

    // Idle, from the moment it has its handlers on.
    for (const int number : {SIGHUP, SIGINT}) {
        SCOPED_TRACE(number);
        ASSERT_TRUE(storeBatchSize());
        SpoolerRun idle(environment, log);
        QElapsedTimer timer;
        timer.start();
        while (!idle.catchesEndSignals() && idle.running() && !timer.hasExpired(kWaitMs))
            QThread::msleep(20);
        ASSERT_TRUE(idle.catchesEndSignals()) << logText();
        idle.signal(number);
        EXPECT_TRUE(idle.endsWell(kWaitMs)) << logText();
        EXPECT_TRUE(settingsWritten()) << readBytes(registry);
    }
}

// Ended at the one moment no journal can see: the scheduler has taken a batch's job and
// the journal has not yet noted it (the program is killed as it is about to put the note in
// place, by strace). Started again, the program finds the batch noted as being sent, asks
// the scheduler, and sends every batch exactly once.
TEST(SpoolerProgram, EndedAfterTheSchedulerTookAJobAndBeforeItsNoteSendsItOnce)
{
    QString missing = PrivateCups::missingPrerequisite();
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (missing.isEmpty() &&
        (strace.isEmpty() ||
         QProcess::execute(strace, {QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("true")}) != 0))
        missing = QStringLiteral("strace cannot trace here");
    if (!missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    PrivateCups cups;
    ASSERT_TRUE(cups.start() && cups.addCaptureQueue(kQueue, QStringLiteral(PAGELLO_TEST_PPD)) &&
                cups.setDefault(kQueue))
        << cups.error().toStdString();

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString spool = dir.filePath(QStringLiteral("tisk"));
    const QString document = spool + QStringLiteral("/LONG.PRN");
    const QString log = dir.filePath(QStringLiteral("pagello.log"));
    ASSERT_TRUE(QDir().mkpath(spool));
    constexpr int kShortPages = 12;
    QByteArray text;
    for (int page = 1; page <= kShortPages; ++page)
        text += QByteArray(page > 1 ? "\f" : "") + "Page " + QByteArray::number(page) + "\r\n";
    ASSERT_TRUE(writeFile(document, text));
    ASSERT_TRUE(writeFile(dir.filePath(QStringLiteral("system.reg")),
                          "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\Pagello]\n\"PagesSpool\"=dword:0000000" +
                              QByteArray::number(kPagesSpool) + "\n"));
    const QProcessEnvironment environment =
        offscreenSpooler(dir, spool, dir.filePath(QStringLiteral("system.reg")), cups);
    const auto logText = [&] {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    };

    // Each batch puts two notes in place: "being sent" before its job, "accepted" after
    // it. The fourth is the acceptance of the second batch.
    {
        SpoolerRun killed(environment, log,
                          {QStringLiteral("-qq"), QStringLiteral("-o"), dir.filePath(QStringLiteral("strace.log")),
                           QStringLiteral("-P"), QStringLiteral("printed.journal"), QStringLiteral("-e"),
                           QStringLiteral("trace=renameat,renameat2,rename"), QStringLiteral("-e"),
                           QStringLiteral("inject=renameat,renameat2,rename:signal=SIGKILL:when=4"),
                           QStringLiteral(PAGELLO_PROGRAM)},
                          strace);
        ASSERT_TRUE(killed.ends(kWaitMs)) << "the program was not ended at the note\n"
                                          << logText() << readBytes(dir.filePath(QStringLiteral("strace.log")));
    }
    ASSERT_TRUE(cups.waitUntilIdle(kWaitMs)) << cups.error().toStdString();
    ASSERT_EQ(cups.jobCount(), 2) << "the scheduler did not take the second batch before the end\n" << logText();
    EXPECT_TRUE(QFile::exists(document));

    restartPrintsEveryBatchOnce(cups, environment, log, document, kShortPages, logText);
}

// A spooler's surroundings on the test's display: a spool directory, a registry file, a
// printer on the test's scheduler and a lock directory of its own.
struct Desktop
{
    // Without an X display of its own: the spooler's display is the test's to give.
    bool start(bool xDisplay = true)
    {
        if (!cups.start() || !cups.addCaptureQueue(kQueue) || !cups.setDefault(kQueue)) {
            error = cups.error();
            return false;
        }
        if (xDisplay && !display.start()) {
            error = display.error();
            return false;
        }
        QDir().mkpath(dir.filePath(QStringLiteral("tisk")));
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PAGELLO"), dir.filePath(QStringLiteral("tisk")));
        environment.insert(QStringLiteral("PAGELLO_REGISTRY"), registry());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        if (xDisplay)
            environment.insert(QStringLiteral("DISPLAY"), display.name());
        else
            environment.remove(QStringLiteral("DISPLAY"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
        environment.insert(QStringLiteral("CUPS_SERVER"), cups.socketPath());
        environment.remove(QStringLiteral("LPDEST"));
        environment.remove(QStringLiteral("PRINTER"));
        return true;
    }
    QString registry() const { return dir.filePath(QStringLiteral("system.reg")); }
    QString log() const { return dir.filePath(QStringLiteral("pagello.log")); }
    std::string logText() const
    {
        QFile file(log());
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }

    QTemporaryDir dir;
    PrivateCups cups;
    PrivateDisplay display;
    QProcessEnvironment environment;
    QString error;
};

QString missingDesktop()
{
    const QString cups = PrivateCups::missingPrerequisite();
    if (!cups.isEmpty())
        return cups;
    for (const char* program : {"xdotool", "xclock"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
            return QStringLiteral("%1 is not installed").arg(QString::fromLatin1(program));
    }
    return PrivateDisplay::missingPrerequisite();
}

// "--help" and "--version" are answered without a display. Installed where no spool
// directory is beside it and with no print server to ask, the program names the directory
// it watches and what CUPS said, and its box of no printer stays.
TEST(SpoolerProgram, InformationSwitchesStartNothingAndAStartWithoutAPrintServerSaysWhy)
{
    QTemporaryDir dir;
    const QString program = dir.filePath(QStringLiteral("lib/pagello"));
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("lib"))));
    ASSERT_TRUE(QFile::copy(QStringLiteral(PAGELLO_PROGRAM), program));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("PAGELLO"));
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb")); // fails: no display
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
    environment.insert(QStringLiteral("PAGELLO_REGISTRY"), dir.filePath(QStringLiteral("system.reg")));
    environment.insert(QStringLiteral("CUPS_SERVER"), dir.filePath(QStringLiteral("no-scheduler.sock")));
    const auto said = [](const QString& log) {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };

    const QString info = dir.filePath(QStringLiteral("info.log"));
    for (const QString& option : {QStringLiteral("--version"), QStringLiteral("--help")}) {
        SpoolerRun run(environment, info, {option}, program);
        EXPECT_TRUE(run.endsWell(10000)) << option.toStdString() << "\n" << said(info).toStdString();
    }
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^pagello \\d+\\.\\d+")).match(QString::fromUtf8(said(info))).hasMatch())
        << said(info).toStdString();
    EXPECT_TRUE(said(info).contains("Usage: pagello")) << said(info).toStdString();

    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const QString log = dir.filePath(QStringLiteral("pagello.log"));
    SpoolerRun run(environment, log, {}, program);
    const QByteArray server =
        "the print server " + QFile::encodeName(dir.filePath(QStringLiteral("no-scheduler.sock")));
    const QByteArray missing =
        "the spool directory " + QFile::encodeName(dir.filePath(QStringLiteral("lib/tisk"))) + " does not exist";
    QElapsedTimer timer;
    timer.start();
    while (!(said(log).contains(missing) && said(log).contains(server + " gave no printers: ")) &&
           !timer.hasExpired(20000))
        QThread::msleep(100);
    EXPECT_TRUE(said(log).contains(missing)) << said(log).toStdString();
    EXPECT_TRUE(said(log).contains(server + " gave no printers: ")) << said(log).toStdString();
    EXPECT_TRUE(run.running()) << "the box saying there is no printer does not wait\n" << said(log).toStdString();
}

// Whether the window is mapped and shown (not withdrawn, not minimised).
bool shown(const PrivateDisplay& display, const QString& window)
{
    return display.run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), window})
               .contains(QLatin1String("IsViewable")) &&
           !display.run(QStringLiteral("xprop"), {QStringLiteral("-id"), window, QStringLiteral("_NET_WM_STATE")})
                .contains(QLatin1String("_NET_WM_STATE_HIDDEN"));
}

// Whether the window has a button in the task bar: the window manager lists it among its
// clients.
bool inTaskBar(const PrivateDisplay& display, const QString& window)
{
    const QString hex = QStringLiteral("0x") + QString::number(window.toULongLong(), 16);
    const QString clients =
        display.run(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_CLIENT_LIST")});
    return clients.split(QRegularExpression(QStringLiteral("[ ,#]+"))).contains(hex);
}

bool waitUntil(const std::function<bool()>& condition, int ms = 20000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.hasExpired(ms))
            return false;
        QThread::msleep(100);
    }
    return true;
}

TEST(SpoolerProgram, SecondStartEndsAtOnceAndTheQuitSwitchEndsTheFirst)
{
    const QString missing = missingDesktop();
    if (!missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    Desktop desktop;
    ASSERT_TRUE(desktop.start()) << desktop.error.toStdString();

    // Started as in a Wayland session (with no platform named), it still runs on the X
    // display.
    QProcessEnvironment wayland = desktop.environment;
    wayland.remove(QStringLiteral("QT_QPA_PLATFORM"));
    wayland.insert(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("wayland-x"));
    wayland.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    SpoolerRun first(wayland, desktop.log());
    // Found by its class, under its title with the trailing blank.
    const QString window = desktop.display.waitForWindow({QStringLiteral("--class"), QStringLiteral("^TForm1$")});
    ASSERT_FALSE(window.isEmpty()) << "the spooler's window is not found by its class\n" << desktop.logText();
    EXPECT_TRUE(
        desktop.display.run(QStringLiteral("xprop"), {QStringLiteral("-id"), window, QStringLiteral("_NET_WM_NAME")})
            .endsWith(QLatin1String("= \"Pagello \"")));

    SpoolerRun second(desktop.environment, desktop.log());
    EXPECT_TRUE(second.endsWell(10000)) << desktop.logText();
    EXPECT_TRUE(first.running());
    // The second start brought the first's window to the front, with its task-bar button.
    EXPECT_TRUE(waitUntil([&] {
        return shown(desktop.display, window) && inTaskBar(desktop.display, window) &&
               desktop.display.activeWindow() == window;
    })) << "the second start did not bring the running spooler's window to the front\n"
        << desktop.logText();

    // A spooler of another user on the same spool directory finds neither the window nor
    // the lock of this one: the directory's own lock ends it, with one line saying why.
    QTemporaryDir otherRuntime;
    QProcessEnvironment other = desktop.environment;
    other.insert(QStringLiteral("XDG_RUNTIME_DIR"), otherRuntime.path());
    other.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    other.remove(QStringLiteral("DISPLAY"));
    const QString otherLog = otherRuntime.filePath(QStringLiteral("pagello.log"));
    SpoolerRun otherUser(other, otherLog);
    QFile said(otherLog);
    EXPECT_TRUE(otherUser.endsWell(10000));
    ASSERT_TRUE(said.open(QIODevice::ReadOnly));
    EXPECT_TRUE(said.readAll().contains("another spooler already serves " +
                                        QFile::encodeName(desktop.dir.filePath(QStringLiteral("tisk")))));
    EXPECT_TRUE(first.running());
    EXPECT_FALSE(QFile::exists(desktop.registry())) << "the running spooler was left as it was";

    SpoolerRun quit(desktop.environment, desktop.log(), {QStringLiteral("/U")});
    EXPECT_TRUE(quit.endsWell(10000)) << desktop.logText();
    EXPECT_TRUE(first.endsWell(20000)) << "the running spooler did not quit\n" << desktop.logText();
    QFile settings(desktop.registry());
    ASSERT_TRUE(settings.open(QIODevice::ReadOnly)) << "the settings were not written at the end";
    EXPECT_TRUE(settings.readAll().contains("\"PagesSpool\"=dword:00000003"));
}

TEST(SpoolerProgram, HandBackActivatesTheWindowOfAnotherProgramOnce)
{
    const QString missing = missingDesktop();
    if (!missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    Desktop desktop;
    ASSERT_TRUE(desktop.start()) << desktop.error.toStdString();

    // Another program's windows: one whose title holds the text in small letters only, and
    // the one to get the focus.
    QProcess small;
    QProcess editor;
    QProcessEnvironment x = QProcessEnvironment::systemEnvironment();
    x.insert(QStringLiteral("DISPLAY"), desktop.display.name());
    for (auto [process, title] : {std::pair(&small, "notes - edit"), std::pair(&editor, "DOS EDIT - C:\\DATA")}) {
        process->setProcessEnvironment(x);
        process->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        // A window that takes input: the window manager gives the focus only to such.
        process->start(QStringLiteral("xclock"), {QStringLiteral("-title"), QString::fromLatin1(title),
                                                  QStringLiteral("-xrm"), QStringLiteral("xclock.input: true")});
    }
    const QString target = desktop.display.waitForWindow({QStringLiteral("--name"), QStringLiteral("^DOS EDIT")});
    ASSERT_FALSE(target.isEmpty());
    ASSERT_FALSE(desktop.display.waitForWindow({QStringLiteral("--name"), QStringLiteral("^notes - edit$")}).isEmpty());
    // The other window has the focus when the spooler starts.
    desktop.display.run(QStringLiteral("xdotool"),
                        {QStringLiteral("search"), QStringLiteral("--name"), QStringLiteral("^notes - edit$"),
                         QStringLiteral("windowactivate"), QStringLiteral("--sync")});

    SpoolerRun spooler(desktop.environment, desktop.log(), {QStringLiteral("/a"), QStringLiteral("EDIT")});
    QElapsedTimer timer;
    timer.start();
    while (desktop.display.activeWindow() != target && spooler.running() && !timer.hasExpired(20000))
        QThread::msleep(100);
    EXPECT_EQ(desktop.display.activeWindow(), target) << desktop.logText();
    EXPECT_TRUE(spooler.running());
    for (QProcess* process : {&small, &editor}) {
        process->kill();
        process->waitForFinished(5000);
    }
}

// A panel with a notification area on the display, ended with the test.
struct Panel
{
    explicit Panel(const PrivateDisplay& display)
        : display(display)
    {
        QProcessEnvironment x = QProcessEnvironment::systemEnvironment();
        x.insert(QStringLiteral("DISPLAY"), display.name());
        process.setProcessEnvironment(x);
        process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.start(QStringLiteral("trayer"),
                      {QStringLiteral("--edge"), QStringLiteral("bottom"), QStringLiteral("--align"),
                       QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("pixel"),
                       QStringLiteral("--width"), QStringLiteral("96"), QStringLiteral("--height"),
                       QStringLiteral("24"), QStringLiteral("--transparent"), QStringLiteral("false")});
        window = display.waitForWindow({QStringLiteral("--name"), QStringLiteral("^panel$")});
    }
    ~Panel()
    {
        process.kill();
        process.waitForFinished(5000);
    }
    // The spooler's icon once it is docked in the panel (waiting for it); empty when it never is.
    QString dockedIcon() const
    {
        QString icon;
        waitUntil([&] {
            const QString tree =
                display.run(QStringLiteral("xwininfo"), {QStringLiteral("-tree"), QStringLiteral("-id"), window});
            const qsizetype child = tree.indexOf(QLatin1String("(\"pagello\" \"Pagello\")"));
            if (child >= 0)
                icon = tree.left(child).section(QLatin1Char('\n'), -1).trimmed().section(QLatin1Char(' '), 0, 0);
            return child >= 0;
        });
        return icon;
    }
    // Clicks the icon with the button.
    void click(const QString& icon, int button) const
    {
        display.run(QStringLiteral("xdotool"),
                    {QStringLiteral("mousemove"), QStringLiteral("--window"), icon, QStringLiteral("6"),
                     QStringLiteral("6"), QStringLiteral("click"), QString::number(button)});
    }

    const PrivateDisplay& display;
    QProcess process;
    QString window;
};

QString missingPanel()
{
    const QString missing = missingDesktop();
    if (missing.isEmpty() && QStandardPaths::findExecutable(QStringLiteral("trayer")).isEmpty())
        return QStringLiteral("trayer is not installed");
    return missing;
}

TEST(SpoolerProgram, StartsInTheTrayAndAClickOnTheIconBringsTheWindowBack)
{
    const QString missing = missingPanel();
    if (!missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    Desktop desktop;
    ASSERT_TRUE(desktop.start()) << desktop.error.toStdString();
    Panel panel(desktop.display);
    ASSERT_FALSE(panel.window.isEmpty()) << "the panel did not start";

    // The spooler starts with its icon docked in the panel and no window on the screen. A
    // document it refuses waits for its first pass.
    ASSERT_TRUE(
        writeFile(desktop.dir.filePath(QStringLiteral("tisk/BAD.PRN")), "A\f" + QByteArray(70000, '\xb3') + "B"));
    SpoolerRun spooler(desktop.environment, desktop.log());
    const QString window = desktop.display.waitForWindow({QStringLiteral("--class"), QStringLiteral("^TForm1$")});
    ASSERT_FALSE(window.isEmpty()) << desktop.logText();
    const QString icon = panel.dockedIcon();
    ASSERT_FALSE(icon.isEmpty()) << "no icon docked in the panel\n" << desktop.logText();
    QThread::msleep(1000);
    EXPECT_FALSE(shown(desktop.display, window)) << "the window shows at start";
    EXPECT_FALSE(inTaskBar(desktop.display, window)) << "the window is in the task bar at start";

    // A click on the icon brings the window back, with its task-bar button.
    const auto click = [&](int button) {
        panel.click(icon, button);
        EXPECT_TRUE(waitUntil([&] { return shown(desktop.display, window) && inTaskBar(desktop.display, window); }))
            << "the click did not bring the window back\n"
            << desktop.logText();
    };
    // Minimised, the window goes into the tray again.
    const auto minimise = [&] {
        desktop.display.run(QStringLiteral("xdotool"), {QStringLiteral("windowminimize"), window});
        EXPECT_TRUE(waitUntil([&] { return !shown(desktop.display, window) && !inTaskBar(desktop.display, window); }))
            << "minimised, the window did not go into the tray\n"
            << desktop.logText();
    };
    click(1);

    // The refusal's box comes up over the window and stays on the screen when the window
    // goes into the tray; closing it does not end the spooler.
    const QString box = desktop.display.waitForWindow(
        {QStringLiteral("--onlyvisible"), QStringLiteral("--name"), QStringLiteral("^Pagello$")}, kWaitMs);
    ASSERT_FALSE(box.isEmpty()) << "no error box on the screen\n" << desktop.logText();
    minimise();
    QThread::msleep(500);
    EXPECT_TRUE(shown(desktop.display, box)) << "the error box went into the tray with the window";
    desktop.display.run(QStringLiteral("xdotool"), {QStringLiteral("windowactivate"), QStringLiteral("--sync"), box,
                                                    QStringLiteral("key"), QStringLiteral("Return")});
    EXPECT_TRUE(waitUntil([&] { return !shown(desktop.display, box); })) << "the box did not close";
    QThread::msleep(500);
    ASSERT_TRUE(spooler.running()) << "the spooler ended with its error box\n" << desktop.logText();

    for (const int button : {1, 3}) {
        click(button);
        minimise();
    }
    EXPECT_TRUE(spooler.running());
    SpoolerRun quit(desktop.environment, desktop.log(), {QStringLiteral("/u")});
    EXPECT_TRUE(quit.endsWell(10000));
    EXPECT_TRUE(spooler.endsWell(20000)) << desktop.logText();
}

TEST(SpoolerProgram, ANotificationAreaThatComesLaterGetsTheIcon)
{
    const QString missing = missingPanel();
    if (!missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    Desktop desktop;
    ASSERT_TRUE(desktop.start()) << desktop.error.toStdString();

    // No panel yet when the spooler starts: its window waits minimised in the task list,
    // and stays there when it is minimised again. A panel comes up a while later.
    SpoolerRun spooler(desktop.environment, desktop.log());
    const QString window = desktop.display.waitForWindow({QStringLiteral("--class"), QStringLiteral("^TForm1$")});
    ASSERT_FALSE(window.isEmpty()) << desktop.logText();
    EXPECT_TRUE(waitUntil([&] { return inTaskBar(desktop.display, window); }))
        << "without a notification area the window is not in the task list\n"
        << desktop.logText();
    EXPECT_FALSE(shown(desktop.display, window)) << "the window shows at start";
    desktop.display.run(QStringLiteral("xdotool"),
                        {QStringLiteral("windowactivate"), QStringLiteral("--sync"), window});
    EXPECT_TRUE(waitUntil([&] { return shown(desktop.display, window); })) << desktop.logText();
    desktop.display.run(QStringLiteral("xdotool"),
                        {QStringLiteral("windowminimize"), QStringLiteral("--sync"), window});
    QThread::msleep(1000);
    EXPECT_TRUE(inTaskBar(desktop.display, window) && !shown(desktop.display, window)) << desktop.logText();
    QThread::msleep(2000);
    Panel panel(desktop.display);
    ASSERT_FALSE(panel.window.isEmpty()) << "the panel did not start";
    ASSERT_FALSE(panel.dockedIcon().isEmpty()) << "no icon docked in the panel that came later\n" << desktop.logText();
    EXPECT_TRUE(waitUntil([&] { return !inTaskBar(desktop.display, window); }))
        << "with the notification area the window stays in the task list\n"
        << desktop.logText();

    // A click on the icon brings the window back. The program adds its icon again once it
    // has seen the area come (it looks every 2 s): the icon is clicked as it is after that.
    QThread::msleep(3000);
    const QString icon = panel.dockedIcon();
    ASSERT_FALSE(icon.isEmpty()) << desktop.logText();
    panel.click(icon, 1);
    EXPECT_TRUE(waitUntil([&] { return shown(desktop.display, window) && inTaskBar(desktop.display, window); }))
        << "the click did not bring the window back\n"
        << desktop.logText();
    SpoolerRun quit(desktop.environment, desktop.log(), {QStringLiteral("/u")});
    EXPECT_TRUE(quit.endsWell(10000));
    EXPECT_TRUE(spooler.endsWell(20000)) << desktop.logText();
}

// A panel with a StatusNotifierItem host on the display: lxqt-panel with only its
// status-notifier plugin, on a D-Bus session bus of the test's own. The bus lives as long as
// this; the panel may be ended and started again, as a panel restarted in a session. Both
// die with the test.
struct NotifierPanel
{
    NotifierPanel(const PrivateDisplay& display, const QString& dir)
        : display(display)
        , dir(dir)
    {
        bus.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        bus.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (bus.waitForReadyRead(10000))
            address = QString::fromUtf8(bus.readLine()).trimmed();
        // The panel reads its plugins from XDG_CONFIG_HOME/lxqt/panel.conf: a narrow panel
        // at the bottom right with the status-notifier plugin only; lxqt.conf gives its theme.
        QDir().mkpath(dir + QStringLiteral("/config/lxqt"));
        QDir().mkpath(dir + QStringLiteral("/home"));
        writeFile(dir + QStringLiteral("/config/lxqt/panel.conf"),
                  "[General]\n__userfile__=true\npanels=panel1\n\n"
                  "[panel1]\nplugins=statusnotifier\nposition=Bottom\ndesktop=0\npanelSize=32\niconSize=22\n"
                  "width=120\nwidth-percent=false\nalignment=1\nhidable=false\n\n"
                  "[statusnotifier]\nalignment=Right\ntype=statusnotifier\n");
        writeFile(dir + QStringLiteral("/config/lxqt/lxqt.conf"), "[General]\ntheme=light\n");
    }
    ~NotifierPanel()
    {
        stop();
        bus.kill();
        bus.waitForFinished(5000);
    }
    NotifierPanel(const NotifierPanel&) = delete;
    NotifierPanel& operator=(const NotifierPanel&) = delete;

    // The spooler's surroundings on this bus.
    QProcessEnvironment environment(QProcessEnvironment base) const
    {
        base.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        return base;
    }
    // Starts the panel and waits until its watcher is on the bus and its window is there.
    bool start()
    {
        QProcessEnvironment x = environment(QProcessEnvironment::systemEnvironment());
        x.insert(QStringLiteral("DISPLAY"), display.name());
        x.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        x.insert(QStringLiteral("XDG_CONFIG_HOME"), dir + QStringLiteral("/config"));
        x.insert(QStringLiteral("HOME"), dir + QStringLiteral("/home"));
        x.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir);
        panel.setProcessEnvironment(x);
        panel.setProcessChannelMode(QProcess::MergedChannels);
        panel.setStandardOutputFile(dir + QStringLiteral("/panel.log"), QIODevice::Append);
        panel.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        panel.start(QStringLiteral("lxqt-panel"), {});
        window = display.waitForWindow({QStringLiteral("--name"), QStringLiteral("^LXQt Panel$")});
        return !window.isEmpty() && waitUntil([&] {
            return call({QStringLiteral("--dest"), QStringLiteral("org.freedesktop.DBus"),
                         QStringLiteral("--object-path"), QStringLiteral("/org/freedesktop/DBus"),
                         QStringLiteral("--method"), QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
                         QStringLiteral("org.kde.StatusNotifierWatcher")})
                .contains(QLatin1String("true"));
        });
    }
    void stop()
    {
        if (panel.state() == QProcess::NotRunning)
            return;
        panel.kill();
        panel.waitForFinished(5000);
    }
    // Runs `gdbus call` on the bus with these arguments; its output.
    QString call(const QStringList& arguments) const
    {
        QProcess gdbus;
        gdbus.start(QStringLiteral("gdbus"),
                    QStringList{QStringLiteral("call"), QStringLiteral("--address"), address} + arguments);
        if (!gdbus.waitForFinished(10000))
            return {};
        return QString::fromUtf8(gdbus.readAllStandardOutput()).trimmed();
    }
    // The items the watcher has registered ("service/path").
    QStringList items() const
    {
        const QString answer =
            call({QStringLiteral("--dest"), QStringLiteral("org.kde.StatusNotifierWatcher"),
                  QStringLiteral("--object-path"), QStringLiteral("/StatusNotifierWatcher"), QStringLiteral("--method"),
                  QStringLiteral("org.freedesktop.DBus.Properties.Get"),
                  QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("RegisteredStatusNotifierItems")});
        QStringList found;
        for (const QRegularExpressionMatch& match : QRegularExpression(QStringLiteral("'([^']+)'")).globalMatch(answer))
            found << match.captured(1);
        return found;
    }
    // The bus name of the one item the watcher has, waiting for it; empty when there is none.
    QString item() const
    {
        QStringList registered;
        waitUntil([&] {
            registered = items();
            return registered.size() == 1;
        });
        return registered.size() == 1 ? registered.first().section(QLatin1Char('/'), 0, 0) : QString();
    }
    // Calls a method of the item's object (or of its menu) with the arguments.
    QString callItem(const QString& service, const QString& path, const QString& method,
                     const QStringList& arguments = {}) const
    {
        return call(QStringList{QStringLiteral("--dest"), service, QStringLiteral("--object-path"), path,
                                QStringLiteral("--method"), method, QStringLiteral("--")} +
                    arguments);
    }
    // The menu's entries as the host gets them: (id, label) in order.
    std::vector<std::pair<int, QString>> menu(const QString& service) const
    {
        const QString layout =
            callItem(service, QStringLiteral("/MenuBar"), QStringLiteral("com.canonical.dbusmenu.GetLayout"),
                     {QStringLiteral("0"), QStringLiteral("-1"), QStringLiteral("[]")});
        std::vector<std::pair<int, QString>> entries;
        const QRegularExpression entry(QStringLiteral("\\((\\d+), \\{[^}]*'label': <'([^']*)'>"));
        for (const QRegularExpressionMatch& match : entry.globalMatch(layout))
            entries.emplace_back(match.captured(1).toInt(), match.captured(2));
        return entries;
    }
    // Chooses the menu's entry of that label as the host does when it is clicked.
    bool choose(const QString& service, const QString& label) const
    {
        for (const auto& [id, text] : menu(service)) {
            if (text == label) {
                callItem(service, QStringLiteral("/MenuBar"), QStringLiteral("com.canonical.dbusmenu.Event"),
                         {QString::number(id), QStringLiteral("clicked"), QStringLiteral("<''>"), QStringLiteral("0")});
                return true;
            }
        }
        return false;
    }
    // A window's place on the screen.
    QRect geometry(const QString& of) const
    {
        const QString shell = display.run(QStringLiteral("xdotool"),
                                          {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), of});
        const auto value = [&](const char* name) {
            return QRegularExpression(QStringLiteral("%1=(\\d+)").arg(QLatin1String(name)))
                .match(shell)
                .captured(1)
                .toInt();
        };
        return QRect(value("X"), value("Y"), value("WIDTH"), value("HEIGHT"));
    }
    // Clicks the panel's only icon, at the right end of the panel, with the button.
    void click(int button) const
    {
        const QRect panel = geometry(window);
        display.run(QStringLiteral("xdotool"),
                    {QStringLiteral("mousemove"), QString::number(panel.right() - 16),
                     QString::number(panel.center().y()), QStringLiteral("click"), QString::number(button)});
    }
    // The panel's menu window on the screen, waiting up to `ms` for one; empty when none is.
    QString popup(int ms = 10000) const
    {
        QString found;
        waitUntil(
            [&] {
                const QStringList shown =
                    display
                        .run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                                         QStringLiteral("--class"), QStringLiteral("^lxqt-panel$")})
                        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
                for (const QString& candidate : shown) {
                    if (candidate != window)
                        found = candidate;
                }
                return !found.isEmpty();
            },
            ms);
        return found;
    }

    const PrivateDisplay& display;
    QString dir;
    QProcess bus;
    QString address;
    QProcess panel;
    QString window;
};

QString missingNotifierPanel()
{
    const QString missing = missingDesktop();
    if (!missing.isEmpty())
        return missing;
    for (const char* program : {"lxqt-panel", "dbus-daemon", "gdbus"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
            return QStringLiteral("%1 is not installed").arg(QString::fromLatin1(program));
    }
    return {};
}

// The panel is there before the spooler: the icon is registered with its picture and a menu
// of "Pagello" and "Zavřít"; a click on it, and the menu's "Pagello", bring the window back;
// a restarted panel gets the icon again; "Zavřít" ends the program with its settings.
TEST(SpoolerProgram, StatusNotifierHostShowsTheIconWithItsMenu)
{
    const QString missing = missingNotifierPanel();
    if (!missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    Desktop desktop;
    ASSERT_TRUE(desktop.start()) << desktop.error.toStdString();
    NotifierPanel panel(desktop.display, desktop.dir.path());
    ASSERT_FALSE(panel.address.isEmpty()) << "no session bus";
    ASSERT_TRUE(panel.start()) << "the panel did not start";

    SpoolerRun spooler(panel.environment(desktop.environment), desktop.log());
    const QString window = desktop.display.waitForWindow({QStringLiteral("--class"), QStringLiteral("^TForm1$")});
    ASSERT_FALSE(window.isEmpty()) << desktop.logText();
    const QString item = panel.item();
    ASSERT_FALSE(item.isEmpty()) << "no item registered\n" << desktop.logText();
    for (const auto& [property, value] :
         {std::pair("Id", "'Pagello'"), std::pair("Category", "'ApplicationStatus'"), std::pair("Status", "'Active'"),
          std::pair("Menu", "objectpath '/MenuBar'"), std::pair("ItemIsMenu", "false")})
        EXPECT_TRUE(panel
                        .callItem(item, QStringLiteral("/StatusNotifierItem"),
                                  QStringLiteral("org.freedesktop.DBus.Properties.Get"),
                                  {QStringLiteral("org.kde.StatusNotifierItem"), QString::fromLatin1(property)})
                        .contains(QLatin1String(value)))
            << property;
    const std::vector<std::pair<int, QString>> entries = panel.menu(item);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].second, QStringLiteral("Pagello"));
    EXPECT_EQ(entries[1].second, QStringLiteral("_Zavřít"));
    QThread::msleep(1000);
    EXPECT_FALSE(shown(desktop.display, window)) << "the window shows at start";
    EXPECT_FALSE(inTaskBar(desktop.display, window)) << "the window is in the task bar at start";
    // A right click opens the item's menu in the panel; the panel with the menu open is the
    // README's picture when PAGELLO_SCREENSHOT names a file for it.
    panel.click(3);
    const QString popup = panel.popup();
    ASSERT_FALSE(popup.isEmpty()) << "a right click on the icon opened no menu\n" << desktop.logText();
    if (const QString picture = qEnvironmentVariable("PAGELLO_SCREENSHOT"); !picture.isEmpty()) {
        const QRect area = panel.geometry(panel.window).united(panel.geometry(popup)).adjusted(-8, -8, 0, 0);
        desktop.display.run(
            QStringLiteral("import"),
            {QStringLiteral("-window"), QStringLiteral("root"), QStringLiteral("-crop"),
             QStringLiteral("%1x%2+%3+%4").arg(area.width()).arg(area.height()).arg(area.x()).arg(area.y()),
             QStringLiteral("+repage"), picture});
    }
    desktop.display.run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")});
    EXPECT_TRUE(waitUntil([&] { return panel.popup(0).isEmpty(); })) << "the menu did not close";

    const auto backInFront = [&](const char* how) {
        EXPECT_TRUE(waitUntil([&] { return shown(desktop.display, window) && inTaskBar(desktop.display, window); }))
            << how << " did not bring the window back\n"
            << desktop.logText();
    };
    const auto minimise = [&] {
        desktop.display.run(QStringLiteral("xdotool"), {QStringLiteral("windowminimize"), window});
        EXPECT_TRUE(waitUntil([&] { return !shown(desktop.display, window) && !inTaskBar(desktop.display, window); }))
            << "minimised, the window did not go into the panel\n"
            << desktop.logText();
    };
    panel.click(1);
    backInFront("a click on the icon");
    minimise();
    ASSERT_TRUE(panel.choose(item, QStringLiteral("Pagello")));
    backInFront("the menu's \"Pagello\"");
    minimise();

    // The panel restarted: the new watcher has the icon again.
    panel.stop();
    ASSERT_TRUE(panel.start()) << "the panel did not start again";
    const QString again = panel.item();
    ASSERT_FALSE(again.isEmpty()) << "the restarted panel has no item\n" << desktop.logText();
    EXPECT_TRUE(spooler.running());

    ASSERT_TRUE(panel.choose(again, QStringLiteral("_Zavřít")));
    EXPECT_TRUE(spooler.endsWell(20000)) << desktop.logText();
    EXPECT_NE(readBytes(desktop.registry()).find("\"PagesSpool\"=dword:00000003"), std::string::npos)
        << "the settings were not written at the end";
}

// The panel comes up 4 s after the spooler: the icon is registered with it, and Activate (a
// left click) brings the window back.
TEST(SpoolerProgram, StatusNotifierHostThatComesLaterGetsTheIcon)
{
    const QString missing = missingNotifierPanel();
    if (!missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    Desktop desktop;
    ASSERT_TRUE(desktop.start()) << desktop.error.toStdString();
    NotifierPanel panel(desktop.display, desktop.dir.path());
    ASSERT_FALSE(panel.address.isEmpty()) << "no session bus";

    SpoolerRun spooler(panel.environment(desktop.environment), desktop.log());
    const QString window = desktop.display.waitForWindow({QStringLiteral("--class"), QStringLiteral("^TForm1$")});
    ASSERT_FALSE(window.isEmpty()) << desktop.logText();
    QThread::msleep(4000);
    ASSERT_TRUE(panel.start()) << "the panel did not start";
    const QString item = panel.item();
    ASSERT_FALSE(item.isEmpty()) << "no item registered with the panel that came later\n" << desktop.logText();
    EXPECT_EQ(panel.menu(item).size(), 2u);
    // The program looks for the area every 2 s and then hides its window in it.
    EXPECT_TRUE(waitUntil([&] { return !inTaskBar(desktop.display, window); })) << desktop.logText();

    QThread::msleep(3000);
    const QString now = panel.item();
    ASSERT_FALSE(now.isEmpty()) << desktop.logText();
    panel.callItem(now, QStringLiteral("/StatusNotifierItem"), QStringLiteral("org.kde.StatusNotifierItem.Activate"),
                   {QStringLiteral("0"), QStringLiteral("0")});
    EXPECT_TRUE(waitUntil([&] { return shown(desktop.display, window) && inTaskBar(desktop.display, window); }))
        << "Activate did not bring the window back\n"
        << desktop.logText();
    SpoolerRun quit(desktop.environment, desktop.log(), {QStringLiteral("/u")});
    EXPECT_TRUE(quit.endsWell(10000));
    EXPECT_TRUE(spooler.endsWell(20000)) << desktop.logText();
}

// The road of one file on a desktop: the program, with the watcher's switch beside it,
// sits in the tray; a DOS program writes a report slowly and holds it open past the first
// print pass; once it lets go the report goes to the printer in jobs of three pages and the
// file is deleted; a click on the icon shows the queue, and "/u" ends the program, which
// writes its settings.
TEST(SpoolerProgram, RoadOfOneFileFromItsWriterThroughTheTrayToThePrinter)
{
    QString missing = missingPanel();
    if (missing.isEmpty() && QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty())
        missing = QStringLiteral("pdftotext is not installed");
    if (!missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    Desktop desktop;
    ASSERT_TRUE(desktop.start()) << desktop.error.toStdString();
    Panel panel(desktop.display);
    ASSERT_FALSE(panel.window.isEmpty()) << "the panel did not start";
    const QString program = desktop.dir.filePath(QStringLiteral("program/pagello"));
    ASSERT_TRUE(QDir().mkpath(desktop.dir.filePath(QStringLiteral("program"))));
    ASSERT_TRUE(QFile::copy(QStringLiteral(PAGELLO_PROGRAM), program));
    ASSERT_TRUE(writeFile(desktop.dir.filePath(QStringLiteral("program/kavrin.fxp")), {}));

    // Seven pages in the DOS code page, each with its number and a Czech sentence.
    const QString sentence = QStringLiteral("Příliš žluťoučký kůň úpěl ďábelské ódy");
    QStringList pages;
    for (int page = 1; page <= 7; ++page)
        pages << QStringLiteral("PŘEHLED SKLADU  strana %1/7\r\n%2\r\n").arg(page).arg(sentence);
    QProcess iconv;
    iconv.start(QStringLiteral("iconv"),
                {QStringLiteral("-f"), QStringLiteral("UTF-8"), QStringLiteral("-t"), QStringLiteral("CP852")});
    iconv.write(pages.join(QLatin1Char('\f')).toUtf8());
    iconv.closeWriteChannel();
    ASSERT_TRUE(iconv.waitForFinished(10000));
    const QList<QByteArray> encoded = iconv.readAllStandardOutput().split('\f');
    ASSERT_EQ(encoded.size(), 7);
    for (int page = 0; page < 7; ++page)
        ASSERT_TRUE(writeFile(desktop.dir.filePath(QStringLiteral("page%1").arg(page + 1)),
                              encoded[page] + (page < 6 ? QByteArray("\f") : QByteArray())));

    SpoolerRun spooler(desktop.environment, desktop.log(), {}, program);
    QElapsedTimer sinceStart;
    sinceStart.start();
    const QString window = desktop.display.waitForWindow({QStringLiteral("--class"), QStringLiteral("^TForm1$")});
    ASSERT_FALSE(window.isEmpty()) << desktop.logText();
    const QString icon = panel.dockedIcon();
    ASSERT_FALSE(icon.isEmpty()) << "no icon docked in the panel\n" << desktop.logText();
    EXPECT_FALSE(shown(desktop.display, window)) << "the window shows at start";

    // The writer: a page a second, then it holds the file until well past the first pass.
    const QString document = desktop.dir.filePath(QStringLiteral("tisk/X.PRN"));
    QProcess writer;
    writer.setWorkingDirectory(desktop.dir.path());
    writer.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    writer.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"),
                                             QStringLiteral("exec 3>\"$1\"; for p in 1 2 3 4 5 6 7; do cat page$p >&3; "
                                                            "sleep 1; done; sleep $2; exec 3>&-; echo closed"),
                                             QStringLiteral("writer"), document,
                                             QString::number(std::max<qint64>(1, 14 - sinceStart.elapsed() / 1000))});
    ASSERT_TRUE(writer.waitForStarted());
    // Past the first pass (10 s after the start), the held file is still waiting.
    while (sinceStart.elapsed() < 12000 && writer.state() == QProcess::Running)
        QThread::msleep(100);
    ASSERT_EQ(writer.state(), QProcess::Running) << "the writer let go before the first pass";
    EXPECT_TRUE(desktop.cups.capturedJobs(kQueue).empty()) << "printed while its writer held it";
    EXPECT_TRUE(QFile::exists(document));
    ASSERT_TRUE(writer.waitForFinished(20000));
    ASSERT_EQ(writer.readAllStandardOutput().trimmed(), "closed");

    // Within a few seconds: three jobs, their titles as the scheduler has them, the pages
    // and the Czech text of the report; the file is gone.
    QElapsedTimer sinceClose;
    sinceClose.start();
    ASSERT_TRUE(waitUntil([&] { return desktop.cups.capturedJobs(kQueue).size() >= 3 && !QFile::exists(document); }))
        << desktop.logText();
    std::cout << "the road from the writer's close to the third job and the file's deletion: " << sinceClose.elapsed()
              << " ms\n";
    const std::vector<PrivateCups::CapturedJob> jobs = desktop.cups.capturedJobs(kQueue);
    ASSERT_EQ(jobs.size(), 3u);
    const QStringList titles = {QStringLiteral("Pagello : X.PRN  1-3"), QStringLiteral("Pagello : X.PRN  4-6"),
                                QStringLiteral("Pagello : X.PRN  7-7")};
    const int counts[] = {3, 3, 1};
    int page = 1;
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        SCOPED_TRACE(j);
        EXPECT_EQ(jobs[j].title, titles[int(j)]);
        const QString info = desktop.display.run(QStringLiteral("pdfinfo"), {jobs[j].document});
        EXPECT_TRUE(info.contains(QRegularExpression(QStringLiteral("Pages:\\s+%1\\n").arg(counts[j]))))
            << info.toStdString();
        const QString text = desktop.display.run(QStringLiteral("pdftotext"), {jobs[j].document, QStringLiteral("-")});
        for (int n = 0; n < counts[j]; ++n, ++page)
            EXPECT_TRUE(text.contains(QRegularExpression(QStringLiteral("PŘEHLED SKLADU\\s+strana %1/7").arg(page))))
                << text.toStdString();
        EXPECT_EQ(text.count(sentence), counts[j]) << text.toStdString();
    }

    // A click on the icon shows the queue window; "/u" ends the program with its settings.
    panel.click(icon, 1);
    EXPECT_TRUE(waitUntil([&] { return shown(desktop.display, window); })) << desktop.logText();
    SpoolerRun quit(desktop.environment, desktop.log(), {QStringLiteral("/u")}, program);
    EXPECT_TRUE(quit.endsWell(10000));
    EXPECT_TRUE(spooler.endsWell(20000)) << desktop.logText();
    const std::string settings = readBytes(desktop.registry());
    for (const char* value :
         {"\"AutoStart\"=dword:00000001", "\"PrinterIndex\"=dword:", "\"PagesSpool\"=dword:00000003"})
        EXPECT_NE(settings.find(value), std::string::npos) << value << "\n" << settings;
}

// A Wayland compositor of the test's own: weston, headless, with its sockets in a runtime
// directory of its own and its X server (Xwayland, started by weston at the first X client)
// on a display number it picks itself. Ended with the test.
struct Weston
{
    static QString missingPrerequisite()
    {
        for (const char* program : {"weston", "Xwayland", "xdotool"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
                return QStringLiteral("%1 is not installed").arg(QString::fromLatin1(program));
        }
        const QString plugins = QLibraryInfo::path(QLibraryInfo::PluginsPath);
        if (!QFileInfo::exists(plugins + QStringLiteral("/platforms/libqwayland-generic.so")))
            return QStringLiteral("Qt's Wayland platform is not installed (package qt6-wayland)");
        return {};
    }

    bool start()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET"})
            environment.remove(QString::fromLatin1(name));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardOutputFile(runtime.filePath(QStringLiteral("weston.out")));
        // SIGTERM: weston ends its X server as it goes.
        process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        // weston takes the first display number no X server holds, as a private display's
        // Xvfb in a test beside this one does: one chooses at a time.
        const PrivateDisplay::NumberChoice choosing;
        process.start(QStringLiteral("weston"), {QStringLiteral("--backend=headless-backend.so"),
                                                 QStringLiteral("--xwayland"), QStringLiteral("--socket=") + socket,
                                                 QStringLiteral("--idle-time=0"), QStringLiteral("--log=") + log()});
        const QRegularExpression listening(QStringLiteral("xserver listening on display (:\\d+)"));
        const bool started = waitUntil([&] {
            const QRegularExpressionMatch found = listening.match(logText());
            if (found.hasMatch() && QFileInfo::exists(runtime.filePath(socket)))
                display = found.captured(1);
            return !display.isEmpty() || process.state() == QProcess::NotRunning;
        });
        if (display.isEmpty())
            error = QStringLiteral("weston cannot start here%1:\n%2")
                        .arg(started ? QString() : QStringLiteral(" within 20 s"), logText());
        return !display.isEmpty();
    }
    ~Weston()
    {
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished(5000);
    }
    QString log() const { return runtime.filePath(QStringLiteral("weston.log")); }
    QString logText() const
    {
        QFile file(log());
        return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
    }
    // The spooler's surroundings in a session of this compositor, without its X server.
    QProcessEnvironment session(QProcessEnvironment environment) const
    {
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.insert(QStringLiteral("WAYLAND_DISPLAY"), socket);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        environment.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
        return environment;
    }
    // The first window of the X server that `xdotool search` finds, waiting up to 20 s.
    QString waitForWindow(const QStringList& search) const
    {
        QString found;
        waitUntil([&] {
            QProcess xdotool;
            QProcessEnvironment x = QProcessEnvironment::systemEnvironment();
            x.insert(QStringLiteral("DISPLAY"), display);
            xdotool.setProcessEnvironment(x);
            xdotool.start(QStringLiteral("xdotool"), QStringList{QStringLiteral("search")} + search);
            xdotool.waitForFinished(10000);
            found = QString::fromUtf8(xdotool.readAllStandardOutput()).trimmed().section(QLatin1Char('\n'), 0, 0);
            return !found.isEmpty();
        });
        return found;
    }

    QTemporaryDir runtime; // mode 0700, as a runtime directory is
    const QString socket = QStringLiteral("pagello-wayland");
    QProcess process;
    QString display; // ":N" of its X server
    QString error;
};

QString missingWayland()
{
    const QString cups = PrivateCups::missingPrerequisite();
    return cups.isEmpty() ? Weston::missingPrerequisite() : cups;
}

// In a Wayland session without any X display the spooler runs on Wayland, where no window
// of another process can be found: a second start still ends at once, and "/u" still ends
// the running spooler as it does on X, with its settings written.
TEST(SpoolerProgram, OnWaylandWithoutXLaterStartsReachTheRunningSpooler)
{
    const QString missing = missingWayland();
    if (!missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    Weston weston;
    if (!weston.start())
        GTEST_SKIP() << weston.error.toStdString();
    Desktop desktop;
    ASSERT_TRUE(desktop.start(false)) << desktop.error.toStdString();
    const QProcessEnvironment session = weston.session(desktop.environment);
    const QString socket = weston.runtime.filePath(QStringLiteral("pagello.socket"));

    SpoolerRun first(session, desktop.log());
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(socket) || !first.running(); }) && first.running())
        << "the spooler does not listen beside its lock\n"
        << desktop.logText();
    EXPECT_TRUE(first.loaded(QStringLiteral("libqwayland"))) << "the spooler does not run on Wayland";

    SpoolerRun second(session, desktop.log());
    EXPECT_TRUE(second.endsWell(10000)) << desktop.logText();
    SpoolerRun handBack(session, desktop.log(), {QStringLiteral("/a")});
    EXPECT_TRUE(handBack.endsWell(10000)) << desktop.logText();
    EXPECT_TRUE(first.running());
    EXPECT_FALSE(QFile::exists(desktop.registry())) << "the running spooler was left as it was";

    SpoolerRun quit(session, desktop.log(), {QStringLiteral("/u")});
    EXPECT_TRUE(quit.endsWell(10000)) << desktop.logText();
    EXPECT_TRUE(first.endsWell(20000)) << "the running spooler did not quit\n" << desktop.logText();
    EXPECT_TRUE(readBytes(desktop.registry()).find("\"PagesSpool\"=dword:00000003") != std::string::npos)
        << "the settings were not written at the end";
    EXPECT_FALSE(QFileInfo::exists(socket)) << "the socket stayed behind";
}

// In a Wayland session with Xwayland the spooler runs on X: its window is found there, and
// "/u" ends it through the window.
TEST(SpoolerProgram, OnWaylandWithXwaylandItRunsOnX)
{
    const QString missing = missingWayland();
    if (!missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    Weston weston;
    if (!weston.start())
        GTEST_SKIP() << weston.error.toStdString();
    Desktop desktop;
    ASSERT_TRUE(desktop.start(false)) << desktop.error.toStdString();
    QProcessEnvironment session = weston.session(desktop.environment);
    session.insert(QStringLiteral("DISPLAY"), weston.display);

    SpoolerRun first(session, desktop.log());
    const QString window = weston.waitForWindow({QStringLiteral("--class"), QStringLiteral("^TForm1$")});
    ASSERT_FALSE(window.isEmpty()) << "the spooler's window is not found on " << weston.display.toStdString() << "\n"
                                   << desktop.logText();
    EXPECT_TRUE(first.loaded(QStringLiteral("libqxcb"))) << "the spooler does not run on X";

    SpoolerRun quit(session, desktop.log(), {QStringLiteral("/u")});
    EXPECT_TRUE(quit.endsWell(10000)) << desktop.logText();
    EXPECT_TRUE(first.endsWell(20000)) << "the running spooler did not quit\n" << desktop.logText();
    EXPECT_TRUE(readBytes(desktop.registry()).find("\"PagesSpool\"=dword:00000003") != std::string::npos)
        << "the settings were not written at the end";
}

// The spooler program beside the switch of its directory watcher, copied into the test's
// directory: files that come after the start are seen.
QString watchingProgram(const QTemporaryDir& dir)
{
    const QString program = dir.filePath(QStringLiteral("program/pagello"));
    if (!QDir().mkpath(dir.filePath(QStringLiteral("program"))) ||
        !QFile::copy(QStringLiteral(PAGELLO_PROGRAM), program) ||
        !writeFile(dir.filePath(QStringLiteral("program/kavrin.fxp")), {}))
        return {};
    return program;
}

// A central print server of an office: a second scheduler reachable only over TCP (on the
// loopback interface), with a queue that lives only there. The spooler prints through the
// server the user's system names, by CUPS_SERVER or by ServerName in client.conf. While the
// server cannot be reached, the documents stay in the spool directory and standard error
// says why.
TEST(SpoolerProgram, PrintsThroughTheCentralPrintServerAndKeepsTheFilesWhileItIsAway)
{
    const QString missing = PrivateCups::missingPrerequisite();
    if (!missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    const QString office = QStringLiteral("Kancelar");
    const quint16 port = PrivateCups::freeLoopbackPort();
    ASSERT_NE(port, 0);
    PrivateCups server;
    server.listenOnPort(port);
    ASSERT_TRUE(server.start() && server.addCaptureQueue(office) && server.setDefault(office))
        << server.error().toStdString();

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString program = watchingProgram(dir);
    ASSERT_FALSE(program.isEmpty());
    const QString spool = dir.filePath(QStringLiteral("tisk"));
    const QString log = dir.filePath(QStringLiteral("pagello.log"));
    const QString home = dir.filePath(QStringLiteral("home"));
    ASSERT_TRUE(QDir().mkpath(spool) && QDir().mkpath(home + QStringLiteral("/.cups")));
    ASSERT_TRUE(
        writeFile(home + QStringLiteral("/.cups/client.conf"), "ServerName " + server.serverAddress().toUtf8() + "\n"));
    const auto logText = [&] {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    };
    const QProcessEnvironment base = offscreenSpooler(dir, spool, dir.filePath(QStringLiteral("system.reg")), server);
    QProcessEnvironment byVariable = base;
    byVariable.insert(QStringLiteral("CUPS_SERVER"), server.serverAddress());
    QProcessEnvironment byClientConf = base;
    byClientConf.remove(QStringLiteral("CUPS_SERVER"));
    byClientConf.insert(QStringLiteral("HOME"), home);

    const struct
    {
        const char* how;
        const QProcessEnvironment& environment;
    } servers[] = {{"CUPS_SERVER", byVariable}, {"client.conf", byClientConf}};
    int expectedJobs = 0;
    std::unique_ptr<SpoolerRun> spooler;
    for (const auto& named : servers) {
        SCOPED_TRACE(named.how);
        const QString name = QStringLiteral("SERVER-%1.PRN").arg(expectedJobs + 1);
        spooler.reset();
        spooler = std::make_unique<SpoolerRun>(named.environment, log, QStringList{}, program);
        ASSERT_TRUE(spooler->running()) << logText();
        ASSERT_TRUE(writeFile(spool + QLatin1Char('/') + name, "Tisk na centralnim serveru\r\n\fstrana 2\r\n"));
        ++expectedJobs;
        EXPECT_TRUE(waitUntil(
            [&] {
                return server.capturedJobs(office).size() == std::size_t(expectedJobs) &&
                       !QFile::exists(spool + QLatin1Char('/') + name);
            },
            kWaitMs))
            << logText() << server.logTail().toStdString();
        const std::vector<PrivateCups::CapturedJob> jobs = server.capturedJobs(office);
        ASSERT_EQ(jobs.size(), std::size_t(expectedJobs)) << logText();
        EXPECT_EQ(jobs.back().title.toStdString(), QStringLiteral("Pagello : %1  1-2").arg(name).toStdString());
    }

    // The server goes away while the spooler runs: the document waits, whole, and the
    // spooler says why on standard error.
    server.stop();
    const QString away = spool + QStringLiteral("/AWAY.PRN");
    ASSERT_TRUE(writeFile(away, "Server je pryc\r\n"));
    const QByteArray said = "pagello: The print server " + server.serverAddress().toUtf8() +
                            " cannot be reached; the printer '" + office.toUtf8() + "' waits for it.";
    EXPECT_TRUE(waitUntil([&] { return QByteArray::fromStdString(logText()).contains(said); }, kWaitMs)) << logText();
    EXPECT_TRUE(spooler->running()) << logText();
    EXPECT_TRUE(QFile::exists(away)) << "a document was deleted while the print server could not be reached";
}

// The text pdftotext reads from a job's document; empty without pdftotext.
QString pdfText(const QString& pdf)
{
    QProcess pdftotext;
    pdftotext.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), pdf, QStringLiteral("-")});
    pdftotext.waitForFinished(20000);
    return QString::fromUtf8(pdftotext.readAllStandardOutput());
}

// A document of `pages` pages, each headed with its version and number.
QByteArray versionedDocument(int version, int pages)
{
    QByteArray text;
    for (int page = 1; page <= pages; ++page)
        text += (page > 1 ? "\f" : "") + QByteArray("VERZE ") + QByteArray::number(version) + " STRANA " +
                QByteArray::number(page) + "\r\n";
    return text;
}

// The spool directory shared by Samba with the example share, the PCs of the office
// played by smbclient: a document written slowly is printed only once its writer closed
// it, once and whole; twenty documents put at once are each printed once; a document put
// again under the same name while it prints is printed again, whole.
TEST(SpoolerProgram, SpoolFolderSharedWithSambaPrintsWhatThePcsPutThereOnceAndWhole)
{
    QString missing = PrivateCups::missingPrerequisite();
    if (missing.isEmpty())
        missing = PrivateSamba::missingPrerequisite();
    if (!missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    PrivateCups cups;
    ASSERT_TRUE(cups.start() && cups.addCaptureQueue(kQueue) && cups.setDefault(kQueue)) << cups.error().toStdString();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString spool = dir.filePath(QStringLiteral("tisk"));
    ASSERT_TRUE(QDir().mkpath(spool));
    PrivateSamba samba;
    if (!samba.start(spool))
        GTEST_SKIP() << "smbd cannot run here: " << samba.error().toStdString();
    const QString program = watchingProgram(dir);
    ASSERT_FALSE(program.isEmpty());
    const QString registry = dir.filePath(QStringLiteral("system.reg"));
    ASSERT_TRUE(writeFile(registry, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\Pagello]\n"
                                    "\"PagesSpool\"=dword:00000002\n"));
    const QString log = dir.filePath(QStringLiteral("pagello.log"));
    const auto logText = [&] {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    };
    const auto titles = [&](const QString& name) {
        QStringList found;
        for (const PrivateCups::CapturedJob& job : cups.capturedJobs(kQueue)) {
            if (job.title.startsWith(QStringLiteral("Pagello : %1  ").arg(name)))
                found << job.title;
        }
        return found;
    };
    SpoolerRun spooler(offscreenSpooler(dir, spool, registry, cups), log, {}, program);
    ASSERT_TRUE(spooler.running()) << logText();
    QElapsedTimer sinceStart;
    sinceStart.start();

    {
        SCOPED_TRACE("a document written slowly by an old Windows PC");
        QProcess writer;
        samba.startWriter(writer, QStringLiteral("POMALU.PRN"), QStringLiteral("NT1"));
        ASSERT_TRUE(writer.waitForStarted());
        writer.write(versionedDocument(1, 2).left(12));
        // Held open on the server past the first passes (10 s after the start, then every second).
        while (sinceStart.elapsed() < 14000 && writer.state() == QProcess::Running)
            QThread::msleep(100);
        ASSERT_EQ(writer.state(), QProcess::Running) << writer.readAll().toStdString();
        EXPECT_TRUE(QFile::exists(spool + QStringLiteral("/POMALU.PRN")));
        EXPECT_TRUE(titles(QStringLiteral("POMALU.PRN")).isEmpty()) << "printed while its writer held it";
        writer.write(versionedDocument(1, 2).mid(12));
        writer.closeWriteChannel();
        ASSERT_TRUE(writer.waitForFinished(30000));
        ASSERT_EQ(writer.exitCode(), 0) << writer.readAll().toStdString();
        EXPECT_TRUE(waitUntil([&] { return !QFile::exists(spool + QStringLiteral("/POMALU.PRN")); }, kWaitMs))
            << logText();
        ASSERT_TRUE(cups.waitUntilIdle(kWaitMs)) << cups.error().toStdString();
        EXPECT_EQ(titles(QStringLiteral("POMALU.PRN")).join(QLatin1Char('\n')).toStdString(),
                  "Pagello : POMALU.PRN  1-2");
    }

    {
        SCOPED_TRACE("twenty documents put at once by DOS, Windows and Linux PCs");
        constexpr int kMany = 20;
        std::vector<std::unique_ptr<QProcess>> clients;
        for (int i = 1; i <= kMany; ++i) {
            const QString local = dir.filePath(QStringLiteral("local-%1").arg(i));
            ASSERT_TRUE(writeFile(local, "HROMADNY TISK " + QByteArray::number(i) + "\r\n"));
            clients.push_back(std::make_unique<QProcess>());
            clients.back()->setProcessChannelMode(QProcess::MergedChannels);
            clients.back()->start(
                QStringLiteral("smbclient"),
                samba.clientArguments(i % 2 ? QStringLiteral("NT1") : QStringLiteral("SMB3"))
                    << QStringLiteral("--command")
                    << QStringLiteral("put %1 HROMADA%2.PRN").arg(local).arg(i, 2, 10, QLatin1Char('0')));
        }
        for (const auto& client : clients) {
            ASSERT_TRUE(client->waitForFinished(60000));
            ASSERT_EQ(client->exitCode(), 0) << client->readAll().toStdString();
        }
        EXPECT_TRUE(waitUntil(
            [&] { return QDir(spool).entryList({QStringLiteral("HROMADA*")}, QDir::Files).isEmpty(); }, kWaitMs))
            << logText();
        ASSERT_TRUE(cups.waitUntilIdle(kWaitMs)) << cups.error().toStdString();
        QStringList all;
        for (const PrivateCups::CapturedJob& job : cups.capturedJobs(kQueue)) {
            if (job.title.startsWith(QStringLiteral("Pagello : HROMADA")))
                all << job.title;
        }
        all.sort();
        QStringList expected;
        for (int i = 1; i <= kMany; ++i)
            expected << QStringLiteral("Pagello : HROMADA%1.PRN  1-1").arg(i, 2, 10, QLatin1Char('0'));
        EXPECT_EQ(all.join(QLatin1Char('\n')).toStdString(), expected.join(QLatin1Char('\n')).toStdString());
    }

    {
        SCOPED_TRACE("a document put again under its name while it prints");
        // Long enough that the second version comes while the first is being printed.
        constexpr int kFirstPages = 200;
        const QString first = dir.filePath(QStringLiteral("version1"));
        const QString second = dir.filePath(QStringLiteral("version2"));
        ASSERT_TRUE(writeFile(first, versionedDocument(1, kFirstPages)) && writeFile(second, versionedDocument(2, 5)));
        // The PC that puts the second version is connected and waits for its command, which
        // it is given as soon as the journal notes the first version's first batch.
        QProcess again;
        again.setProcessChannelMode(QProcess::MergedChannels);
        again.start(QStringLiteral("smbclient"), samba.clientArguments(QStringLiteral("NT1")));
        // smbclient writes nothing to a pipe before it ends: it is given time to connect.
        ASSERT_TRUE(again.waitForStarted());
        QThread::msleep(2000);
        ASSERT_TRUE(samba.client(QStringLiteral("put %1 ZNOVU.PRN").arg(first))) << samba.error().toStdString();
        const QString journal = dir.filePath(QStringLiteral("printed.journal"));
        QElapsedTimer timer;
        timer.start();
        while (journalledPage(journal) < 2 && !timer.hasExpired(kWaitMs))
            QThread::msleep(1);
        again.write(QStringLiteral("put %1 ZNOVU.PRN\nexit\n").arg(second).toUtf8());
        again.closeWriteChannel();
        ASSERT_TRUE(again.waitForFinished(30000)) << again.readAll().toStdString();
        ASSERT_FALSE(again.peek(1 << 20).contains("NT_STATUS_")) << again.readAll().toStdString();
        EXPECT_TRUE(waitUntil([&] { return !QFile::exists(spool + QStringLiteral("/ZNOVU.PRN")); }, kWaitMs))
            << logText();
        ASSERT_TRUE(cups.waitUntilIdle(kWaitMs)) << cups.error().toStdString();
        // The second version whole, once, in the last jobs; the first never mixed into them.
        QStringList secondVersion;
        int firstVersionJobs = 0;
        for (const PrivateCups::CapturedJob& job : cups.capturedJobs(kQueue)) {
            if (!job.title.startsWith(QStringLiteral("Pagello : ZNOVU.PRN")))
                continue;
            const QString text = pdfText(job.document);
            if (text.contains(QLatin1String("VERZE 2"))) {
                EXPECT_FALSE(text.contains(QLatin1String("VERZE 1"))) << job.title.toStdString();
                secondVersion << job.title;
            } else {
                ++firstVersionJobs;
                EXPECT_TRUE(secondVersion.isEmpty()) << "the first version printed after the second";
            }
        }
        if (!QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty()) {
            EXPECT_EQ(secondVersion.join(QLatin1Char('\n')).toStdString(),
                      "Pagello : ZNOVU.PRN  1-2\nPagello : ZNOVU.PRN  3-4\nPagello : ZNOVU.PRN  5-5")
                << logText();
        }
        std::cout << "jobs of the first version before it was put again: " << firstVersionJobs << " of "
                  << kFirstPages / 2 << "\n";
    }
    EXPECT_TRUE(spooler.running()) << logText();
}

} // namespace
