#include "EngineTestSupport.h"

#include "platform/Errors.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

std::vector<int> lineTops(const TMetafile& page)
{
    std::vector<int> ys;
    for (const TextRun& r : textRuns(page))
        ys.push_back(r.y);
    return ys;
}

} // namespace

TEST(RenderText, WorkedExampleHoldsSixtyTwoLinesAPage)
{
    EngineFixture f(true, laser600(6600, 100));
    f.engine.setUnits(unInches);
    f.engine.RenderText(numberedLines(63));
    ASSERT_EQ(f.engine.PageCount(), 2);

    std::vector<int> expected;
    for (int y = 280; y <= 6380; y += 100)
        expected.push_back(y);
    ASSERT_EQ(expected.size(), 62u);
    EXPECT_EQ(lineTops(f.engine.Pages(0)), expected);
    const std::vector<TextRun> second = textRuns(f.engine.Pages(1));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].bytes, "Line 63");
    EXPECT_EQ(second[0].y, 280);
    EXPECT_EQ(second[0].x, 100);

    // Exactly 62 lines and their line feeds fit on one page; nothing is left to begin a second.
    f.engine.RenderText(numberedLines(62));
    EXPECT_EQ(f.engine.PageCount(), 1);

    // The margins are left as the layout derived them from the printer's offsets.
    const TTextOptions& o = f.engine.TextOptions();
    EXPECT_DOUBLE_EQ(o.MarginTop, 100.0 / 600 + 0.3);
    EXPECT_DOUBLE_EQ(o.MarginLeft, 100.0 / 600);
    EXPECT_DOUBLE_EQ(o.MarginBottom, 100.0 / 600);
    EXPECT_EQ(f.engine.TextOptions().BodyFont().Name(), "Courier New");
    EXPECT_EQ(f.engine.TextOptions().BodyFont().Charset(), OEM_CHARSET);
    EXPECT_EQ(f.engine.TextOptions().BodyFont().Height(), -100);
}

TEST(RenderText, PageCountsOfBreaksAndEmptyText)
{
    struct Case
    {
        const char* name;
        std::string text;
        int pages;
    };
    const Case cases[] = {
        {"empty text", ""s, 0},
        {"first byte NUL", "\0abc"s, 0},
        {"a letter then form feed", "A\f"s, 1},
        {"form feed, CR, LF begin a page that stays empty", "A\f\r\n"s, 1},
        {"two form feeds leave an empty page between", "A\f\fB"s, 3},
        {"trailing line feeds add no page",
         "A\r\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n"
         "\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n"s,
         1},
        {"text after NUL is not laid out", "A\fB\0\fC"s, 2},
        {"a page of vertical rules only is dropped at the end", "A\f\xb3\xb3"s, 1},
        {"NUL stand-ins (255) draw nothing", "A\f\xff\xff"s, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineFixture f;
        f.engine.RenderText(c.text);
        EXPECT_EQ(f.engine.PageCount(), c.pages);
        EXPECT_FALSE(f.engine.Printing());
        EXPECT_FALSE(f.fake.screen.busy());
    }

    EngineFixture f;
    f.engine.RenderText("A\f\fB"s);
    EXPECT_TRUE(textRuns(f.engine.Pages(1)).empty()) << "the middle page is empty";
}

TEST(RenderText, CarriageReturnAndLineFeedAreSeparateMotions)
{
    EngineFixture f;
    // 12 pt Courier at 600 dpi advances 60 pixels a character.
    f.engine.RenderText("AB\nCD\r\nEF"s);
    const std::vector<TextRun> runs = textRuns(f.engine.Pages(0));
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].x, 100);
    EXPECT_EQ(runs[1].x, 220) << "a line feed keeps the column";
    EXPECT_EQ(runs[1].y, 380);
    EXPECT_EQ(runs[2].x, 100);
    EXPECT_EQ(runs[2].y, 480);

    // No wrapping: a long line runs past the right edge of the sheet.
    f.engine.RenderText(std::string(200, 'x') + "\r\ny");
    const std::vector<TextRun> wide = textRuns(f.engine.Pages(0));
    ASSERT_EQ(wide.size(), 2u);
    EXPECT_EQ(wide[0].bytes.size(), 200u);
    EXPECT_EQ(wide[1].y, 380);
}

TEST(RenderText, CommandsChangeTheFontOfTheNextRun)
{
    struct Case
    {
        const char* name;
        std::string command;
        int size;
        bool bold;
        bool underline;
    };
    const Case cases[] = {
        {"condensed on", "\x0f"s, 7, false, false},
        {"condensed off", "\x0f\x12"s, 12, false, false},
        {"ESC M", "\x1bM"s, 10, false, false},
        {"ESC P", "\x1bM\x1bP"s, 12, false, false},
        {"ESC E",
         "\x1b"
         "E"s,
         12, true, false},
        {"ESC G", "\x1bG"s, 12, true, false},
        {"ESC F",
         "\x1bG\x1b"
         "F"s,
         12, false, false},
        {"ESC H",
         "\x1b"
         "E\x1bH"s,
         12, false, false},
        {"ESC - 1", "\x1b-\x01"s, 12, false, true},
        {"ESC - NUL (as 255)", "\x1b-\x01\x1b-\xff"s, 12, false, false},
        {"PCL 17 cpi", "\x1b(s17H"s, 7, false, false},
        {"PCL 12 cpi", "\x1b(s12H"s, 10, false, false},
        {"PCL 10 cpi", "\x1b(s17H\x1b(s10H"s, 12, false, false},
        {"PCL underline", "\x1b&d0D"s, 12, false, true},
        {"PCL underline off", "\x1b&d0D\x1b&d@"s, 12, false, false},
        {"bold and condensed together",
         "\x1b"
         "E\x0f"s,
         7, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineFixture f;
        f.engine.RenderText(c.command + "text");
        const std::vector<TextRun> runs = textRuns(f.engine.Pages(0));
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].bytes, "text");
        EXPECT_EQ(runs[0].size, c.size);
        EXPECT_EQ(runs[0].bold, c.bold);
        EXPECT_EQ(runs[0].underline, c.underline);
    }
}

TEST(RenderText, LineSpacingCommands)
{
    struct Case
    {
        std::string command;
        int lineHeight;
    };
    const Case cases[] = {{"\x1b&l8D"s, 75}, {"\x1b&l12D"s, 50}, {"\x1b&l12D\x1b&l6D"s, 100}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lineHeight);
        EngineFixture f;
        f.engine.RenderText(c.command + "a\r\nb\f\r\nc\r\nd");
        ASSERT_EQ(f.engine.PageCount(), 2);
        EXPECT_EQ(lineTops(f.engine.Pages(0)), (std::vector<int>{280, 280 + c.lineHeight}));
        // The spacing stays in force on the next page.
        EXPECT_EQ(lineTops(f.engine.Pages(1)), (std::vector<int>{280 + c.lineHeight, 280 + 2 * c.lineHeight}));
    }
}

TEST(RenderText, UnknownBytesAreText)
{
    EngineFixture f;
    // ESC followed by no command, tab, backspace, SO, EOF mark, high bytes: all text. The
    // run the ESC starts continues right where "ab" ends, so both are one record.
    const std::string odd = "\x1bZ\t\b\x0e\x1a\x80\xfe"s;
    f.engine.RenderText("ab" + odd + "cd");
    const std::vector<TextRun> runs = textRuns(f.engine.Pages(0));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].bytes, "ab" + odd + "cd");
    EXPECT_EQ(runs[0].x, 100);

    // A command cut short by the end of the text is text too.
    f.engine.RenderText("x\x1b(s1"s);
    const std::vector<TextRun> cut = textRuns(f.engine.Pages(0));
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].bytes, "x\x1b(s1"s);
}

TEST(RenderText, RunsJoinOnlyWhereEveryGlyphStaysWhereTheLayoutPutIt)
{
    // Runs that each end at an unknown ESC: one record at the first run's place, as wide
    // as the runs together; the next font's run begins where the layout put it.
    {
        EngineFixture f;
        f.engine.RenderText(std::string(1000, '\x1b') + "\x0fsmall"s);
        const std::vector<TextRun> runs = textRuns(f.engine.Pages(0));
        ASSERT_EQ(runs.size(), 2u);
        EXPECT_EQ(runs[0].bytes, std::string(1000, '\x1b'));
        EXPECT_EQ(runs[0].x, 100);
        EXPECT_EQ(runs[1].x, 100 + 1000 * 60);
        EXPECT_EQ(runs[1].size, 7);
    }
    // Text after a vertical rule continues its last glyph, the one on the line itself.
    {
        EngineFixture f;
        f.engine.RenderText("a\xb3"
                            "b\r\nc"s);
        const std::vector<TextRun> runs = textRuns(f.engine.Pages(0));
        ASSERT_EQ(runs.size(), 5u);
        EXPECT_EQ(runs[0].bytes, "a");
        EXPECT_EQ(runs[3].bytes, "\xb3"
                                 "b"s);
        EXPECT_EQ(runs[3].x, 160);
        EXPECT_EQ(runs[3].y, 280);
        EXPECT_EQ(runs[4].bytes, "c") << "the next line is a record of its own";
    }
}

TEST(RenderText, PageBeyondTheBoundsOfAPageIsRefusedByNumber)
{
    struct Case
    {
        const char* name;
        std::string text;
        const char* message;
    };
    const Case cases[] = {
        {"vertical rules, three records each", "A\fB\fC\f"s + std::string(70000, '\xb3'),
         "Page 4 needs more than 200000 drawing records"},
        {"unknown ESCs, one joined record", "A\f"s + std::string(2 << 20, '\x1b'),
         "Page 2 needs more than 1 MiB of text"},
        {"one run of text", std::string((1 << 20) + 1, 'x'), "Page 1 needs more than 1 MiB of text"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineFixture f;
        // Printed and discarded in batches of two, as the spooler does: the page is still
        // named by its number in the document.
        f.engine.OnNewPage = [](TPreviewPrinter& e, int) {
            if (e.PageCount() < 2)
                return;
            e.CloseCanvas();
            e.Print();
            e.Clear();
        };
        try {
            f.engine.RenderText(c.text);
            ADD_FAILURE() << "the page must be refused";
        } catch (const EDocumentError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_FALSE(f.engine.Printing());
        EXPECT_FALSE(f.fake.screen.busy());
    }

    // The densest real page, a rule in each of 136 condensed columns on every line at
    // 8 lines an inch, is far from the bound.
    std::string dense = "\x0f\x1b&l8D";
    for (int line = 0; line < 100; ++line)
        dense += std::string(136, '\xb3') + "end\r\n";
    EngineFixture f;
    f.engine.RenderText(dense);
    ASSERT_EQ(f.engine.PageCount(), 2);
    EXPECT_GT(f.engine.Pages(0).records().size(), 30000u);
    EXPECT_LT(f.engine.Pages(0).records().size(), TMetafile::kMaxRecords / 4);
}

TEST(RenderText, RunsBetweenCommandsAreOneRecordOnOneLine)
{
    EngineFixture f;
    f.engine.RenderText("\x0f"
                        "small\x12"
                        "big \x1b"
                        "Ebold\x1b"
                        "F\r\n"s);
    const std::vector<TextRun> runs = textRuns(f.engine.Pages(0));
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].size, 7);
    EXPECT_EQ(runs[1].size, 12);
    // All runs hang from the same top, whatever their size.
    EXPECT_EQ(runs[0].y, runs[1].y);
    EXPECT_EQ(runs[1].y, runs[2].y);
    // 7 pt is 58 pixels high at 600 dpi; the fake's pitch is 0.6 em = 35 pixels.
    EXPECT_EQ(runs[1].x, 100 + 5 * 35);
    EXPECT_EQ(runs[2].x, runs[1].x + 4 * 60);
    EXPECT_TRUE(runs[2].bold);
}

TEST(RenderText, VerticalRuleJoinsRowsInTheLastRunsSize)
{
    EngineFixture f;
    f.engine.RenderText("ab\x0f\xb3"
                        "c"s);
    const TMetafile& page = f.engine.Pages(0);
    const std::vector<TextRun> runs = textRuns(page);
    ASSERT_EQ(runs.size(), 5u);
    EXPECT_EQ(runs[0].bytes, "ab");
    // Three glyphs 179 at y - 33, y + 33 and y, in the size of "ab" (12 pt), not 7 pt.
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(runs[i].bytes, "\xb3"s);
        EXPECT_EQ(runs[i].x, 220);
        EXPECT_EQ(runs[i].size, 12);
    }
    EXPECT_EQ(runs[1].y, 280 - 33);
    EXPECT_EQ(runs[2].y, 280 + 33);
    EXPECT_EQ(runs[3].y, 280);
    EXPECT_EQ(runs[4].x, 280) << "the rule advances by its glyph width";
    EXPECT_EQ(runs[4].size, 7);
}

TEST(RenderText, StyleAndSizeSurvivePageBreaks)
{
    EngineFixture f;
    f.engine.RenderText("\x1b"
                        "E\x0f"
                        "a\f"
                        "b"s);
    ASSERT_EQ(f.engine.PageCount(), 2);
    const std::vector<TextRun> runs = textRuns(f.engine.Pages(1));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(runs[0].bold);
    EXPECT_EQ(runs[0].size, 7);
    // After a form feed without a carriage return the column is kept.
    EXPECT_EQ(runs[0].x, 100 + 35);
}

TEST(RenderText, NewPageEventsAndBatchesLikeTheSpooler)
{
    EngineFixture f;
    std::vector<int> announced;
    std::vector<StatusEvent> status;
    recordStatus(f.engine, status);
    // Every 2 pages the handler prints and discards what it has, as the spooler does.
    f.engine.OnNewPage = [&](TPreviewPrinter& e, int page) {
        announced.push_back(page);
        if (e.PageCount() < 2)
            return;
        e.CloseCanvas();
        e.Print();
        e.Clear();
    };
    f.engine.RenderText("1\f2\f3\f4\f5\f\r\n"s);
    EXPECT_EQ(announced, (std::vector<int>{1, 2, 3, 4, 5, 6})) << "the dropped last page is announced too";
    EXPECT_EQ(f.engine.PageCount(), 1);
    EXPECT_EQ(textRuns(f.engine.Pages(0))[0].bytes, "5");
    const auto& jobs = f.fake.printers.jobs();
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].sheets.size(), 2u);
    EXPECT_EQ(textRuns(jobs[1].sheets[1].pages[0].page)[0].bytes, "4");

    // Pagination numbers restart from 1 on the fresh list.
    std::vector<int> paginating;
    for (const StatusEvent& s : status) {
        if (s.type == stPaginating)
            paginating.push_back(s.pageNum);
    }
    EXPECT_EQ(paginating, (std::vector<int>{1, 2, 1, 2, 1, 2}));
}

TEST(RenderText, HandlerDiscardingThePageOfPageOneLosesNoText)
{
    for (bool closeOnly : {false, true}) {
        SCOPED_TRACE(closeOnly ? "canvas closed" : "pages cleared");
        EngineFixture f;
        f.engine.OnNewPage = [&](TPreviewPrinter& e, int page) {
            if (page != 1)
                return;
            e.CloseCanvas();
            if (!closeOnly)
                e.Clear();
        };
        f.engine.RenderText("first\fsecond"s);
        std::string all;
        for (int i = 0; i < f.engine.PageCount(); ++i) {
            for (const TextRun& r : textRuns(f.engine.Pages(i)))
                all += r.bytes + "|";
        }
        EXPECT_EQ(all, "first|second|");
        EXPECT_FALSE(f.engine.Printing());
    }
}

TEST(RenderText, LogoLiesUnderEveryPage)
{
    EngineFixture f;
    QImage logo(4, 2, QImage::Format_RGB32);
    logo.fill(Qt::white);
    logo.setPixel(0, 0, qRgb(255, 0, 0));
    f.fake.bitmaps.addBitmap(QStringLiteral("/opt/logo.bmp"), logo);
    f.engine.Logo = QStringLiteral("/opt/logo.bmp");
    f.engine.RenderText("A\fB"s);
    ASSERT_EQ(f.engine.PageCount(), 2);
    EXPECT_EQ(f.fake.bitmaps.loads(), 1);
    for (int i = 0; i < 2; ++i) {
        const TMetafile& page = f.engine.Pages(i);
        ASSERT_GE(page.records().size(), 2u);
        const MetaRecord& r = page.records()[0];
        ASSERT_EQ(r.op, RecordOp::Bitmap);
        EXPECT_EQ(QRect(r.x, r.y, r.width, r.height), QRect(100 + i * 60, 280, 4960, 6600));
        // The automatic transparent colour is the bottom-left pixel's (white).
        EXPECT_EQ(qAlpha(page.bitmap(r).pixel(3, 1)), 0);
        EXPECT_EQ(page.bitmap(r).pixel(0, 0), qRgb(255, 0, 0));
    }
    EXPECT_EQ(&f.engine.Pages(0).bitmap(f.engine.Pages(0).records()[0]),
              &f.engine.Pages(1).bitmap(f.engine.Pages(1).records()[0]))
        << "pages share one bitmap";
}

TEST(RenderText, LogoThatCannotBeLoadedEndsTheDocument)
{
    EngineFixture f;
    f.engine.Logo = QStringLiteral("/nowhere/logo.bmp");
    try {
        f.engine.RenderText("text"s);
        FAIL() << "the loading error reaches the caller";
    } catch (const EFileError& e) {
        EXPECT_NE(std::string(e.what()).find("/nowhere/logo.bmp"), std::string::npos);
    }
    EXPECT_FALSE(f.engine.Printing());
    EXPECT_FALSE(f.fake.screen.busy());
    EXPECT_EQ(f.engine.PageCount(), 0);
    // The engine is usable at once.
    f.engine.Logo.clear();
    f.engine.RenderText("text"s);
    EXPECT_EQ(f.engine.PageCount(), 1);
}

TEST(RenderText, FailingHandlerLeavesNoOpenDocument)
{
    EngineFixture f;
    f.fake.printers.failOn(FakePrinters::Failure::BeginDoc);
    f.engine.OnNewPage = [](TPreviewPrinter& e, int page) {
        if (page == 2)
            e.Print();
    };
    EXPECT_THROW(f.engine.RenderText("a\fb"s), EPrinterError);
    EXPECT_FALSE(f.engine.Printing());
    EXPECT_FALSE(f.fake.screen.busy());
    EXPECT_EQ(f.engine.PageCount(), 1) << "the pages made so far stay";
}

// The text in pieces of a fixed size read into one buffer, as a spool file is read: each
// piece overwrites the one before, and what it does not fill is scribbled over.
class ReusedBufferSource : public TTextSource
{
public:
    ReusedBufferSource(std::string_view text, std::size_t size)
        : m_text(text)
        , m_buffer(size, '\0')
    {}
    std::string_view next() override
    {
        std::fill(m_buffer.begin(), m_buffer.end(), '#');
        const std::string_view piece = m_text.substr(0, m_buffer.size());
        m_text.remove_prefix(piece.size());
        std::copy(piece.begin(), piece.end(), m_buffer.begin());
        return std::string_view(m_buffer.data(), piece.size());
    }

private:
    std::string_view m_text;
    std::string m_buffer;
};

TEST(RenderText, TextInPiecesLaysOutAsTheWholeText)
{
    // Commands of every length, runs longer than a piece, bytes that start no command,
    // runs of unknown ESCs and vertical rules, NUL stand-ins (255), a page break and a NUL
    // that ends the text; texts that end in the middle of a line or of a command.
    std::string text = "\x1b"
                       "EBold\x1b"
                       "F \x1b(s17Hsmall\x1b(s10H\x1b-\x01under\x1b-\xff\r\n\xb3 rule \x1b&l8D"
                       "eight\x1b&l6D\r\n";
    text += std::string(300, 'w') + "\x1b" + "Q odd\r\n" + numberedLines(70) + "\fnext page\r\n";
    text += std::string(40, '\x1b') + "\xb3\xb3\xff\xff\x0f\x12\x0f\x12x\x1b&l12D\x1b&l\r\n\x1b(s1";
    text += std::string("end") + '\0' + "never";
    const std::string texts[] = {text, "A", "Hello", "\x1b", "ab\x1b&l8", "\xb3\xb3x\r\n\f\x1b&d@"};

    for (const std::string& t : texts) {
        SCOPED_TRACE(t.substr(0, 20));
        EngineFixture whole;
        whole.engine.RenderText(t);
        ASSERT_GT(whole.engine.PageCount(), 0);
        for (std::size_t size : {1, 2, 3, 4, 5, 6, 7, 8, 13, 64, 4096}) {
            SCOPED_TRACE(size);
            EngineFixture pieces;
            ReusedBufferSource source(t, size);
            pieces.engine.RenderText(source);
            ASSERT_EQ(pieces.engine.PageCount(), whole.engine.PageCount());
            for (int p = 0; p < whole.engine.PageCount(); ++p) {
                const TMetafile& a = whole.engine.Pages(p);
                const TMetafile& b = pieces.engine.Pages(p);
                ASSERT_EQ(a.records().size(), b.records().size()) << "page " << p;
                for (std::size_t r = 0; r < a.records().size(); ++r) {
                    const MetaRecord& ra = a.records()[r];
                    const MetaRecord& rb = b.records()[r];
                    EXPECT_EQ(ra.op, rb.op);
                    EXPECT_EQ(ra.x, rb.x);
                    EXPECT_EQ(ra.y, rb.y);
                    if (ra.op == RecordOp::Text) {
                        EXPECT_EQ(a.bytes(ra), b.bytes(rb));
                        EXPECT_EQ(a.font(ra), b.font(rb));
                    } else {
                        EXPECT_EQ(ra.width, rb.width);
                        EXPECT_EQ(ra.height, rb.height);
                    }
                }
            }
        }
    }
}
