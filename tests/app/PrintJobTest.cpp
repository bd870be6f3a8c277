#include "SpoolerTestSupport.h"

#include "engine/PrevPrinter.h"

#include <QDateTime>
#include <QImage>

#include <algorithm>

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

QString title(const char* name, int first, int last)
{
    return QStringLiteral("Pagello : %1  %2-%3").arg(QString::fromLatin1(name)).arg(first).arg(last);
}

TEST(PrintJob, FirstTickPrintsTheQueueInOrderAndDeletesIt)
{
    SpoolerFixture f;
    for (const char* name : {"C.PRN", "a.prn", "B.PRN"})
        f.writeDocument(QString::fromLatin1(name));
    TForm1& form = f.start();
    EXPECT_EQ(f.captions(), (QStringList{QStringLiteral("a.prn"), QStringLiteral("B.PRN"), QStringLiteral("C.PRN")}));
    EXPECT_EQ(f.states(), (QStringList{QString(), QString(), QString()}));
    EXPECT_EQ(form.timer1().interval(), 10000);

    form.Timer1Timer();
    EXPECT_EQ(f.titles(), (std::vector<QString>{title("a.prn", 1, 1), title("B.PRN", 1, 1), title("C.PRN", 1, 1)}));
    EXPECT_EQ(form.queue().count(), 0);
    EXPECT_TRUE(listSpoolFiles(f.spoolDir()).isEmpty());
    EXPECT_FALSE(form.Busy);
}

TEST(PrintJob, BatchesOfPagesSpoolPagesEachTitledWithItsRange)
{
    const struct
    {
        int pagesSpool;
        int pages;
        std::vector<std::pair<int, int>> jobs;
    } cases[] = {
        {3, 7, {{1, 3}, {4, 6}, {7, 7}}},
        {3, 3, {{1, 3}}},
        {3, 4, {{1, 3}, {4, 4}}},
        {10, 7, {{1, 7}}},
        // One page a job, and no empty job before the first; below 1 counts as 1.
        {1, 3, {{1, 1}, {2, 2}, {3, 3}}},
        {0, 2, {{1, 1}, {2, 2}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "PagesSpool " << c.pagesSpool << ", " << c.pages << " pages");
        SpoolerFixture f;
        f.fake.registry.setInteger(QStringLiteral("\\SOFTWARE\\Morvane\\Pagello"), QStringLiteral("PagesSpool"),
                                   c.pagesSpool);
        f.writeDocument(QStringLiteral("DOC.PRN"), c.pages);
        f.start().Timer1Timer();
        std::vector<QString> expected;
        int sheets = 0;
        for (const auto& [first, last] : c.jobs)
            expected.push_back(title("DOC.PRN", first, last));
        EXPECT_EQ(f.titles(), expected);
        for (const auto& job : f.fake.printers.jobs())
            sheets += int(job.sheets.size());
        EXPECT_EQ(sheets, c.pages);
        // The stored value is written back as it was.
        f.form.reset();
        EXPECT_EQ(f.fake.registry.integer(QStringLiteral("\\SOFTWARE\\Morvane\\Pagello"), QStringLiteral("PagesSpool")),
                  c.pagesSpool);
    }
}

TEST(PrintJob, IncompleteFilesWaitAndTheRestGoOn)
{
    SpoolerFixture f;
    f.writeDocument(QStringLiteral("A.PRN"));
    f.writeDocument(QStringLiteral("B.PRN"));
    f.writeBytes(QStringLiteral("C.PRN"), std::string());
    f.writeBytes(QStringLiteral("D.PRN"), std::string());
    f.fake.files.setInUse(f.spoolFile(QStringLiteral("A.PRN")), true);
    f.fake.files.setInUse(f.spoolFile(QStringLiteral("D.PRN")), true);
    TForm1& form = f.start();
    form.Timer1Timer();
    // In use, printed, empty and let go of (nothing to print: only deleted), empty and
    // still held by its writer.
    EXPECT_EQ(f.titles(), std::vector<QString>{title("B.PRN", 1, 1)});
    EXPECT_EQ(f.captions(), (QStringList{QStringLiteral("A.PRN"), QStringLiteral("D.PRN")}));
    EXPECT_EQ(f.states(), (QStringList{QStringLiteral("radi se"), QStringLiteral("radi se")}));
    EXPECT_FALSE(QFile::exists(f.spoolFile(QStringLiteral("C.PRN"))));

    f.fake.files.setInUse(f.spoolFile(QStringLiteral("A.PRN")), false);
    form.Timer1Timer();
    EXPECT_EQ(f.titles().back(), title("A.PRN", 1, 1));
    EXPECT_EQ(f.captions(), QStringList{QStringLiteral("D.PRN")});
}

TEST(PrintJob, FileWithoutEndMarkerIsPrintedWhole)
{
    SpoolerFixture f;
    f.fake.printers.setKeepRecords(true);
    f.writeBytes(QStringLiteral("A.PRN"), "first\fsecond");
    f.start().Timer1Timer();
    ASSERT_EQ(f.titles(), std::vector<QString>{title("A.PRN", 1, 2)});
    EXPECT_FALSE(QFile::exists(f.spoolFile(QStringLiteral("A.PRN"))));
    const TMetafile& second = f.fake.printers.jobs()[0].sheets[1].pages[0].page;
    ASSERT_FALSE(second.records().empty());
    EXPECT_EQ(second.bytes(second.records().back()), "second");
}

// Under ESC/P 2 a document's bytes are its own: a NUL is a parameter, and a carriage
// return before it no end mark. The emulation chosen applies to the next document.
TEST(PrintJob, EmulationInForceWhenTheDocumentIsReadLaysItOut)
{
    SpoolerFixture f;
    f.fake.printers.setKeepRecords(true);
    // ESC $ 13 0: 13/60 inch from the left margin; ESC @ is the printer's reset.
    const std::string text = "\x1b@A\x1b$\x0d"s + '\0' + "B\fC";
    f.writeBytes(QStringLiteral("A.PRN"), text);
    TForm1& form = f.start();
    form.EmulationClick(TEmulation::EscP2);
    form.Timer1Timer();
    ASSERT_EQ(f.titles(), std::vector<QString>{title("A.PRN", 1, 2)});
    const TMetafile& first = f.fake.printers.jobs()[0].sheets[0].pages[0].page;
    ASSERT_EQ(first.records().size(), 2u);
    EXPECT_EQ(first.bytes(first.records()[0]), "A");
    EXPECT_EQ(first.bytes(first.records()[1]), "B");
    EXPECT_EQ(first.records()[1].x, first.records()[0].x + 130);

    // Back to the command table: the same bytes end at the carriage return before the NUL.
    form.EmulationClick(TEmulation::CommandTable);
    f.writeBytes(QStringLiteral("B.PRN"), text);
    form.ScanQueue();
    form.Timer1Timer();
    ASSERT_EQ(f.titles().size(), 2u);
    EXPECT_EQ(f.titles()[1], title("B.PRN", 1, 1));
}

TEST(PrintJob, PrintedFileThatStaysIsNotPrintedAgainUntilItChanges)
{
    SpoolerFixture f;
    f.writeDocument(QStringLiteral("A.PRN"));
    f.fake.files.setUndeletable(f.spoolFile(QStringLiteral("A.PRN")), true);
    TForm1& form = f.start();
    form.Timer1Timer();
    form.ScanQueue();
    form.Timer1Timer();
    EXPECT_EQ(f.titles().size(), 1u);
    EXPECT_EQ(f.states(), QStringList{QStringLiteral("vytištěno")});

    // Written again: a new document.
    QTest::qWait(10);
    f.writeDocument(QStringLiteral("A.PRN"), 2);
    form.Timer1Timer();
    EXPECT_EQ(f.titles().size(), 2u);
    EXPECT_EQ(f.titles().back(), title("A.PRN", 1, 2));
}

TEST(PrintJob, FailureShowsOneErrorBoxAndKeepsTheFile)
{
    SpoolerFixture f;
    f.writeDocument(QStringLiteral("A.PRN"));
    f.writeDocument(QStringLiteral("B.PRN"));
    f.fake.printers.failOn(FakePrinters::Failure::BeginDoc, true);
    TForm1& form = f.start();
    int ticksDuringBox = 0;
    f.fake.application.duringErrorBox = [&] {
        // The timer goes on ticking while the box is open; no pass meets the fault again.
        ++ticksDuringBox;
        form.Timer1Timer();
    };
    QMetaObject::invokeMethod(&form.timer1(), "timeout", Qt::DirectConnection);
    EXPECT_EQ(ticksDuringBox, 1);
    EXPECT_EQ(f.fake.application.errors().size(), 1u);
    EXPECT_FALSE(form.Busy);
    EXPECT_EQ(f.states(), (QStringList{QStringLiteral("tiskne se"), QString()}));
    EXPECT_TRUE(QFile::exists(f.spoolFile(QStringLiteral("A.PRN"))));
}

TEST(PrintJob, TickDuringThePassStartsNoSecondPassAndNewFilesAreAppended)
{
    SpoolerFixture f;
    f.writeDocument(QStringLiteral("A.PRN"));
    f.writeDocument(QStringLiteral("B.PRN"));
    TForm1& form = f.start();
    bool added = false;
    f.fake.application.onProcessMessages = [&] {
        form.Timer1Timer();
        if (!added && form.queue().count() == 1) {
            added = true;
            f.writeDocument(QStringLiteral("0.PRN"));
            form.ScanQueue();
        }
    };
    form.Timer1Timer();
    EXPECT_EQ(f.titles(), (std::vector<QString>{title("A.PRN", 1, 1), title("B.PRN", 1, 1), title("0.PRN", 1, 1)}));
}

TEST(PrintJob, LogoBesideTheProgramOnEveryPageOfEveryBatch)
{
    SpoolerFixture f;
    f.fake.printers.setKeepRecords(true);
    const QString logo = f.dir.filePath(QStringLiteral("logo.bmp"));
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::red);
    ASSERT_TRUE(image.save(logo, "BMP"));
    f.fake.bitmaps.addBitmap(logo, image);
    f.writeDocument(QStringLiteral("A.PRN"), 5);
    f.start().Timer1Timer();
    ASSERT_EQ(f.titles().size(), 2u);
    for (const auto& job : f.fake.printers.jobs())
        for (const auto& sheet : job.sheets) {
            const auto& records = sheet.pages[0].page.records();
            EXPECT_TRUE(std::any_of(records.begin(), records.end(),
                                    [](const MetaRecord& r) { return r.op == RecordOp::Bitmap; }));
        }
}

TEST(PrintJob, PreviewShowsEveryPageWithoutPrinting)
{
    SpoolerFixture f;
    f.writeDocument(QStringLiteral("A.PRN"), 10);
    TForm1& form = f.start();
    f.ui().PausePrinting->trigger();
    f.ui().ListView1->setCurrentIndex(form.queue().index(0, 0));
    int pages = 0;
    f.fake.application.answerModal = [&](QDialog&) {
        pages = form.PreviewPrinter->PageCount();
        return int(QDialog::Rejected);
    };
    form.Preview2Click();
    EXPECT_EQ(pages, 10);
    EXPECT_TRUE(f.fake.printers.jobs().empty());
    EXPECT_EQ(form.PreviewPrinter->Title, title("A.PRN", 1, 10));
}

// "Tisk" on one entry: a refused document is refused again, marked as in a pass; a
// printed one that could not be deleted goes out again; on a share a paused queue waits
// for the file to stay still as a pass does.
TEST(PrintJob, PrintAskedForOnAnEntry)
{
    const auto printSelected = [](SpoolerFixture& f, TForm1& form) {
        f.ui().ListView1->setCurrentIndex(form.queue().index(0, 0));
        QMetaObject::invokeMethod(f.ui().Print1, "triggered", Qt::DirectConnection, Q_ARG(bool, false));
    };
    {
        SpoolerFixture f;
        f.writeBytes(QStringLiteral("BAD.PRN"), "A\f" + std::string(70000, '\xb3') + "B");
        TForm1& form = f.start();
        form.Timer1Timer();
        ASSERT_EQ(f.states(), QStringList{QStringLiteral("chyba")});
        printSelected(f, form);
        EXPECT_EQ(f.states(), QStringList{QStringLiteral("chyba")});
        ASSERT_EQ(f.fake.application.errors().size(), 2u);
        EXPECT_EQ(f.fake.application.errors()[1], f.fake.application.errors()[0]);
        EXPECT_FALSE(form.Busy);
    }
    {
        SpoolerFixture f;
        f.writeDocument(QStringLiteral("A.PRN"), 2);
        f.fake.files.setUndeletable(f.spoolFile(QStringLiteral("A.PRN")), true);
        TForm1& form = f.start();
        form.Timer1Timer();
        ASSERT_EQ(f.states(), QStringList{QStringLiteral("vytištěno")});
        printSelected(f, form);
        EXPECT_EQ(f.printedTitles(), (std::vector<QString>{title("A.PRN", 1, 2), title("A.PRN", 1, 2)}));
        EXPECT_EQ(f.states(), QStringList{QStringLiteral("vytištěno")});
        form.Timer1Timer(); // a pass leaves it alone again
        EXPECT_EQ(f.printedTitles().size(), 2u);
    }
    {
        SpoolerFixture f;
        f.fake.notifications.setLocalDisk(false);
        f.writeDocument(QStringLiteral("A.PRN"));
        TForm1& form = f.start();
        f.ui().PausePrinting->trigger();
        qint64 now = 0;
        form.Now = [&] { return now; };
        printSelected(f, form);
        EXPECT_TRUE(f.titles().empty());
        EXPECT_EQ(f.states(), QStringList{QStringLiteral("radi se")});
        now += 4000;
        printSelected(f, form);
        EXPECT_EQ(f.printedTitles(), std::vector<QString>{title("A.PRN", 1, 1)});
        EXPECT_EQ(form.queue().count(), 0);
    }
}

} // namespace

// A printer that fails on the third batch and then works: the pages it accepted are not
// sent again, neither when the pass tries the file again nor after the program was
// ended and started anew; the journal lives beside the registry file, in a directory made
// when it is first needed.
TEST(PrintJob, BatchesThePrinterAcceptedAreNeverSentAgain)
{
    SpoolerFixture f;
    f.fake.journalPath = f.dir.filePath(QStringLiteral("settings/pagello/printed.journal"));
    f.writeDocument(QStringLiteral("A.PRN"), 10);
    f.fake.printers.failOn(FakePrinters::Failure::EndDoc, false, 2);
    TForm1& form = f.start();
    QMetaObject::invokeMethod(&form.timer1(), "timeout", Qt::DirectConnection);
    EXPECT_EQ(f.fake.application.errors().size(), 1u);
    EXPECT_EQ(f.printedTitles(), (std::vector<QString>{title("A.PRN", 1, 3), title("A.PRN", 4, 6)}));
    form.Timer1Timer();
    EXPECT_EQ(f.printedTitles(), (std::vector<QString>{title("A.PRN", 1, 3), title("A.PRN", 4, 6), title("A.PRN", 7, 9),
                                                       title("A.PRN", 10, 10)}));
    EXPECT_FALSE(QFile::exists(f.spoolFile(QStringLiteral("A.PRN"))));

    // Ended during a job: started again, it sends what is left of the document.
    f.writeDocument(QStringLiteral("B.PRN"), 5);
    form.ScanQueue();
    f.fake.printers.failOn(FakePrinters::Failure::EndDoc, false, 1);
    QMetaObject::invokeMethod(&form.timer1(), "timeout", Qt::DirectConnection);
    EXPECT_EQ(f.printedTitles().back(), title("B.PRN", 1, 3));
    f.form.reset();
    f.start().Timer1Timer();
    EXPECT_EQ(f.printedTitles().back(), title("B.PRN", 4, 5));
    const std::vector<QString> printed = f.printedTitles();
    EXPECT_EQ(std::count(printed.begin(), printed.end(), title("B.PRN", 1, 3)), 1);
    EXPECT_FALSE(QFile::exists(f.spoolFile(QStringLiteral("B.PRN"))));

    // With PagesSpool changed meanwhile, only the pages after the last one sent go out.
    f.writeDocument(QStringLiteral("C.PRN"), 5);
    f.form->ScanQueue();
    f.fake.printers.failOn(FakePrinters::Failure::EndDoc, false, 1);
    QMetaObject::invokeMethod(&f.form->timer1(), "timeout", Qt::DirectConnection);
    f.form->PagesSpool = 4;
    f.form->Timer1Timer();
    const std::vector<QString> all = f.printedTitles();
    const std::vector<QString> after(all.end() - 3, all.end());
    EXPECT_EQ(after, (std::vector<QString>{title("C.PRN", 1, 3), title("C.PRN", 4, 4), title("C.PRN", 5, 5)}));

    // Tried again on another sheet, or on another printer with the same sheet, the pages
    // are other pages: the whole document goes out again, also after a new start.
    f.fake.printers.addPrinter(QStringLiteral("Jehličková"), laser600());
    for (const char* name : {"D.PRN", "E.PRN"}) {
        f.writeDocument(QString::fromLatin1(name), 5);
        f.form->ScanQueue();
        f.fake.printers.failOn(FakePrinters::Failure::EndDoc, false, 1);
        QMetaObject::invokeMethod(&f.form->timer1(), "timeout", Qt::DirectConnection);
        EXPECT_EQ(f.printedTitles().back(), title(name, 1, 4));
        if (name[0] == 'D') {
            f.fake.printers.setPrinterIndex(1);
        } else {
            f.fake.printers.setPrinterIndex(0);
            f.fake.printers.addPrinter(QStringLiteral("Laser"), laser600(7000));
            f.form.reset();
            f.start();
        }
        const std::size_t before = f.printedTitles().size();
        f.form->Timer1Timer();
        const std::vector<QString> again = f.printedTitles();
        EXPECT_EQ(std::vector<QString>(again.begin() + std::ptrdiff_t(before), again.end()),
                  (std::vector<QString>{title(name, 1, 4), title(name, 5, 5)}));
    }
}

// Printed documents that cannot be deleted (a read-only share) stay known however many
// there are: none is printed again, not on later passes nor after a new start. What is known
// of files that are gone is forgotten.
TEST(PrintJob, PrintedFilesThatStayAreNeverPrintedAgainHoweverMany)
{
    SpoolerFixture f;
    f.fake.journalPath = f.dir.filePath(QStringLiteral("printed.journal"));
    constexpr int kDocuments = 300;
    for (int i = 0; i < kDocuments; ++i) {
        const QString name = QStringLiteral("D%1.PRN").arg(i, 3, 10, QLatin1Char('0'));
        f.writeDocument(name);
        f.fake.files.setUndeletable(f.spoolFile(name), true);
    }
    f.start().Timer1Timer();
    ASSERT_EQ(f.printedTitles().size(), std::size_t(kDocuments));
    for (int round = 0; round < 2; ++round) {
        f.form->ScanQueue();
        f.form->Timer1Timer();
        f.form.reset();
        f.start().Timer1Timer();
    }
    EXPECT_EQ(f.printedTitles().size(), std::size_t(kDocuments));
    EXPECT_EQ(f.states(), QStringList(kDocuments, QStringLiteral("vytištěno")));

    for (const QByteArray& name : listSpoolFiles(f.spoolDir()))
        ASSERT_TRUE(QFile::remove(f.spoolDir() + QLatin1Char('/') + QString::fromLatin1(name)));
    f.form->ScanQueue();
    f.writeDocument(QStringLiteral("NEW.PRN"));
    f.form->ScanQueue();
    f.form->Timer1Timer();
    EXPECT_EQ(f.printedTitles().back(), title("NEW.PRN", 1, 1));
    EXPECT_LT(readBytes(f.fake.journalPath).size(), 200u) << "the notes of the files that are gone were kept";
}

// What a crash would leave: the printer took the job, the journal did not note it.
struct Crash
{
};

// A batch is noted as being sent before its job is made. Ended after the printer took it
// and before its acceptance was noted, the program asks the printer at its next start and
// sends only what the printer has not had; a batch the printer never had, or one of the
// same title from before the note, is sent again.
TEST(PrintJob, BatchBeingSentWhenTheProgramEndedIsAskedForAtTheNextStart)
{
    SpoolerFixture f;
    f.fake.journalPath = f.dir.filePath(QStringLiteral("printed.journal"));
    f.writeDocument(QStringLiteral("A.PRN"), 7);
    f.fake.printers.afterJob = [](const FakePrinters::Job&) { throw Crash(); };
    EXPECT_THROW(f.start().Timer1Timer(), Crash);
    f.fake.printers.afterJob = nullptr;
    f.form.reset();
    f.start().Timer1Timer();
    EXPECT_EQ(f.printedTitles(),
              (std::vector<QString>{title("A.PRN", 1, 3), title("A.PRN", 4, 6), title("A.PRN", 7, 7)}));
    EXPECT_EQ(f.fake.printers.jobQueries(), 1);
    EXPECT_FALSE(QFile::exists(f.spoolFile(QStringLiteral("A.PRN"))));

    // Noted as being sent, but the printer has no such job since then.
    f.form.reset();
    const auto noteSending = [&](const char* name, qint64 since) {
        f.writeDocument(QString::fromLatin1(name), 4);
        const std::optional<FileIdentity> file =
            nameIdentity(QFile::encodeName(f.spoolFile(QString::fromLatin1(name))));
        ASSERT_TRUE(file);
        QFile journal(f.fake.journalPath);
        ASSERT_TRUE(journal.open(QIODevice::Append));
        journal.write(QByteArray::number(file->device) + ' ' + QByteArray::number(file->inode) + ' ' +
                      QByteArray::number(file->size) + ' ' + QByteArray::number(file->modifiedNs) + " 0 0 3 " +
                      QByteArray::number(since) + ' ' + title(name, 1, 3).toUtf8().toPercentEncoding() + '\n');
    };
    noteSending("B.PRN", QDateTime::currentSecsSinceEpoch());
    // A job of the same title was printed before this note was made.
    noteSending("A.PRN", QDateTime::currentSecsSinceEpoch() + 3600);
    f.start().Timer1Timer();
    const std::vector<QString> printed = f.printedTitles();
    EXPECT_EQ(
        std::vector<QString>(printed.begin() + 3, printed.end()),
        (std::vector<QString>{title("A.PRN", 1, 3), title("A.PRN", 4, 4), title("B.PRN", 1, 3), title("B.PRN", 4, 4)}));
}

// A journal that cannot be written (its directory is gone and a file has its name) keeps
// what it held; the document stops before its next batch, the status bar and standard error
// say why, and once the journal can be written again the rest is sent, each batch once.
TEST(PrintJob, JournalThatCannotBeWrittenHoldsTheNextBatchUntilItCan)
{
    SpoolerFixture f;
    const QString directory = f.dir.filePath(QStringLiteral("settings"));
    f.fake.journalPath = directory + QStringLiteral("/printed.journal");
    f.writeDocument(QStringLiteral("A.PRN"), 7);
    f.writeDocument(QStringLiteral("B.PRN"), 1);
    f.fake.printers.afterJob = [&](const FakePrinters::Job&) {
        if (!QFile::exists(directory + QStringLiteral(".away"))) {
            ASSERT_TRUE(QDir().rename(directory, directory + QStringLiteral(".away")));
            ASSERT_TRUE(QFile(directory).open(QIODevice::WriteOnly));
        }
    };
    TForm1& form = f.start();
    testing::internal::CaptureStderr();
    form.Timer1Timer();
    form.Timer1Timer();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(f.printedTitles(), std::vector<QString>{title("A.PRN", 1, 3)});
    EXPECT_EQ(form.statusText(0), QStringLiteral("Nelze zapsat deník tisku"));
    EXPECT_NE(said.find("printed.journal' cannot be written"), std::string::npos) << said;
    EXPECT_EQ(said.find("cannot be written", said.find("cannot be written") + 1), std::string::npos)
        << "said more than once: " << said;
    EXPECT_TRUE(f.fake.application.errors().empty());
    EXPECT_TRUE(QFile::exists(f.spoolFile(QStringLiteral("A.PRN"))));

    f.fake.printers.afterJob = nullptr;
    ASSERT_TRUE(QFile::remove(directory));
    ASSERT_TRUE(QDir().rename(directory + QStringLiteral(".away"), directory));
    form.Timer1Timer();
    EXPECT_EQ(f.printedTitles(), (std::vector<QString>{title("A.PRN", 1, 3), title("A.PRN", 4, 6), title("A.PRN", 7, 7),
                                                       title("B.PRN", 1, 1)}));
    EXPECT_TRUE(listSpoolFiles(f.spoolDir()).isEmpty());
    form.UpdateStatus();
    EXPECT_EQ(form.statusText(0), QStringLiteral("Laser"));
}

TEST(PrintJob, DocumentRewrittenWhileItIsReadIsPrintedLaterWholeAsTheNewOne)
{
    SpoolerFixture f;
    // Long enough to be read in several pieces: the writer rewrites it as long again
    // during the first batch, while most of the old writing is still unread.
    const auto report = [](const char* mark) {
        const QByteArray line = QByteArray(100, 'x') + '\n';
        QByteArray text;
        for (int p = 1; p <= 600; ++p)
            text += (p > 1 ? "\f" : "") + QByteArray(mark) + QByteArray::number(p) + '\n' + line.repeated(40);
        return text.toStdString();
    };
    f.writeBytes(QStringLiteral("A.PRN"), report("Old "));
    TForm1& form = f.start();
    bool rewritten = false;
    f.fake.application.onProcessSystemMessages = [&] {
        if (!std::exchange(rewritten, true))
            f.writeBytes(QStringLiteral("A.PRN"), report("New "));
    };
    form.Timer1Timer();
    EXPECT_TRUE(rewritten);
    EXPECT_TRUE(f.fake.application.errors().empty());
    EXPECT_EQ(f.states(), QStringList{QString()}) << "the new writing waits in the queue";
    // Stopped where the old writing ends: no page of the new one went out under it.
    const std::size_t oldJobs = f.printedTitles().size();
    EXPECT_LT(oldJobs, 150u);

    form.Timer1Timer();
    const std::vector<QString> titles = f.printedTitles();
    ASSERT_GT(titles.size(), oldJobs + 150);
    EXPECT_EQ(titles[oldJobs], title("A.PRN", 1, 3));
    EXPECT_EQ(titles.back(), title("A.PRN", 3 * int(titles.size() - oldJobs) - 2, 3 * int(titles.size() - oldJobs)));
    EXPECT_TRUE(listSpoolFiles(f.spoolDir()).isEmpty());
}

TEST(PrintJob, JournalThatCannotBeReadIsStartedAfresh)
{
    SpoolerFixture f;
    f.fake.journalPath = f.dir.filePath(QStringLiteral("printed.journal"));
    QFile journal(f.fake.journalPath);
    ASSERT_TRUE(journal.open(QIODevice::WriteOnly));
    journal.write("garbage\n1 2 3\n\xff\xfe 9 9 9 9 1\n");
    journal.close();
    f.writeDocument(QStringLiteral("A.PRN"), 4);
    f.start().Timer1Timer();
    EXPECT_EQ(f.printedTitles(), (std::vector<QString>{title("A.PRN", 1, 3), title("A.PRN", 4, 4)}));
}

// The bytes of a name are kept as the directory gave them: a name that is not text is
// shown with replacement characters, printed and deleted.
TEST(PrintJob, NameThatIsNotTextIsPrintedAndDeleted)
{
    SpoolerFixture f;
    const QByteArray name("\xe9T\xe9.PRN");
    f.writeBytes(name, "x\r\n");
    TForm1& form = f.start();
    ASSERT_EQ(form.queue().count(), 1);
    EXPECT_EQ(form.queue().entry(0).caption, QString::fromUtf8(name));
    EXPECT_TRUE(form.queue().entry(0).caption.contains(QChar::ReplacementCharacter));
    form.Timer1Timer();
    EXPECT_EQ(f.printedTitles().size(), 1u);
    EXPECT_TRUE(f.printedTitles().front().contains(QChar::ReplacementCharacter));
    EXPECT_TRUE(QDir(f.spoolDir()).isEmpty());

    // Deleted from the window, too.
    f.writeBytes(name, "x\r\n");
    form.ScanQueue();
    f.ui().PausePrinting->trigger();
    f.ui().ListView1->setCurrentIndex(form.queue().index(0, 0));
    form.Delete1Click();
    EXPECT_TRUE(QDir(f.spoolDir()).isEmpty());
}

// The title is "Pagello : NAME  FIRST-LAST" with the name put in as it is: "%1" in it is
// no place for the page numbers, control characters become spaces, and a name too long
// for the 255 bytes (UTF-8) a print server keeps is shortened at a character, keeping the
// prefix and the page range.
TEST(PrintJob, TitleHoldsTheNameAsItIsWithinTheBytesAPrintServerKeeps)
{
    const QString euro = QStringLiteral("\u20ac");            // three bytes
    const QString face = QString::fromUcs4(U"\U0001F600", 1); // four bytes, two UTF-16 units
    const QString prefix = QStringLiteral("Pagello : ");
    const QString range = QStringLiteral("  1-2");
    const struct
    {
        QByteArray name;
        QString expected;
    } cases[] = {
        {"a%1b%2.PRN", prefix + QStringLiteral("a%1b%2.PRN") + range},
        {"x\ny\tz\x7f.PRN", prefix + QStringLiteral("x y z .PRN") + range},
        // 240 bytes of name fill the title to exactly 255.
        {euro.repeated(80).toUtf8() + ".PRN", prefix + euro.repeated(80) + range},
        {"a" + face.repeated(60).toUtf8() + ".PRN", prefix + QLatin1Char('a') + face.repeated(59) + range},
    };
    SpoolerFixture f;
    std::vector<QString> expected;
    for (const auto& c : cases) {
        f.writeBytes(c.name, std::string("one\ftwo\r\0", 10));
        expected.push_back(c.expected);
    }
    f.start().Timer1Timer();
    std::vector<QString> titles = f.printedTitles();
    std::sort(titles.begin(), titles.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(titles, expected);
    for (const QString& t : titles)
        EXPECT_LE(t.toUtf8().size(), 255) << t.toStdString();
    EXPECT_TRUE(QDir(f.spoolDir()).isEmpty());
}

// A file renamed in letter case only while it waits is printed under its new name.
TEST(PrintJob, FileRenamedInLetterCaseIsPrintedAndDeletedOnTheNextPass)
{
    SpoolerFixture f;
    f.writeDocument(QStringLiteral("A.PRN"));
    f.fake.files.setInUse(f.spoolFile(QStringLiteral("A.PRN")), true);
    TForm1& form = f.start();
    form.Timer1Timer();
    EXPECT_EQ(f.states(), QStringList{QStringLiteral("radi se")});
    ASSERT_TRUE(QFile::rename(f.spoolFile(QStringLiteral("A.PRN")), f.spoolFile(QStringLiteral("a.prn"))));
    form.ScanQueue();
    EXPECT_EQ(f.captions(), QStringList{QStringLiteral("a.prn")});
    form.Timer1Timer();
    EXPECT_EQ(f.printedTitles(), std::vector<QString>{title("a.prn", 1, 1)});
    EXPECT_EQ(form.queue().count(), 0);
    EXPECT_TRUE(QDir(f.spoolDir()).isEmpty());
}

// Without any font nothing can be drawn: not the document's fault, so the error is shown,
// the file is kept and printed once fonts are there; the preview shows the error instead.
TEST(PrintJob, WithoutFontsTheErrorIsShownAndTheFileWaits)
{
    SpoolerFixture f;
    f.fake.fonts.noFonts = true;
    f.writeDocument(QStringLiteral("A.PRN"));
    TForm1& form = f.start();
    QMetaObject::invokeMethod(&form.timer1(), "timeout", Qt::DirectConnection);
    ASSERT_EQ(f.fake.application.errors().size(), 1u);
    EXPECT_EQ(f.fake.application.errors()[0], QStringLiteral("There is no font for \"Courier New\""));
    EXPECT_TRUE(f.titles().empty());
    EXPECT_TRUE(QFile::exists(f.spoolFile(QStringLiteral("A.PRN"))));

    f.ui().PausePrinting->trigger();
    f.ui().ListView1->setCurrentIndex(form.queue().index(0, 0));
    bool shown = false;
    f.fake.application.answerModal = [&](QDialog&) {
        shown = true;
        return int(QDialog::Rejected);
    };
    QMetaObject::invokeMethod(f.ui().Nahled1, "triggered", Qt::DirectConnection, Q_ARG(bool, false));
    EXPECT_FALSE(shown);
    EXPECT_EQ(f.fake.application.errors().size(), 2u);

    f.fake.fonts.noFonts = false;
    f.ui().PausePrinting->trigger();
    form.Timer1Timer();
    EXPECT_EQ(f.printedTitles(), std::vector<QString>{title("A.PRN", 1, 1)});
    EXPECT_FALSE(QFile::exists(f.spoolFile(QStringLiteral("A.PRN"))));
}

// On a network share another machine's writer is invisible to the lease: a file prints
// only once it has kept its size and time for one poll of the directory.
TEST(PrintJob, OnAShareAFileMustStayStillForOnePoll)
{
    SpoolerFixture f;
    f.fake.notifications.setLocalDisk(false);
    f.writeDocument(QStringLiteral("A.PRN"));
    TForm1& form = f.start();
    qint64 now = 0;
    form.Now = [&] { return now; };
    form.Timer1Timer();
    EXPECT_EQ(f.states(), QStringList{QStringLiteral("radi se")});
    now += 3999;
    form.Timer1Timer();
    EXPECT_TRUE(f.titles().empty());
    // Still growing: the wait starts over.
    f.writeDocument(QStringLiteral("A.PRN"), 2);
    now += 1;
    form.Timer1Timer();
    now += 3999;
    form.Timer1Timer();
    EXPECT_TRUE(f.titles().empty());
    now += 1;
    form.Timer1Timer();
    EXPECT_EQ(f.printedTitles(), std::vector<QString>{title("A.PRN", 1, 2)});
}

TEST(PrintJob, PreviewOfAFileStillBeingWrittenFails)
{
    SpoolerFixture f;
    f.writeDocument(QStringLiteral("A.PRN"), 2);
    f.fake.files.setInUse(f.spoolFile(QStringLiteral("A.PRN")), true);
    TForm1& form = f.start();
    f.ui().PausePrinting->trigger();
    f.ui().ListView1->setCurrentIndex(form.queue().index(0, 0));
    bool shown = false;
    f.fake.application.answerModal = [&](QDialog&) {
        shown = true;
        return int(QDialog::Rejected);
    };
    QMetaObject::invokeMethod(f.ui().Nahled1, "triggered", Qt::DirectConnection, Q_ARG(bool, false));
    EXPECT_FALSE(shown);
    ASSERT_EQ(f.fake.application.errors().size(), 1u);
    EXPECT_TRUE(f.fake.application.errors()[0].startsWith(QStringLiteral("Cannot open file")));
    EXPECT_TRUE(QFile::exists(f.spoolFile(QStringLiteral("A.PRN"))));
}

// A document that cannot be laid out is reported once, marked and kept, and the queue
// goes on; it is not tried again until it changes.
TEST(PrintJob, DocumentThatCannotBeLaidOutIsMarkedAndTheQueueGoesOn)
{
    SpoolerFixture f;
    f.writeBytes(QStringLiteral("BAD.PRN"), "A\f" + std::string(70000, '\xb3') + "B");
    f.writeDocument(QStringLiteral("GOOD.PRN"));
    TForm1& form = f.start();
    // The box is shown after the pass; while it is open the queue goes on printing.
    f.fake.application.duringErrorBox = [&] {
        f.fake.application.duringErrorBox = nullptr;
        f.writeDocument(QStringLiteral("LATER.PRN"));
        form.ScanQueue();
        form.Timer1Timer();
    };
    form.Timer1Timer();
    ASSERT_EQ(f.fake.application.errors().size(), 1u);
    EXPECT_TRUE(f.fake.application.errors()[0].startsWith(QStringLiteral("BAD.PRN: Page 2 ")))
        << f.fake.application.errors()[0].toStdString();
    EXPECT_EQ(f.printedTitles(), (std::vector<QString>{title("GOOD.PRN", 1, 1), title("LATER.PRN", 1, 1)}));
    EXPECT_EQ(f.states(), QStringList{QStringLiteral("chyba")});

    const std::size_t asked = f.fake.files.asked().size();
    form.Timer1Timer();
    EXPECT_EQ(f.fake.files.asked().size(), asked);
    EXPECT_EQ(f.fake.application.errors().size(), 1u);
    EXPECT_TRUE(QFile::exists(f.spoolFile(QStringLiteral("BAD.PRN"))));

    f.writeDocument(QStringLiteral("BAD.PRN"), 2);
    form.Timer1Timer();
    EXPECT_EQ(f.printedTitles().back(), title("BAD.PRN", 1, 2));
    EXPECT_EQ(form.queue().count(), 0);
}
