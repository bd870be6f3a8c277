#include "EngineTestSupport.h"

#include "platform/Errors.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

// The first text of each sheet of a job.
std::vector<std::string> sheetTexts(const FakePrinters::Job& job)
{
    std::vector<std::string> texts;
    for (const auto& sheet : job.sheets) {
        std::string t;
        for (const auto& drawn : sheet.pages)
            t += textRuns(drawn.page).at(0).bytes;
        texts.push_back(t);
    }
    return texts;
}

} // namespace

TEST(Printing, PrintSendsEveryPageAsOneJobShiftedByTheOffsets)
{
    EngineFixture f;
    std::vector<StatusEvent> status;
    recordStatus(f.engine, status);
    f.engine.RenderText("p1\fp2\fp3"s);
    status.clear();
    f.engine.Title = QStringLiteral("Pagello : X.PRN  1-3");
    EXPECT_TRUE(f.engine.Print());

    const auto& jobs = f.fake.printers.jobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].title, "Pagello : X.PRN  1-3");
    EXPECT_TRUE(jobs[0].ended);
    EXPECT_EQ(sheetTexts(jobs[0]), (std::vector<std::string>{"p1", "p2", "p3"}));
    EXPECT_EQ(jobs[0].sheets[0].pages[0].offset, QPoint(-100, -100));

    ASSERT_EQ(status.size(), 4u);
    EXPECT_EQ(status[0].message, "Printing page 0");
    EXPECT_EQ(status[0].pageNum, 0);
    EXPECT_EQ(status[2].message, "Printing page 2");
    EXPECT_EQ(status[3].message, "Print Job Complete");
    EXPECT_EQ(status[3].type, stPrintJobComplete);
    EXPECT_FALSE(f.fake.screen.busy());
    EXPECT_EQ(f.engine.PageCount(), 3) << "printing leaves the pages as they are";
}

TEST(Printing, EmptyDocumentAndReversedRangeStillMakeAJob)
{
    EngineFixture f;
    f.engine.RenderText(""s);
    f.engine.Print();
    f.engine.RenderText("a\fb"s);
    f.engine.PrintRange(1, 0);
    const auto& jobs = f.fake.printers.jobs();
    ASSERT_EQ(jobs.size(), 2u);
    for (const auto& job : jobs) {
        EXPECT_TRUE(job.ended);
        ASSERT_EQ(job.sheets.size(), 1u);
        EXPECT_TRUE(job.sheets[0].pages.empty());
    }
}

TEST(Printing, TheOffsetsAreThoseOfThePrinterPrintingNow)
{
    EngineFixture f;
    f.fake.printers.addPrinter(QStringLiteral("Other"), laser600(6600, 50));
    f.engine.RenderText("x"s);
    f.fake.printers.setPrinterIndex(1);
    f.engine.Print();
    EXPECT_EQ(f.fake.printers.jobs()[0].printer, "Other");
    EXPECT_EQ(f.fake.printers.jobs()[0].sheets[0].pages[0].offset, QPoint(-50, -50));
    EXPECT_EQ(textRuns(f.engine.Pages(0))[0].y, 280) << "nothing is laid out again";
}

TEST(Printing, PrinterFailureRestoresTheCursorAndKeepsThePages)
{
    for (auto step : {FakePrinters::Failure::BeginDoc, FakePrinters::Failure::DrawPage, FakePrinters::Failure::NewPage,
                      FakePrinters::Failure::EndDoc}) {
        SCOPED_TRACE(static_cast<int>(step));
        EngineFixture f;
        std::vector<StatusEvent> status;
        f.engine.RenderText("a\fb"s);
        recordStatus(f.engine, status);
        f.fake.printers.failOn(step);
        EXPECT_THROW(f.engine.Print(), EPrinterError);
        EXPECT_FALSE(f.fake.screen.busy());
        EXPECT_FALSE(f.fake.printers.printing()) << "no job is left open";
        EXPECT_EQ(f.engine.PageCount(), 2);
        for (const StatusEvent& s : status)
            EXPECT_NE(s.type, stPrintJobComplete);
        // The next attempt prints normally.
        EXPECT_TRUE(f.engine.Print());
        EXPECT_TRUE(f.fake.printers.jobs().back().ended);
    }
}

TEST(Printing, DialogRangesAndCopies)
{
    EngineFixture f;
    f.engine.RenderText("p1\fp2\fp3\fp4"s);

    f.fake.printDialog.scriptAnswer(std::nullopt);
    EXPECT_FALSE(f.engine.PrintWithDialog());
    EXPECT_TRUE(f.fake.printers.jobs().empty());
    const PrintDialogOptions& shown = f.fake.printDialog.shown().at(0);
    EXPECT_EQ(shown.fromPage, 1);
    EXPECT_EQ(shown.toPage, 4);
    EXPECT_EQ(shown.minPage, 1);
    EXPECT_EQ(shown.maxPage, 4);
    EXPECT_TRUE(shown.pageNumbersEnabled);

    f.fake.printDialog.scriptAnswer(PrintDialogChoice{false, 2, 3, 1});
    EXPECT_TRUE(f.engine.PrintWithDialog());
    ASSERT_EQ(f.fake.printers.jobs().size(), 1u);
    EXPECT_EQ(sheetTexts(f.fake.printers.jobs()[0]), (std::vector<std::string>{"p2", "p3"}));

    f.fake.printDialog.scriptAnswer(PrintDialogChoice{true, 1, 1, 3});
    EXPECT_TRUE(f.engine.PrintWithDialog());
    ASSERT_EQ(f.fake.printers.jobs().size(), 4u) << "each copy is a job of its own";
    for (std::size_t i = 1; i < 4; ++i)
        EXPECT_EQ(f.fake.printers.jobs()[i].sheets.size(), 4u);

    f.fake.printDialog.scriptAnswer(PrintDialogChoice{true, 1, 1, 0});
    EXPECT_TRUE(f.engine.PrintWithDialog());
    EXPECT_EQ(f.fake.printers.jobs().size(), 4u) << "no copies, no job";

    f.fake.printDialog.scriptAnswer(PrintDialogChoice{false, 3, 99, 1});
    EXPECT_TRUE(f.engine.PrintWithDialog());
    EXPECT_EQ(sheetTexts(f.fake.printers.jobs().back()), (std::vector<std::string>{"p3", "p4"}));
}
