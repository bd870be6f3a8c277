#include "SpoolerTestSupport.h"

#include "FileWatch.h"
#include "platform/linux/LinuxFiles.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

namespace {

// Counts the notifications a watcher posts.
class Receiver : public QObject
{
public:
    int changes = 0;

protected:
    void customEvent(QEvent* event) override
    {
        if (event->type() == WM_QUEUECHANGED)
            ++changes;
    }
};

// Processes events until the condition holds or the time is up.
bool waitFor(const std::function<bool()>& condition, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Waits for a spool file to be listed. The watcher starts at the lowest priority and may
// not watch yet when the file is written; each touch is a change it sees once it does.
bool waitListed(TForm1& form, const QString& path)
{
    QElapsedTimer timer;
    timer.start();
    while (form.queue().find(QFile::encodeName(QFileInfo(path).fileName())) < 0) {
        if (timer.elapsed() > 15000)
            return false;
        QFile(path).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                   (timer.elapsed() / 500 % 2 ? QFileDevice::ReadGroup : QFileDevice::Permissions()));
        waitFor([&] { return form.queue().find(QFile::encodeName(QFileInfo(path).fileName())) >= 0; }, 500);
    }
    return true;
}

// A watcher on its own thread, stopped and freed at the end of the test.
struct RunningWatch
{
    RunningWatch(QObject* window, const QString& directory, IChangeNotifications& notifications)
        : watch(new TFileWatch(window, directory, notifications))
    {}
    ~RunningWatch()
    {
        watch->requestStop();
        watch->wait();
        delete watch;
    }
    TFileWatch* watch;
};

TEST(FileWatch, NotificationModeNotifiesPerSignalAndStartsOverWhenTheDirectoryGoes)
{
    FakeChangeNotifications notifications;
    Receiver window;
    const QString dir = QStringLiteral("/spool");
    notifications.setWatchable(dir, false);
    RunningWatch running(&window, dir, notifications);
    TFileWatch& watch = *running.watch;
    EXPECT_FALSE(watch.Polling);
    std::atomic<int> retries = 0;
    watch.Sleep = [&](int ms) {
        EXPECT_EQ(ms, 4000);
        ++retries;
        notifications.setWatchable(dir, true); // the directory appears meanwhile
    };
    watch.resume();
    ASSERT_TRUE(waitFor([&] { return notifications.openHandles() == 1; }));
    EXPECT_EQ(retries, 1);
    // Files written before the directory could be watched signal nothing: the watcher
    // notifies once as it starts watching.
    ASSERT_TRUE(waitFor([&] { return window.changes == 1; }));

    notifications.signal(dir);
    ASSERT_TRUE(waitFor([&] { return window.changes == 2; }));
    // The directory is removed: the handle is given up and a new one requested, and once
    // that one watches, what was written in between is looked for. The change comes
    // first: the watcher may re-arm at any moment, and a change signalled on a handle it
    // has already given up would be lost.
    notifications.signal(dir);
    notifications.failNext();
    ASSERT_TRUE(waitFor([&] {
        const auto calls = notifications.calls();
        return std::count(calls.begin(), calls.end(), QStringLiteral("first(/spool)")) >= 3;
    }));
    ASSERT_TRUE(waitFor([&] { return window.changes == 4; }));
    const auto calls = notifications.calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), QStringLiteral("close(1)")), calls.end());
    // Waits that time out notify nothing.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    EXPECT_EQ(window.changes, 4);
}

TEST(FileWatch, PollingModeNotifiesEveryFourSeconds)
{
    FakeChangeNotifications notifications;
    notifications.setLocalDisk(false);
    Receiver window;
    RunningWatch running(&window, QStringLiteral("//server/spool"), notifications);
    TFileWatch& watch = *running.watch;
    EXPECT_TRUE(watch.Polling);
    std::atomic<int> sleeps = 0;
    watch.Sleep = [&](int ms) {
        EXPECT_EQ(ms, 4000);
        ++sleeps;
    };
    watch.resume();
    ASSERT_TRUE(waitFor([&] { return window.changes >= 3; }));
    EXPECT_GE(sleeps, 2);
    EXPECT_TRUE(notifications.calls().empty());
}

// The spooler on real change notifications and real exclusive opens, printing on the
// fake printer.
struct RealSpooler : SpoolerFixture
{
    RealSpooler()
    {
        QFile switchFile(dir.filePath(QStringLiteral("kavrin.fxp")));
        EXPECT_TRUE(switchFile.open(QIODevice::WriteOnly));
    }
    // The window and its watcher go before the services they use.
    ~RealSpooler() { form.reset(); }
    TForm1& startReal()
    {
        form = std::make_unique<TForm1>(SpoolerPlatform{fake.platform(),
                                                        fake.registry,
                                                        notifications,
                                                        files,
                                                        fake.environment,
                                                        fake.windows,
                                                        fake.notifyArea,
                                                        {}},
                                        QStringList());
        return *form;
    }
    InotifyNotifications notifications;
    LeaseFileAccess files;
};

TEST(FileWatch, RoadOfOneFileFromWriterToPrinter)
{
    RealSpooler s;
    s.fake.registry.setInteger(QStringLiteral("\\SOFTWARE\\Morvane\\Pagello"), QStringLiteral("PagesSpool"), 3);
    TForm1& form = s.startReal();
    ASSERT_TRUE(form.Watcher->isRunning());
    EXPECT_FALSE(form.Watcher->Polling);

    s.writeDocument(QStringLiteral("REPORT.PRN"), 7);
    ASSERT_TRUE(waitListed(form, s.spoolFile(QStringLiteral("REPORT.PRN"))));
    form.Timer1Timer();
    EXPECT_EQ(s.titles(), (std::vector<QString>{QStringLiteral("Pagello : REPORT.PRN  1-3"),
                                                QStringLiteral("Pagello : REPORT.PRN  4-6"),
                                                QStringLiteral("Pagello : REPORT.PRN  7-7")}));
    EXPECT_FALSE(QFile::exists(s.spoolFile(QStringLiteral("REPORT.PRN"))));
    EXPECT_EQ(form.queue().count(), 0);
    // A change inside a subdirectory lists nothing.
    QDir(s.spoolDir()).mkdir(QStringLiteral("sub"));
    QFile inner(s.spoolDir() + QStringLiteral("/sub/X.PRN"));
    ASSERT_TRUE(inner.open(QIODevice::WriteOnly));
    inner.close();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 200);
    EXPECT_EQ(form.queue().count(), 0);
}

TEST(FileWatch, FileHeldByItsWriterWaitsWhileTheOthersPrint)
{
    RealSpooler s;
    s.writeDocument(QStringLiteral("A.PRN"));
    s.writeDocument(QStringLiteral("B.PRN"));
    QProcess writer;
    writer.start(QStringLiteral("/bin/sh"),
                 {QStringLiteral("-c"), QStringLiteral("exec 3>>\"$0\"; echo ready; exec sleep 30"),
                  s.spoolFile(QStringLiteral("A.PRN"))});
    ASSERT_TRUE(writer.waitForReadyRead(5000));
    TForm1& form = s.startReal();
    form.Timer1Timer();
    EXPECT_EQ(s.titles(), std::vector<QString>{QStringLiteral("Pagello : B.PRN  1-1")});
    EXPECT_EQ(s.states(), QStringList{QStringLiteral("radi se")});

    writer.kill();
    writer.waitForFinished();
    form.Timer1Timer();
    EXPECT_EQ(s.titles().back(), QStringLiteral("Pagello : A.PRN  1-1"));
    EXPECT_EQ(form.queue().count(), 0);
}

// inotify on a directory the spooler must treat as a network share.
class RemoteDirectory : public InotifyNotifications
{
public:
    bool isLocalDisk(const QString&) override { return false; }
};

TEST(FileWatch, ShareIsRescannedEveryFourSeconds)
{
    RealSpooler s;
    RemoteDirectory remote;
    s.form = std::make_unique<TForm1>(SpoolerPlatform{s.fake.platform(),
                                                      s.fake.registry,
                                                      remote,
                                                      s.files,
                                                      s.fake.environment,
                                                      s.fake.windows,
                                                      s.fake.notifyArea,
                                                      {}},
                                      QStringList());
    TForm1& form = *s.form;
    ASSERT_TRUE(form.Watcher->Polling);
    // The first poll comes at once; a file written after it waits for the next one, as no
    // change notification is asked for on a share.
    s.writeDocument(QStringLiteral("FIRST.PRN"));
    ASSERT_TRUE(waitFor([&] { return form.queue().count() == 1; }, 6000));
    QElapsedTimer clock;
    clock.start();
    s.writeDocument(QStringLiteral("SECOND.PRN"));
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1000);
    ASSERT_TRUE(waitFor([&] { return form.queue().count() == 2; }, 6000));
    EXPECT_GE(clock.elapsed(), 1000);
    EXPECT_LE(clock.elapsed(), 5000);
    s.form.reset();
}

// A spool directory made after start-up, or removed and made again, by moving a directory
// that already holds a document into place: nothing changes in it once it is watched, and
// its document is listed all the same.
TEST(FileWatch, SpoolDirectoryMadeAgainWithADocumentInsideIsListed)
{
    RealSpooler s;
    QDir(s.spoolDir()).removeRecursively();
    const QString aside = s.dir.filePath(QStringLiteral("aside"));
    const auto makeWith = [&](const QString& name) {
        ASSERT_TRUE(QDir().mkpath(aside));
        QFile file(aside + QLatin1Char('/') + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("Page 1\r");
        file.close();
        ASSERT_TRUE(QDir().rename(aside, s.spoolDir()));
    };
    TForm1& form = s.startReal();
    EXPECT_EQ(form.queue().count(), 0);
    makeWith(QStringLiteral("LATE.PRN"));
    // The watcher tries again every 4 s.
    ASSERT_TRUE(waitFor([&] { return form.queue().count() == 1; }, 15000));

    ASSERT_TRUE(QDir(s.spoolDir()).removeRecursively());
    ASSERT_TRUE(waitFor([&] { return form.queue().count() == 0; }));
    makeWith(QStringLiteral("AGAIN.PRN"));
    ASSERT_TRUE(waitFor([&] { return form.queue().count() == 1; }, 15000));
    EXPECT_EQ(form.queue().entry(0).name, QByteArray("AGAIN.PRN"));
}

// The writer of the document, a shell command run while the document prints: after the
// first of its jobs the fake printer tells it to go and waits until it is done. It is
// started before the spooler: the thread sanitizer allows no new thread after a fork made
// while the watcher runs. $0 is X.PRN, $1 Y.PRN.
struct WriterDuringJob
{
    WriterDuringJob(RealSpooler& s, const QString& command)
    {
        s.fake.registry.setInteger(QStringLiteral("\\SOFTWARE\\Morvane\\Pagello"), QStringLiteral("PagesSpool"), 3);
        s.writeDocument(QStringLiteral("X.PRN"), 7);
        writer.start(QStringLiteral("/bin/sh"),
                     {QStringLiteral("-c"),
                      QStringLiteral("read -r go; ") + command + QStringLiteral("; echo done; exec sleep 30"),
                      s.spoolFile(QStringLiteral("X.PRN")), s.spoolFile(QStringLiteral("Y.PRN"))});
        EXPECT_TRUE(writer.waitForStarted(5000));
        s.fake.printers.afterJob = [this](const FakePrinters::Job& job) {
            if (job.title != QStringLiteral("Pagello : X.PRN  1-3"))
                return;
            writer.write("go\n");
            EXPECT_TRUE(writer.waitForReadyRead(5000));
        };
    }
    ~WriterDuringJob() { stop(); }
    void stop()
    {
        writer.kill();
        writer.waitForFinished(5000);
    }
    QProcess writer;
};

const std::vector<QString> kFirstDocument = {QStringLiteral("Pagello : X.PRN  1-3"),
                                             QStringLiteral("Pagello : X.PRN  4-6"),
                                             QStringLiteral("Pagello : X.PRN  7-7")};

// A writer that opens the document again while it prints makes another document of it:
// the file is not deleted with the one printed, and is printed in its turn as what it
// holds then, once its writer is done.
TEST(FileWatch, DocumentWrittenAgainWhileItPrintsIsKeptAndPrintedAsTheNewOne)
{
    const struct
    {
        const char* writer;
        const char* command;
        bool holds; // the writer still has the file open when the job ends
    } cases[] = {
        {"rewritten", "printf 'New 1\\fNew 2\\r' >\"$0\"", false},
        {"being rewritten", "exec 3>\"$0\"; printf 'New 1\\fNew 2\\r' >&3", true},
        {"replaced", "printf 'New 1\\fNew 2\\r' >\"$1\" && mv \"$1\" \"$0\"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.writer);
        RealSpooler s;
        WriterDuringJob writer(s, QString::fromLatin1(c.command));
        TForm1& form = s.startReal();
        form.Timer1Timer();
        EXPECT_EQ(s.titles(), kFirstDocument);
        EXPECT_TRUE(QFile::exists(s.spoolFile(QStringLiteral("X.PRN"))));
        ASSERT_EQ(form.queue().count(), 1);
        if (c.holds) {
            form.Timer1Timer();
            EXPECT_EQ(s.titles(), kFirstDocument);
            EXPECT_EQ(s.states(), QStringList{QStringLiteral("radi se")});
        }
        writer.stop();

        form.Timer1Timer();
        std::vector<QString> both = kFirstDocument;
        both.push_back(QStringLiteral("Pagello : X.PRN  1-2"));
        EXPECT_EQ(s.titles(), both);
        EXPECT_FALSE(QFile::exists(s.spoolFile(QStringLiteral("X.PRN"))));
        EXPECT_EQ(form.queue().count(), 0);
    }
}

// A document moved to another name while it prints has been printed whole: under its new
// name it is only deleted.
TEST(FileWatch, DocumentRenamedWhileItPrintsIsPrintedOnceAndDeleted)
{
    RealSpooler s;
    WriterDuringJob writer(s, QStringLiteral("mv \"$0\" \"$1\""));
    TForm1& form = s.startReal();
    form.Timer1Timer();
    EXPECT_EQ(s.titles(), kFirstDocument);
    const QString renamed = s.spoolFile(QStringLiteral("Y.PRN"));
    ASSERT_TRUE(waitFor([&] { return form.queue().find("Y.PRN") >= 0 || !QFile::exists(renamed); }));
    form.Timer1Timer();
    EXPECT_EQ(s.titles(), kFirstDocument);
    EXPECT_FALSE(QFile::exists(renamed));
    EXPECT_EQ(form.queue().count(), 0);
}

} // namespace
