#include "SpoolerTestSupport.h"

#include "FileWatch.h"

#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace {

TEST(QueueModel, MergeKeepsOrderAndStatesAndIgnoresLetterCase)
{
    TQueueModel model;
    model.merge(QByteArrayList{"B.PRN", "a.prn"});
    model.setState(0, QStringLiteral("radi se"));
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserts(&model, &QAbstractItemModel::rowsInserted);

    // Unchanged entries stay untouched, a name in other letters is the same entry (under
    // the name it has now), new names are appended in one step.
    model.merge(QByteArrayList{"A.PRN", "b.prn", "C.PRN", "D.PRN"});
    ASSERT_EQ(model.count(), 4);
    EXPECT_EQ(model.entry(0).caption, QStringLiteral("b.prn"));
    EXPECT_EQ(model.entry(0).state, QStringLiteral("radi se"));
    EXPECT_EQ(model.entry(1).caption, QStringLiteral("A.PRN"));
    EXPECT_EQ(model.entry(3).caption, QStringLiteral("D.PRN"));
    EXPECT_EQ(inserts.size(), 1);
    EXPECT_EQ(resets.size(), 0);

    // Gone files are removed; the rest keep order and state.
    model.merge(QByteArrayList{"d.prn", "B.prn"});
    ASSERT_EQ(model.count(), 2);
    EXPECT_EQ(model.entry(0).caption, QStringLiteral("B.prn"));
    EXPECT_EQ(model.entry(0).state, QStringLiteral("radi se"));
    EXPECT_EQ(model.find("D.prn"), 1);
    EXPECT_EQ(resets.size(), 1);

    // Names that are not text are told apart by their bytes, though they look alike.
    model.merge(QByteArrayList{"\xe9.PRN", "\xe8.PRN", "\xe8.prn"});
    ASSERT_EQ(model.count(), 2);
    EXPECT_EQ(model.entry(0).caption, model.entry(1).caption);
    EXPECT_EQ(model.entry(1).name, QByteArray("\xe8.PRN"));
}

// The old bytes of a name renamed in letter case would never open again: the entry takes
// the new name where it stands, with its state.
TEST(QueueModel, EntryRenamedInLetterCaseTakesTheNewNameInItsPlace)
{
    TQueueModel model;
    model.merge(QByteArrayList{"A.PRN", "B.PRN"});
    model.setState(0, QStringLiteral("radi se"));
    QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    model.merge(QByteArrayList{"a.prn", "B.PRN"});
    ASSERT_EQ(model.count(), 2);
    EXPECT_EQ(model.entry(0).name, QByteArray("a.prn"));
    EXPECT_EQ(model.data(model.index(0, 0), Qt::DisplayRole).toString(), QStringLiteral("a.prn"));
    EXPECT_EQ(model.entry(0).state, QStringLiteral("radi se"));
    EXPECT_EQ(model.entry(1).name, QByteArray("B.PRN"));
    ASSERT_EQ(changes.size(), 1);
    EXPECT_EQ(changes[0][0].toModelIndex(), model.index(0, 0));
    EXPECT_EQ(resets.size(), 0);

    // While its own name is still listed (another file differs only in case) it keeps it.
    model.merge(QByteArrayList{"A.prn", "a.prn", "B.PRN"});
    EXPECT_EQ(model.entry(0).name, QByteArray("a.prn"));

    // Renamed while another entry goes, and a name that is not text by its bytes.
    model.merge(QByteArrayList{"\xe9.prn", "A.Prn"});
    model.merge(QByteArrayList{"\xe9.PRN", "a.PRN"});
    ASSERT_EQ(model.count(), 2);
    EXPECT_EQ(model.entry(0).name, QByteArray("a.PRN"));
    EXPECT_EQ(model.entry(0).state, QStringLiteral("radi se"));
    EXPECT_EQ(model.entry(1).name, QByteArray("\xe9.PRN"));
    EXPECT_EQ(model.find("A.PRN"), 0);
}

TEST(QueueModel, ListsOnlyPlainVisibleSpoolFiles)
{
    QTemporaryDir dir;
    const auto touch = [&](const QString& name) {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    };
    touch(QStringLiteral("b.prn"));
    touch(QStringLiteral("A.PRN"));
    touch(QStringLiteral(".hidden.prn"));
    touch(QStringLiteral("note.txt"));
    QDir(dir.path()).mkdir(QStringLiteral("DIR.PRN"));
    QFile::link(dir.filePath(QStringLiteral("A.PRN")), dir.filePath(QStringLiteral("LINK.PRN")));
    EXPECT_EQ(listSpoolFiles(dir.path()), (QByteArrayList{"A.PRN", "b.prn"}));
    EXPECT_TRUE(listSpoolFiles(dir.filePath(QStringLiteral("missing"))).isEmpty());
}

TEST(Spooler, ResolvesTheSpoolDirectory)
{
    SpoolerFixture f;
    f.fake.environment.programDir = QStringLiteral("/opt/pagello");
    f.fake.environment.startupDir = QStringLiteral("/home/user");
    const struct
    {
        const char* value;
        const char* expected;
    } cases[] = {
        {nullptr, "/opt/pagello/tisk"}, {"", "/opt/pagello/tisk"},         {"/data/spool/", "/data/spool"},
        {"spool", "/home/user/spool"},  {"../x/./spool", "/home/x/spool"}, {"/", ""},
    };
    TForm1& form = f.start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        f.fake.environment.variables.clear();
        if (c.value)
            f.fake.environment.variables.insert(QStringLiteral("PAGELLO"), QString::fromUtf8(c.value));
        EXPECT_EQ(form.ResolveSpoolDir(), QString::fromUtf8(c.expected));
    }
}

TEST(Spooler, StatusPanelsFollowQueueAndPause)
{
    SpoolerFixture f;
    TForm1& form = f.start();
    form.Timer1Timer();
    // An empty queue shows the printer; printing is active and idle.
    EXPECT_EQ(form.statusText(0), QStringLiteral("Laser"));
    EXPECT_EQ(form.statusText(1), QStringLiteral("Klidový stav"));

    f.writeDocument(QStringLiteral("A.PRN"));
    f.writeDocument(QStringLiteral("B.PRN"));
    form.ScanQueue();
    EXPECT_EQ(form.statusText(0), QStringLiteral("2 dokument(ů) ve frontě"));

    f.ui().PausePrinting->trigger();
    EXPECT_FALSE(form.PrintingActive);
    form.UpdateStatus();
    EXPECT_EQ(form.statusText(1), QString());
    form.Timer1Timer(); // paused: nothing is printed
    EXPECT_TRUE(f.fake.printers.jobs().empty());
    EXPECT_EQ(form.timer1().interval(), 1000);

    SpoolerFixture none;
    none.fake.printers.setPrinterIndex(-1);
    none.start();
    EXPECT_EQ(none.form->statusText(0), QString());
}

TEST(Spooler, EraseKeepsFilesInUseAndDeleteWaitsForTheRescan)
{
    SpoolerFixture f;
    for (const char* name : {"A.PRN", "B.PRN", "C.PRN"})
        f.writeDocument(QString::fromLatin1(name));
    f.fake.files.setInUse(f.spoolFile(QStringLiteral("B.PRN")), true);
    TForm1& form = f.start();
    form.EraseQueueClick();
    EXPECT_EQ(f.captions(), QStringList{QStringLiteral("B.PRN")});
    EXPECT_TRUE(QFile::exists(f.spoolFile(QStringLiteral("B.PRN"))));
    EXPECT_FALSE(QFile::exists(f.spoolFile(QStringLiteral("A.PRN"))));

    // Without the watcher the entry of a deleted file stays, and cannot be printed.
    f.fake.files.setInUse(f.spoolFile(QStringLiteral("B.PRN")), false);
    f.ui().ListView1->setCurrentIndex(form.queue().index(0, 0));
    form.Delete1Click();
    EXPECT_FALSE(QFile::exists(f.spoolFile(QStringLiteral("B.PRN"))));
    EXPECT_EQ(f.captions(), QStringList{QStringLiteral("B.PRN")});
    form.Timer1Timer();
    EXPECT_EQ(f.states(), QStringList{QStringLiteral("radi se")});
    form.ScanQueue();
    EXPECT_EQ(form.queue().count(), 0);
}

TEST(Spooler, F12AndTheMenuNeedASelection)
{
    SpoolerFixture f;
    f.writeDocument(QStringLiteral("A.PRN"), 2);
    TForm1& form = f.start();
    int previews = 0;
    f.fake.application.answerModal = [&](QDialog&) {
        ++previews;
        return int(QDialog::Rejected);
    };

    form.ListView1MouseDown(Qt::RightButton, QPoint(10, 10));
    EXPECT_FALSE(form.popupMenu().isVisible());
    QTest::keyClick(f.ui().ListView1, Qt::Key_F12);
    EXPECT_EQ(previews, 0);

    f.ui().ListView1->setCurrentIndex(form.queue().index(0, 0));
    QTest::keyClick(f.ui().ListView1, Qt::Key_F12); // printing is active
    EXPECT_EQ(previews, 0);
    f.ui().PausePrinting->trigger();
    QTest::keyClick(f.ui().ListView1, Qt::Key_F12, Qt::ShiftModifier);
    EXPECT_EQ(previews, 0);
    QTest::keyClick(f.ui().ListView1, Qt::Key_F12);
    EXPECT_EQ(previews, 1);
    // The preview lays the whole file out and leaves it queued.
    EXPECT_EQ(form.PreviewPrinter->PageCount(), 2);
    EXPECT_TRUE(f.fake.printers.jobs().empty());
    EXPECT_TRUE(QFile::exists(f.spoolFile(QStringLiteral("A.PRN"))));

    form.ListView1MouseDown(Qt::RightButton, QPoint(10, 10));
    EXPECT_TRUE(form.popupMenu().isVisible());
    form.popupMenu().hide();
}

TEST(Spooler, ColumnsShareTheListWidth)
{
    SpoolerFixture f;
    TForm1& form = f.start();
    form.show();
    form.resize(500, 150);
    QCoreApplication::processEvents();
    const int w = f.ui().ListView1->viewport()->width();
    EXPECT_EQ(f.ui().ListView1->columnWidth(0), w - 100);
    EXPECT_EQ(f.ui().ListView1->columnWidth(1), 100);
}

TEST(Spooler, WatcherRunsOnlyBesideItsSwitchFile)
{
    SpoolerFixture f;
    EXPECT_FALSE(f.start().Watcher->isRunning());
    QFile switchFile(f.dir.filePath(QStringLiteral("kavrin.fxp")));
    ASSERT_TRUE(switchFile.open(QIODevice::WriteOnly));
    switchFile.close();
    SpoolerFixture g;
    g.fake.environment.programDir = f.dir.path();
    // Unwatchable: the watcher retries every 4 s instead of spinning on the fake.
    g.fake.notifications.setWatchable(f.spoolDir(), false);
    TForm1& form = g.start();
    ASSERT_FALSE(form.Watcher.isNull());
    EXPECT_TRUE(form.Watcher->isRunning());
}

} // namespace
