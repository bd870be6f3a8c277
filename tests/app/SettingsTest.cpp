#include "SpoolerTestSupport.h"

#include <gtest/gtest.h>

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
    f.start();
    f.fake.registry.failWrites(true);
    f.form.reset();
    EXPECT_EQ(f.fake.application.errors(), std::vector<QString>{QStringLiteral("Failed to set data for 'AutoStart'")});
}

TEST(Settings, PrinterDialogOffersNoRange)
{
    SpoolerFixture f;
    f.start().Settings1Click();
    ASSERT_EQ(f.fake.printDialog.shown().size(), 1u);
    EXPECT_FALSE(f.fake.printDialog.shown()[0].pageNumbersEnabled);
}

TEST(Spooler, RefusesToStartWithoutAPrinter)
{
    FakeSpoolerPlatform fake;
    EXPECT_EQ(runSpooler(fake.spooler(), {}), 0);
    EXPECT_EQ(fake.application.messages(),
              std::vector<QString>{QStringLiteral("Pagello: Tiskový manager nenalezl v systému žádnou tiskárnu.")});
    EXPECT_EQ(fake.application.mainWindow(), nullptr);
}

TEST(Spooler, QuitRequestClosesTheWindowAfterTheJob)
{
    SpoolerFixture f;
    TForm1& form = f.start();
    form.show();
    form.Busy = true;
    int rounds = 0;
    f.fake.application.onProcessMessages = [&] {
        if (++rounds == 3)
            form.Busy = false;
    };
    QCoreApplication::postEvent(&form, new QEvent(WM_QUEUEQUIT));
    QCoreApplication::sendPostedEvents(&form);
    EXPECT_EQ(rounds, 3);
    EXPECT_TRUE(form.isVisible());
    QCoreApplication::processEvents();
    EXPECT_FALSE(form.isVisible());
}

} // namespace
