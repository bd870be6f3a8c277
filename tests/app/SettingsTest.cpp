#include "SpoolerTestSupport.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <tuple>
#include <iterator>
#include <string>

namespace {

const QString kKey = QStringLiteral("\\SOFTWARE\\Morvane\\Pagello");

TEST(Settings, FirstRunCreatesTheKeyAndWritesTheDefaultsAtExit)
{
    SpoolerFixture f;
    TForm1& form = f.start();
    EXPECT_TRUE(f.fake.registry.hasKey(kKey));
    EXPECT_TRUE(form.PrintingActive);
    EXPECT_FALSE(f.ui().PausePrinting->isChecked());
    form.Timer1Timer(); // the status bar follows at the tick
    EXPECT_EQ(form.statusText(1), QStringLiteral("Klidový stav"));
    f.form.reset();
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("AutoStart")), 1);
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("PrinterIndex")), 0);
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("PagesSpool")), 3);
    EXPECT_EQ(f.fake.registry.string(kKey, QStringLiteral("PrinterName")), QStringLiteral("Laser"));
}

TEST(Settings, PausedExitStartsPausedNextTime)
{
    SpoolerFixture f;
    f.start();
    f.ui().PausePrinting->trigger();
    f.form.reset();
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("AutoStart")), 0);
    TForm1& again = f.start();
    EXPECT_TRUE(f.ui().PausePrinting->isChecked());
    EXPECT_FALSE(again.PrintingActive);
}

TEST(Settings, StoredPrinterIsSelectedWhenItStillExists)
{
    SpoolerFixture f;
    f.fake.printers.addPrinter(QStringLiteral("Second"), laser600());
    f.fake.printers.addPrinter(QStringLiteral("Third"), laser600());
    f.fake.registry.setInteger(kKey, QStringLiteral("PrinterIndex"), 2);
    f.start();
    EXPECT_EQ(f.fake.printers.printerIndex(), 2);

    // Printers removed since: the default one is used, and its index saved.
    SpoolerFixture g;
    g.fake.printers.addPrinter(QStringLiteral("Second"), laser600());
    g.fake.printers.addPrinter(QStringLiteral("Third"), laser600());
    g.fake.registry.setInteger(kKey, QStringLiteral("PrinterIndex"), 5);
    g.start();
    EXPECT_EQ(g.fake.printers.printerIndex(), 0);
    g.form.reset();
    EXPECT_EQ(g.fake.registry.integer(kKey, QStringLiteral("PrinterIndex")), 0);
}

// A queue that sorts before the chosen one shifts the index: the name keeps the printer.
TEST(Settings, StoredPrinterIsFoundByItsNameAndItsIndexFollows)
{
    SpoolerFixture f;
    f.fake.printers.addPrinter(QStringLiteral("Aaa"), laser600()); // came since, before "Laser"
    f.fake.printers.addPrinter(QStringLiteral("Second"), laser600());
    f.fake.registry.setInteger(kKey, QStringLiteral("PrinterIndex"), 0);
    f.fake.registry.setString(kKey, QStringLiteral("PrinterName"), QStringLiteral("Aaa"));
    TForm1& form = f.start();
    EXPECT_EQ(f.fake.printers.printerIndex(), 1);
    EXPECT_EQ(form.PrinterIndex, 1);
    f.form.reset();
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("PrinterIndex")), 1);
    EXPECT_EQ(f.fake.registry.string(kKey, QStringLiteral("PrinterName")), QStringLiteral("Aaa"));

    // The named queue is gone: the index chooses, and the queue it chose is kept by name.
    SpoolerFixture g;
    g.fake.printers.addPrinter(QStringLiteral("Second"), laser600());
    g.fake.printers.addPrinter(QStringLiteral("Third"), laser600());
    g.fake.registry.setInteger(kKey, QStringLiteral("PrinterIndex"), 2);
    g.fake.registry.setString(kKey, QStringLiteral("PrinterName"), QStringLiteral("Removed"));
    g.start();
    EXPECT_EQ(g.fake.printers.printerIndex(), 2);
    g.form.reset();
    EXPECT_EQ(g.fake.registry.string(kKey, QStringLiteral("PrinterName")), QStringLiteral("Third"));

    // A name of the wrong type is reported; the index chooses.
    SpoolerFixture h;
    h.fake.printers.addPrinter(QStringLiteral("Second"), laser600());
    h.fake.registry.setInteger(kKey, QStringLiteral("PrinterIndex"), 1);
    h.fake.registry.setInteger(kKey, QStringLiteral("PrinterName"), 0);
    h.start();
    EXPECT_EQ(h.fake.application.errors(), std::vector<QString>{QStringLiteral("Invalid data type for 'PrinterName'")});
    EXPECT_EQ(h.fake.printers.printerIndex(), 1);
}

TEST(Settings, ValueOfTheWrongTypeKeepsItsDefaultAndStartUpCompletes)
{
    SpoolerFixture f;
    f.fake.registry.setString(kKey, QStringLiteral("AutoStart"), QStringLiteral("yes"));
    f.fake.registry.setInteger(kKey, QStringLiteral("PagesSpool"), 7);
    TForm1& form = f.start();
    EXPECT_EQ(f.fake.application.errors(), std::vector<QString>{QStringLiteral("Invalid data type for 'AutoStart'")});
    EXPECT_TRUE(form.AutoStart);
    EXPECT_TRUE(form.PrintingActive);
    EXPECT_EQ(form.PagesSpool, 7);
}

TEST(Settings, FailedWritesAreReported)
{
    SpoolerFixture f;
    f.start().show();
    f.fake.registry.failWrites(true);
    CapturedStderr err;
    f.ui().Exit1->trigger(); // "Zavřít"
    f.form.reset();
    EXPECT_EQ(f.fake.application.errors(), std::vector<QString>{QStringLiteral("Failed to set data for 'AutoStart'")});
    EXPECT_NE(err.text().find("the settings were not saved: Failed to set data for 'AutoStart'\n"), std::string::npos)
        << err.text();
}

// "pagello /u" may come from a script with nobody at the screen: no box holds the end.
TEST(Settings, FailedWritesAtAQuitRequestGoToStandardErrorOnly)
{
    SpoolerFixture f;
    TForm1& form = f.start();
    form.show();
    f.fake.registry.failWrites(true);
    CapturedStderr err;
    QCoreApplication::postEvent(&form, new QEvent(WM_QUEUEQUIT));
    for (int i = 0; i < 5 && form.isVisible(); ++i)
        QCoreApplication::processEvents();
    EXPECT_FALSE(form.isVisible());
    f.form.reset();
    EXPECT_TRUE(f.fake.application.errors().empty());
    EXPECT_TRUE(f.fake.application.messages().empty());
    EXPECT_NE(err.text().find("the settings were not saved: Failed to set data for 'AutoStart'\n"), std::string::npos)
        << err.text();
}

// A display that goes away ends the program without its exit: a printer chosen and the
// pause switch are saved as they change. A failure shows as it does at exit.
TEST(Settings, PrinterChosenAndPauseSwitchAreSavedAtOnce)
{
    SpoolerFixture f;
    f.fake.printers.addPrinter(QStringLiteral("Second"), laser600());
    TForm1& form = f.start();
    form.show();

    // Cancelled, the dialog changes nothing.
    f.fake.registry.setInteger(kKey, QStringLiteral("PrinterIndex"), 7);
    form.Settings1Click();
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("PrinterIndex")), 7);
    // The dialog makes the printer the user chooses the current one.
    f.fake.printers.setPrinterIndex(1);
    f.fake.printDialog.scriptAnswer(PrintDialogChoice{});
    f.ui().Settings1->trigger();
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("PrinterIndex")), 1);

    f.ui().PausePrinting->trigger();
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("AutoStart")), 0);
    f.ui().PausePrinting->trigger();
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("AutoStart")), 1);

    f.fake.registry.failWrites(true);
    CapturedStderr err;
    f.ui().PausePrinting->trigger();
    EXPECT_TRUE(f.ui().PausePrinting->isChecked()) << "the switch is flipped all the same";
    EXPECT_EQ(f.fake.application.errors(), std::vector<QString>{QStringLiteral("Failed to set data for 'AutoStart'")});
    EXPECT_NE(err.text().find("the settings were not saved: Failed to set data for 'AutoStart'\n"), std::string::npos)
        << err.text();
}

// The "Emulace" menu: one of three entries is checked, a missing or unknown stored value is
// the command table, and a choice is saved as it is made.
TEST(Settings, EmulationIsReadCheckedAndSavedAtOnce)
{
    const auto checked = [](SpoolerFixture& f) {
        QStringList names;
        for (QAction* a : {f.ui().EmulationTable, f.ui().EmulationEscP2, f.ui().EmulationPcl5}) {
            if (a->isChecked())
                names << a->objectName();
        }
        return names.join(QLatin1Char(','));
    };
    for (const auto& [stored, emulation, entry] :
         {std::tuple(std::optional<int>(), TEmulation::CommandTable, "EmulationTable"),
          std::tuple(std::optional<int>(1), TEmulation::EscP2, "EmulationEscP2"),
          std::tuple(std::optional<int>(2), TEmulation::Pcl5, "EmulationPcl5"),
          std::tuple(std::optional<int>(3), TEmulation::CommandTable, "EmulationTable"),
          std::tuple(std::optional<int>(-1), TEmulation::CommandTable, "EmulationTable")}) {
        SCOPED_TRACE(stored.value_or(-100));
        SpoolerFixture f;
        if (stored)
            f.fake.registry.setInteger(kKey, QStringLiteral("Emulation"), *stored);
        TForm1& form = f.start();
        EXPECT_EQ(form.Emulation, emulation);
        EXPECT_EQ(checked(f), QString::fromLatin1(entry));
    }

    SpoolerFixture f;
    TForm1& form = f.start();
    EXPECT_EQ(f.ui().Emulation1->title(), QStringLiteral("Emulace"));
    EXPECT_EQ(f.ui().EmulationTable->text(), QStringLiteral("Tabulka příkazů"));
    EXPECT_EQ(f.ui().EmulationEscP2->text(), QStringLiteral("Epson ESC/P 2"));
    EXPECT_EQ(f.ui().EmulationPcl5->text(), QStringLiteral("HP PCL 5"));
    EXPECT_TRUE(f.ui().File1->actions().contains(f.ui().Emulation1->menuAction()));
    f.ui().EmulationEscP2->trigger();
    EXPECT_EQ(form.Emulation, TEmulation::EscP2);
    EXPECT_EQ(checked(f), QStringLiteral("EmulationEscP2"));
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("Emulation")), 1);
    // Choosing the checked entry again keeps it checked.
    f.ui().EmulationEscP2->trigger();
    EXPECT_EQ(checked(f), QStringLiteral("EmulationEscP2"));
    f.ui().EmulationPcl5->trigger();
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("Emulation")), 2);
    f.ui().EmulationTable->trigger();
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("Emulation")), 0);
    f.ui().EmulationEscP2->trigger();
    f.form.reset();
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("Emulation")), 1);
    EXPECT_EQ(f.start().Emulation, TEmulation::EscP2);
}

TEST(Settings, PrinterDialogOffersNoRange)
{
    SpoolerFixture f;
    f.start().Settings1Click();
    ASSERT_EQ(f.fake.printDialog.shown().size(), 1u);
    EXPECT_FALSE(f.fake.printDialog.shown()[0].pageNumbersEnabled);
}

TEST(Spooler, RunsOnXWhereverThereIsAnXDisplayUnlessThePlatformIsNamed)
{
    struct Case
    {
        QHash<QByteArray, QByteArray> variables;
        QByteArray platform;
    };
    const Case cases[] = {
        {{{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}}, "xcb"}, // Xwayland in a Wayland session
        {{{"DISPLAY", ":1"}}, "xcb"},
        {{{"WAYLAND_DISPLAY", "wayland-0"}}, ""}, // no X display: Qt's own choice
        {{{"DISPLAY", ""}, {"WAYLAND_DISPLAY", "wayland-0"}}, ""},
        {{}, ""},
        {{{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}, {"QT_QPA_PLATFORM", "wayland"}}, ""},
        {{{"DISPLAY", ":0"}, {"QT_QPA_PLATFORM", "offscreen"}}, ""},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        EXPECT_EQ(chooseQtPlatform([&](const char* name) { return c.variables.value(name); }), c.platform);
    }
}

TEST(Spooler, RefusesToStartWithoutAPrinter)
{
    FakeSpoolerPlatform fake;
    EXPECT_EQ(runSpooler(fake.spooler(), {}), 0);
    EXPECT_EQ(fake.application.messages(),
              std::vector<QString>{QStringLiteral("Pagello: Tiskový manager nenalezl v systému žádnou tiskárnu.")});
    EXPECT_EQ(fake.application.mainWindow(), nullptr);
}

// The installed program has no spool directory beside it: one line names the directory it
// watches, and start-up goes on as before (here to the box of no printer).
TEST(Spooler, MissingSpoolDirectoryIsNamedOnStandardError)
{
    QTemporaryDir dir;
    FakeSpoolerPlatform fake;
    fake.environment.programDir = dir.path();
    fake.environment.startupDir = dir.path();
    const auto said = [&] {
        CapturedStderr err;
        EXPECT_EQ(runSpooler(fake.spooler(), {}), 0);
        return err.text();
    };
    const std::string missing = said();
    EXPECT_EQ(std::count(missing.begin(), missing.end(), '\n'), 1) << missing;
    EXPECT_NE(missing.find(dir.filePath(QStringLiteral("tisk")).toStdString() + " does not exist"), std::string::npos)
        << missing;
    EXPECT_EQ(fake.application.messages().size(), 1u);

    // Made meanwhile, or named by PAGELLO, it is not spoken of.
    fake.environment.variables.insert(QStringLiteral("PAGELLO"), QStringLiteral("elsewhere"));
    EXPECT_EQ(said(), "");
    fake.environment.variables.clear();
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("tisk")));
    EXPECT_EQ(said(), "");
}

TEST(Spooler, HelpAndVersionAreAnsweredOnlyAsTheFirstArgument)
{
    testing::internal::CaptureStdout();
    EXPECT_TRUE(answerInfoSwitch({QStringLiteral("--version")}));
    const std::string version = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^pagello \\d+\\.\\d+\\.\\d+\n$"))
                    .match(QString::fromStdString(version))
                    .hasMatch())
        << version;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(answerInfoSwitch({QStringLiteral("--help")}));
    EXPECT_FALSE(answerInfoSwitch({QStringLiteral("/a"), QStringLiteral("--help")}));
    EXPECT_FALSE(answerInfoSwitch({QStringLiteral("/u")}));
    EXPECT_FALSE(answerInfoSwitch({}));
    const std::string help = testing::internal::GetCapturedStdout();
    EXPECT_EQ(help.rfind("Usage: pagello", 0), 0u) << help;
}

TEST(Spooler, QuitRequestDuringALongDocumentClosesTheWindowOnceItIsPrinted)
{
    SpoolerFixture f;
    f.writeDocument(QStringLiteral("A.PRN"), 10);
    TForm1& form = f.start();
    form.show();
    // The window is served between the batches; a quit request and a change of the queue
    // met there wait until the document is done.
    std::vector<bool> visible;
    f.fake.application.onProcessSystemMessages = [&] {
        if (visible.empty()) {
            f.writeDocument(QStringLiteral("B.PRN"));
            QCoreApplication::postEvent(&form, new QEvent(WM_QUEUECHANGED));
            QCoreApplication::postEvent(&form, new QEvent(WM_QUEUEQUIT));
        }
        visible.push_back(form.isVisible());
    };
    form.Timer1Timer();
    EXPECT_EQ(visible, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(f.printedTitles(),
              (std::vector<QString>{QStringLiteral("Pagello : A.PRN  1-3"), QStringLiteral("Pagello : A.PRN  4-6"),
                                    QStringLiteral("Pagello : A.PRN  7-9"), QStringLiteral("Pagello : A.PRN  10-10"),
                                    QStringLiteral("Pagello : B.PRN  1-1")}));
    EXPECT_TRUE(listSpoolFiles(f.spoolDir()).isEmpty());
    QCoreApplication::processEvents();
    EXPECT_FALSE(form.isVisible());
}

// At the end of the session the document stops after the batch being sent: the rest
// waits in the spool directory, and the journal lets the next start go on after it.
TEST(Spooler, EndOfTheSessionDuringALongDocumentClosesTheWindowAfterTheBatch)
{
    SpoolerFixture f;
    f.writeDocument(QStringLiteral("A.PRN"), 10);
    f.writeDocument(QStringLiteral("B.PRN"));
    f.fake.journalPath = f.dir.filePath(QStringLiteral("printed.journal"));
    TForm1& form = f.start();
    form.show();
    f.fake.registry.failWrites(true);
    int batches = 0;
    f.fake.application.onProcessSystemMessages = [&] {
        if (++batches == 1)
            form.EndSession();
    };
    CapturedStderr err;
    form.Timer1Timer();
    EXPECT_EQ(batches, 1);
    EXPECT_EQ(f.printedTitles(), std::vector<QString>{QStringLiteral("Pagello : A.PRN  1-3")});
    EXPECT_EQ(listSpoolFiles(f.spoolDir()).size(), 2);
    for (int i = 0; i < 5 && form.isVisible(); ++i)
        QCoreApplication::processEvents();
    EXPECT_FALSE(form.isVisible());
    form.Timer1Timer();
    EXPECT_EQ(f.printedTitles().size(), 1u) << "nothing more is printed once the session ends";
    // The settings that cannot be written are said on standard error, without a box.
    f.form.reset();
    EXPECT_TRUE(f.fake.application.errors().empty());
    EXPECT_NE(err.text().find("the settings were not saved"), std::string::npos) << err.text();

    // Started again, the rest of the document goes out.
    f.fake.registry.failWrites(false);
    f.fake.application.onProcessSystemMessages = nullptr;
    f.start().Timer1Timer();
    EXPECT_EQ(f.printedTitles(),
              (std::vector<QString>{QStringLiteral("Pagello : A.PRN  1-3"), QStringLiteral("Pagello : A.PRN  4-6"),
                                    QStringLiteral("Pagello : A.PRN  7-9"), QStringLiteral("Pagello : A.PRN  10-10"),
                                    QStringLiteral("Pagello : B.PRN  1-1")}));
    EXPECT_TRUE(listSpoolFiles(f.spoolDir()).isEmpty());
}

TEST(Spooler, SecondStartEndsSilentlyAndTheQuitSwitchClosesTheRunningOneAfterItsJob)
{
    using Call = FakeWindowManager::Call;
    using namespace WindowMessages;
    SpoolerFixture f;
    TForm1& running = f.start();
    running.show();
    f.ui().PausePrinting->trigger();
    const WindowHandle window = f.fake.windows.findWindow(QStringLiteral("TForm1"), QStringLiteral("Pagello "));
    ASSERT_NE(window, 0u) << "the main window is found by its class and title from its creation on";
    const WindowHandle application = f.fake.application.handle();
    // Back in the tray, once the showing is over.
    QCoreApplication::processEvents();
    f.fake.application.minimize();
    ASSERT_TRUE(f.fake.application.minimized());
    f.fake.windows.clearCalls();

    // Started again: nothing is created; the running spooler is asked to come to the front,
    // and does it itself, from its own message loop, as at a click on its tray icon, its
    // window then made the active one.
    EXPECT_EQ(runSpooler(f.fake.spooler(), {}), 0);
    EXPECT_EQ(f.fake.application.mainWindow(), f.form.get());
    EXPECT_EQ(f.fake.windows.calls(), (std::vector<Call>{Call{QStringLiteral("post"), window, 0x400 + 102}}));
    EXPECT_TRUE(f.fake.application.minimized());
    f.fake.windows.clearCalls();
    for (int i = 0; i < 5 && f.fake.application.minimized(); ++i)
        QCoreApplication::processEvents();
    EXPECT_FALSE(f.fake.application.minimized()) << "the second start did not bring the window back";
    EXPECT_EQ(f.fake.windows.calls(),
              (std::vector<Call>{Call{QStringLiteral("top"), application},
                                 Call{QStringLiteral("send"), application, WM_SYSCOMMAND, SC_RESTORE, 0},
                                 Call{QStringLiteral("show"), application, unsigned(IWindowManager::Show::Restore)},
                                 Call{QStringLiteral("foreground"), application},
                                 Call{QStringLiteral("foreground"), window}}));
    EXPECT_EQ(f.fake.windows.foregroundWindow(), window);
    EXPECT_TRUE(f.fake.application.messages().empty());
    f.fake.windows.clearCalls();

    // "/U": the quit request is posted, and the running spooler closes.
    EXPECT_EQ(runSpooler(f.fake.spooler(), {QStringLiteral("/U")}), 0);
    EXPECT_EQ(f.fake.windows.calls(), (std::vector<Call>{Call{QStringLiteral("post"), window, 0x400 + 101}}));
    EXPECT_TRUE(f.fake.environment.sentToRunning.empty()) << "the window found is asked, not the socket";
    // No job is under way: nothing holds the request back.
    for (int i = 0; i < 5 && running.isVisible(); ++i)
        QCoreApplication::processEvents();
    EXPECT_FALSE(running.isVisible());
    // Its settings are saved as the window goes.
    f.form.reset();
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("AutoStart")), 0);
}

TEST(Spooler, QuitSwitchOrAHeldLockStartsNothing)
{
    SpoolerFixture f;
    // "/u" with no spooler running.
    EXPECT_EQ(runSpooler(f.fake.spooler(), {QStringLiteral("/u")}), 0);
    EXPECT_EQ(f.fake.application.mainWindow(), f.form.get());
    EXPECT_TRUE(f.fake.windows.calls().empty());
    EXPECT_EQ(f.fake.environment.lockRequests, 0) << "a quit request takes no lock";
    EXPECT_TRUE(f.fake.environment.spoolLockDirectory.isNull());
    // Nobody listens beside the lock either.
    EXPECT_EQ(f.fake.environment.sentToRunning, std::vector<unsigned>{0x400 + 101});

    // Another start at the same moment holds the lock: this one ends without a word, and
    // asks it through its socket to show itself, unless the start hands the focus back.
    f.fake.environment.lockedElsewhere = true;
    f.fake.environment.sentToRunning.clear();
    EXPECT_EQ(runSpooler(f.fake.spooler(), {}), 0);
    EXPECT_EQ(f.fake.application.mainWindow(), f.form.get());
    EXPECT_TRUE(f.fake.application.messages().empty());
    EXPECT_EQ(f.fake.environment.lockRequests, 1);
    EXPECT_EQ(runSpooler(f.fake.spooler(), {QStringLiteral("/A"), QStringLiteral("EDIT")}), 0);
    EXPECT_EQ(f.fake.environment.lockRequests, 2);
    EXPECT_EQ(f.fake.environment.sentToRunning, std::vector<unsigned>{0x400 + 102});
    EXPECT_TRUE(f.fake.windows.calls().empty());
    EXPECT_EQ(f.fake.environment.laterStarts, nullptr) << "only the running spooler listens";
}

// Without an X display the running spooler's window is not found: a later start reaches it
// through the socket beside its lock, and its requests are handled as the window messages
// of a second start on X are.
TEST(Spooler, WithoutItsWindowTheRunningSpoolerIsReachedBesideItsLock)
{
    using namespace WindowMessages;
    SpoolerFixture f;
    // The later starts: their desktop has no window of the running spooler, and the lock
    // is held by it.
    FakeSpoolerPlatform later;
    later.environment.lockedElsewhere = true;
    later.environment.runningSpooler = [&](unsigned message) {
        if (!f.fake.environment.laterStarts)
            return false;
        f.fake.environment.laterStarts(message);
        return true;
    };
    bool shownAgain = false;
    int laterExit = -1;
    // The running spooler is asked once its message loop runs; should a request be lost,
    // the loop is ended all the same, so that the test fails instead of waiting for ever.
    QTimer::singleShot(0, [&] {
        auto* running = dynamic_cast<TForm1*>(f.fake.application.mainWindow());
        ASSERT_NE(running, nullptr);
        ASSERT_TRUE(f.fake.environment.laterStarts);
        ASSERT_TRUE(f.fake.application.minimized());
        // An unknown message is not passed on.
        f.fake.environment.laterStarts(WM_USER + 100 + 7);
        EXPECT_EQ(runSpooler(later.spooler(), {}), 0);
        EXPECT_EQ(runSpooler(later.spooler(), {QStringLiteral("/a")}), 0);
        for (int i = 0; i < 5 && f.fake.application.minimized(); ++i)
            QCoreApplication::processEvents();
        shownAgain = !f.fake.application.minimized();
        EXPECT_EQ(f.fake.windows.foregroundWindow(), f.fake.windows.handleOf(*running));
        laterExit = runSpooler(later.spooler(), {QStringLiteral("/u")});
    });
    QTimer lost;
    lost.setSingleShot(true);
    QObject::connect(&lost, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    lost.start(20000);
    EXPECT_EQ(runSpooler(f.fake.spooler(), {}), 0) << "the quit request did not end the running spooler";
    EXPECT_TRUE(shownAgain) << "the second start did not bring the window back";
    EXPECT_EQ(laterExit, 0);
    EXPECT_EQ(later.environment.sentToRunning, (std::vector<unsigned>{WM_USER + 102, WM_USER + 101}));
    EXPECT_EQ(later.environment.lockRequests, 2) << "the quit request takes no lock";
    EXPECT_EQ(later.application.mainWindow(), nullptr);
    // The running spooler ended as at a quit request: its settings written, no box shown.
    EXPECT_EQ(f.fake.registry.integer(kKey, QStringLiteral("PagesSpool")), 3);
    EXPECT_TRUE(f.fake.application.errors().empty());
    EXPECT_TRUE(f.fake.application.messages().empty());
}

// A spooler of another user, or on another machine sharing the spool directory, has its
// own window and its own lock of the user: the directory's own lock keeps a second one
// out, which ends as a second start does, saying so in one line on standard error.
TEST(Spooler, SpoolDirectoryServedByAnotherSpoolerStartsNothing)
{
    SpoolerFixture f;
    f.fake.environment.spoolLockedElsewhere = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(runSpooler(f.fake.spooler(), {}), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(f.fake.environment.spoolLockDirectory, f.spoolDir());
    EXPECT_EQ(f.fake.application.mainWindow(), nullptr);
    EXPECT_TRUE(f.fake.application.messages().empty());
    EXPECT_TRUE(f.fake.windows.calls().empty());
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find(f.spoolDir().toStdString()), std::string::npos) << said;
}

TEST(Spooler, HandBackActivatesTheFirstWindowWhoseTitleHoldsTheTextOnce)
{
    using Call = FakeWindowManager::Call;
    using namespace WindowMessages;
    {
        SpoolerFixture f;
        FakeWindowManager& windows = f.fake.windows;
        const WindowHandle later = windows.addWindow(QStringLiteral("Dos"), QStringLiteral("EDIT - second"), 7);
        const WindowHandle first = windows.addWindow(QStringLiteral("Dos"), QStringLiteral("C:\\> EDIT.COM"), 42);
        windows.addWindow(QStringLiteral("Editor"), QStringLiteral("notes - edit"), 5); // small letters only
        TForm1& form = f.start({QStringLiteral("/A"), QStringLiteral("EDIT")});
        ASSERT_TRUE(form.timer2().isActive());
        EXPECT_EQ(form.timer2().interval(), 500);
        windows.clearCalls();
        form.Timer2Timer();
        const std::vector<Call> expected = {
            Call{QStringLiteral("send"), first, WM_ACTIVATEAPP, 1, 42},
            Call{QStringLiteral("send"), first, WM_SYSCOMMAND, SC_HOTKEY, std::intptr_t(first)},
            Call{QStringLiteral("send"), first, WM_SYSCOMMAND, SC_RESTORE, std::intptr_t(first)},
            Call{QStringLiteral("foreground"), first},
        };
        EXPECT_EQ(windows.calls(), expected);
        EXPECT_NE(later, first);
        EXPECT_FALSE(form.timer2().isActive()) << "handed back once";
    }
    // Alone, "/a" looks for DOVAZ260 on every tick until a window has it.
    {
        SpoolerFixture f;
        TForm1& form = f.start({QStringLiteral("/a")});
        f.fake.windows.addWindow(QStringLiteral("Dos"), QStringLiteral("EDIT"));
        form.Timer2Timer();
        EXPECT_TRUE(form.timer2().isActive());
        EXPECT_EQ(form.SearchTitle, QStringLiteral("DOVAZ260"));
        const WindowHandle target =
            f.fake.windows.addWindow(QStringLiteral("Dos"), QStringLiteral("DOVAZ260 - import"));
        form.Timer2Timer();
        EXPECT_FALSE(form.timer2().isActive());
        EXPECT_EQ(f.fake.windows.foregroundWindow(), target);
    }
    // A longer text counts with its first 80 characters; without "/a" nothing is searched.
    {
        SpoolerFixture f;
        const QString text = QString(80, QLatin1Char('x'));
        TForm1& form = f.start({QStringLiteral("/a"), text + QLatin1Char('y')});
        const WindowHandle target =
            f.fake.windows.addWindow(QStringLiteral("Dos"), QLatin1Char('[') + text + QLatin1Char(']'));
        form.Timer2Timer();
        EXPECT_EQ(form.SearchTitle, text);
        EXPECT_EQ(f.fake.windows.foregroundWindow(), target);
        EXPECT_FALSE(f.start({QStringLiteral("/b"), QStringLiteral("EDIT")}).timer2().isActive());
    }
    // No more of a title is read than its 511 characters looked through: another program's
    // title may be megabytes long, and it is read twice a second.
    {
        SpoolerFixture f;
        TForm1& form = f.start({QStringLiteral("/a"), QStringLiteral("EDIT")});
        f.fake.windows.addWindow(QStringLiteral("Dos"), QString(511, QLatin1Char('x')) + QStringLiteral("EDIT"));
        f.fake.windows.addWindow(QStringLiteral("Dos"), QString(4 << 20, QLatin1Char('x')));
        form.Timer2Timer();
        EXPECT_TRUE(form.timer2().isActive()) << "found beyond the characters looked through";
        EXPECT_EQ(f.fake.windows.longestTitleRead(), 511);
    }
}

TEST(Spooler, StartsInTheTrayAndAClickOnTheIconRestoresTheWindowAndItsButton)
{
    using Call = FakeWindowManager::Call;
    using Show = IWindowManager::Show;
    using namespace WindowMessages;
    SpoolerFixture f;
    const WindowHandle application = f.fake.application.handle();
    const auto applicationCalls = [&] {
        std::vector<Call> calls;
        for (const Call& call : f.fake.windows.calls())
            if (call.window == application)
                calls.push_back(call);
        f.fake.windows.clearCalls();
        return calls;
    };
    const Call hidden{QStringLiteral("show"), application, unsigned(Show::Hide)};
    const Call shown{QStringLiteral("show"), application, unsigned(Show::Restore)};

    // Only the tray icon shows, with the picture of Image1: the application is minimised
    // and out of the task bar, the minimise before the last having brought it back.
    TForm1& form = f.start();
    const FakeNotifyArea::Icon* icon = f.fake.notifyArea.only();
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->image.convertToFormat(QImage::Format_ARGB32),
              f.ui().Image1->pixmap().toImage().convertToFormat(QImage::Format_ARGB32));
    EXPECT_TRUE(f.fake.application.minimized());
    EXPECT_TRUE(form.isMinimized());
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(applicationCalls(), (std::vector<Call>{shown, hidden}));

    // A left click, and then a right one, restores the application and its button.
    for (const auto& [press, release] :
         {std::pair(WM_LBUTTONDOWN, WM_LBUTTONUP), std::pair(WM_RBUTTONDOWN, WM_RBUTTONUP)}) {
        f.fake.notifyArea.mouse(press);
        f.fake.notifyArea.mouse(release);
        EXPECT_FALSE(f.fake.application.minimized());
        EXPECT_EQ(applicationCalls(),
                  (std::vector<Call>{Call{QStringLiteral("top"), application},
                                     Call{QStringLiteral("send"), application, WM_SYSCOMMAND, SC_RESTORE, 0}, shown,
                                     Call{QStringLiteral("foreground"), application}}));
        // Minimised again, it leaves the task bar.
        f.fake.application.minimize();
        EXPECT_EQ(applicationCalls(), std::vector<Call>{hidden});
    }

    // Shown, the window applies the hiding first and then brings its button back; the tray
    // icon goes with the window.
    form.show();
    EXPECT_EQ(applicationCalls(), (std::vector<Call>{hidden, shown}));
    f.form.reset();
    EXPECT_EQ(f.fake.notifyArea.only(), nullptr);
}

// Desktops that open a menu of their own on the icon get "Pagello", which brings the window
// back as a click on the icon does, and the window's own "Zavřít".
TEST(Spooler, TheIconsMenuBringsTheWindowBackOrEndsTheProgram)
{
    SpoolerFixture f;
    TForm1& form = f.start();
    const FakeNotifyArea::Icon* icon = f.fake.notifyArea.only();
    ASSERT_NE(icon, nullptr);
    const WindowHandle tray = icon->data.hWnd;
    EXPECT_EQ(f.fake.notifyArea.menuTexts(tray), (QStringList{QStringLiteral("Pagello"), QStringLiteral("Zavřít")}));
    ASSERT_EQ(f.fake.notifyArea.menu(tray).size(), 2);
    EXPECT_EQ(f.fake.notifyArea.menu(tray)[1], f.ui().Exit1);

    ASSERT_TRUE(f.fake.application.minimized());
    f.fake.windows.clearCalls();
    ASSERT_TRUE(f.fake.notifyArea.chooseMenuEntry(tray, QStringLiteral("Pagello")));
    EXPECT_FALSE(f.fake.application.minimized());
    const std::vector<FakeWindowManager::Call> calls = f.fake.windows.calls();
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [&](const FakeWindowManager::Call& call) {
        return call.what == QLatin1String("foreground") && call.window == f.fake.windows.handleOf(form);
    })) << "the window was not made the active one";

    form.show();
    ASSERT_TRUE(f.fake.notifyArea.chooseMenuEntry(tray, QStringLiteral("Zavřít")));
    EXPECT_FALSE(form.isVisible());
    f.form.reset();
    EXPECT_TRUE(f.fake.notifyArea.menu(tray).isEmpty());
}

TEST(Spooler, WithoutANotificationAreaTheWindowKeepsItsButtonUntilOneComesUp)
{
    using Call = FakeWindowManager::Call;
    using Show = IWindowManager::Show;
    using namespace NotifyIcon;
    SpoolerFixture f;
    f.fake.notifyArea.available = false;
    const WindowHandle application = f.fake.application.handle();
    // How the application's window was last shown or hidden.
    // And whether the main window was shown minimised since.
    bool mainShownMinimised = false;
    const auto lastShow = [&] {
        unsigned how = ~0u;
        mainShownMinimised = false;
        for (const Call& call : f.fake.windows.calls()) {
            if (call.window == application && call.what == QLatin1String("show"))
                how = call.message;
            if (call.window == f.fake.windows.handleOf(*f.form) && call.what == QLatin1String("show"))
                mainShownMinimised = call.message == unsigned(Show::Minimize);
        }
        f.fake.windows.clearCalls();
        return how;
    };

    // Nothing but the task bar leads back to the program: the window starts there,
    // minimised, and minimised it keeps its button.
    TForm1& form = f.start();
    EXPECT_TRUE(form.isMinimized());
    EXPECT_EQ(lastShow(), unsigned(Show::Restore));
    EXPECT_TRUE(mainShownMinimised) << "without a tray the window is not in the task list at start";
    f.fake.application.restore();
    f.fake.application.minimize();
    EXPECT_EQ(lastShow(), unsigned(Show::Restore)) << "minimised without a tray, the window left the task bar";
    f.fake.notifyArea.clearRequests();
    form.TrayTimerTimer();
    EXPECT_TRUE(f.fake.notifyArea.requests().empty());

    // A notification area comes up: the icon is added again, for the area to show it, and
    // the minimised window goes into it.
    f.fake.notifyArea.available = true;
    form.TrayTimerTimer();
    const std::vector<unsigned> requests = f.fake.notifyArea.messages();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0], NIM_DELETE);
    EXPECT_EQ(requests[1], NIM_ADD);
    EXPECT_NE(f.fake.notifyArea.only(), nullptr);
    EXPECT_EQ(lastShow(), unsigned(Show::Hide));
    form.TrayTimerTimer();
    EXPECT_EQ(lastShow(), ~0u) << "an area that stays changes nothing";

    // The area goes away while the window is hidden in it: the window comes back into the
    // task bar, minimised.
    form.hide();
    f.fake.notifyArea.available = false;
    form.TrayTimerTimer();
    EXPECT_TRUE(form.isMinimized());
    EXPECT_TRUE(f.fake.application.minimized());
    EXPECT_EQ(lastShow(), unsigned(Show::Restore));
    EXPECT_TRUE(mainShownMinimised);
}

} // namespace
