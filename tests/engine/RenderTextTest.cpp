#include "EngineTestSupport.h"

#include "platform/Errors.h"
#include "platform/OemCodePage.h"

#include <gtest/gtest.h>

#include <tuple>

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

// ---- ESC/P 2 ----

namespace {

// A text record with everything the ESC/P 2 layout sets in its font.
struct EscRun
{
    int x = 0;
    int y = 0;
    std::string bytes;
    FontSpec font;
};

std::vector<EscRun> escRuns(const TMetafile& page)
{
    std::vector<EscRun> runs;
    for (const MetaRecord& r : page.records()) {
        if (r.op == RecordOp::Text)
            runs.push_back({r.x, r.y, std::string(page.bytes(r)), page.font(r)});
    }
    return runs;
}

// The laser's page: column 0 at x 100, the first line's top at y 280, 600 dpi, so that a
// 10-cpi character is 60 pixels and a 1/6-inch line 100.
std::vector<EscRun> escPage(const std::string& text, int page = 0)
{
    EngineFixture f;
    f.engine.RenderEscP2(text);
    if (page >= f.engine.PageCount()) {
        ADD_FAILURE() << "only " << f.engine.PageCount() << " pages";
        return {};
    }
    return escRuns(f.engine.Pages(page));
}

std::string escRunsText(const std::vector<EscRun>& runs)
{
    std::string s;
    for (const EscRun& r : runs)
        s += std::to_string(r.x) + "," + std::to_string(r.y) + ":" + r.bytes + " ";
    return s;
}

} // namespace

TEST(RenderEscP2, ControlCodesMoveAndNeverPrint)
{
    // BS steps back a character, HT goes to every 8th column, LF returns the carriage too;
    // NUL, BEL, CAN, DEL and unknown controls print nothing; 0x80-0x9F are characters.
    const std::vector<EscRun> runs = escPage("AB\bC\tD\0\a\x18\x7f\x01\x80\r\nE\nF"s);
    EXPECT_EQ(escRunsText(runs), "100,280:AB 160,280:C 580,280:D\x80 100,380:E 100,480:F ");
    EXPECT_EQ(runs[0].font.name, "Courier New");
    EXPECT_EQ(runs[0].font.pixelSize, 100);
    EXPECT_EQ(runs[0].font.pixelWidth, 0) << "10 cpi is the face's own shape";

    struct Case
    {
        const char* name;
        std::string text;
        int pages;
    };
    const Case cases[] = {
        {"empty", ""s, 0},
        {"commands only",
         "\x1b@\x1b"
         "E\r\n"s,
         0},
        {"NUL does not end the text", "A\0\fB"s, 2},
        {"trailing form feeds add no page", "A\f\f"s, 1},
        {"two form feeds leave an empty page between", "A\f\fB"s, 3},
        {"a line past the bottom begins the next page", numberedLines(63), 2},
        {"page length of 3 lines",
         "\x1b"
         "C\x03"s +
             numberedLines(4),
         2},
        {"page length of 1 inch holds 6 lines",
         "\x1b"
         "C\0\x01"s +
             numberedLines(7),
         2},
        {"skip over the perforation",
         "\x1b"
         "C\x04\x1bN\x02"s +
             numberedLines(3),
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineFixture f;
        f.engine.RenderEscP2(c.text);
        EXPECT_EQ(f.engine.PageCount(), c.pages);
        EXPECT_FALSE(f.engine.Printing());
    }
}

TEST(RenderEscP2, PitchAndStyleCommands)
{
    struct Case
    {
        const char* name;
        std::string text;
        int secondX;    // where the second character begins
        int pixelSize;  // of the face
        int pixelWidth; // of the face (0: its own shape)
        std::uint8_t style;
    };
    const Case cases[] = {
        {"10 cpi", "ab"s, 160, 100, 0, 0},
        {"12 cpi", "\x1bMab"s, 150, 100, 83, 0},
        {"15 cpi", "\x1bgab"s, 140, 67, 0, 0},
        {"condensed 10 cpi",
         "\x0f"
         "ab"s,
         135, 100, 58, 0},
        {"condensed by ESC SI",
         "\x1b\x0f"
         "ab"s,
         135, 100, 58, 0},
        {"condensed 12 cpi",
         "\x1bM\x0f"
         "ab"s,
         130, 100, 50, 0},
        {"condensed off",
         "\x0f\x12"
         "ab"s,
         160, 100, 0, 0},
        {"double width",
         "\x1bW\x01"
         "ab"s,
         220, 100, 200, 0},
        {"double width as a digit", "\x1bW1ab"s, 220, 100, 200, 0},
        {"double width for the line",
         "\x0e"
         "ab"s,
         220, 100, 200, 0},
        {"double width by ESC SO",
         "\x1b\x0e"
         "ab"s,
         220, 100, 200, 0},
        {"double width cancelled by DC4",
         "\x0e\x14"
         "ab"s,
         160, 100, 0, 0},
        {"extra space of 6/180 inch",
         "\x1b \x06"
         "ab"s,
         180, 100, 0, 0},
        {"bold",
         "\x1b"
         "Eab"s,
         160, 100, 0, fsBold},
        {"bold off",
         "\x1b"
         "E\x1b"
         "Fab"s,
         160, 100, 0, 0},
        {"double strike prints bold", "\x1bGab"s, 160, 100, 0, fsBold},
        {"italic",
         "\x1b"
         "4ab"s,
         160, 100, 0, fsItalic},
        {"italic off",
         "\x1b"
         "4\x1b"
         "5ab"s,
         160, 100, 0, 0},
        {"underline",
         "\x1b-\x01"
         "ab"s,
         160, 100, 0, fsUnderline},
        {"underline as a digit", "\x1b-1ab"s, 160, 100, 0, fsUnderline},
        {"underline off by NUL", "\x1b-1\x1b-\0ab"s, 160, 100, 0, 0},
        {"master select: 12 cpi, bold, italic, underline",
         "\x1b!\xc9"
         "ab"s,
         150, 100, 83, fsBold | fsItalic | fsUnderline},
        {"master select: condensed, double width",
         "\x1b!\x24"
         "ab"s,
         170, 100, 117, 0},
        {"master select 0 cancels",
         "\x1b"
         "E\x1bW1\x1b!\0ab"s,
         160, 100, 0, 0},
        {"reset",
         "\x1bM\x1b"
         "E\x1b@ab"s,
         160, 100, 0, 0},
        {"draft, typeface and outline change nothing",
         "\x1bx\x01\x1bk\x01\x1bq\x01"
         "ab"s,
         160, 100, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<EscRun> runs = escPage(c.text);
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(runs[0].x, 100);
        EXPECT_EQ(runs[0].y, 280);
        // One run where the glyphs' advances are the cells, else a run a cell.
        int second = 0;
        if (runs.size() == 1) {
            EXPECT_EQ(runs[0].bytes, "ab");
            second = runs[0].x + (runs[0].font.horizontalPixelSize() * 6 + 5) / 10;
        } else {
            second = runs[1].x;
        }
        EXPECT_EQ(second, c.secondX);
        EXPECT_EQ(runs[0].font.pixelSize, c.pixelSize);
        EXPECT_EQ(runs[0].font.pixelWidth, c.pixelWidth);
        EXPECT_EQ(runs[0].font.style, c.style);
    }

    // Super- and subscript: smaller glyphs, the subscript lowered.
    const std::vector<EscRun> scripts = escPage("a\x1bS0b\x1bS1"
                                                "c\x1bTd"s);
    ASSERT_EQ(scripts.size(), 4u) << escRunsText(scripts);
    EXPECT_EQ(scripts[1].font.pixelSize, 67);
    EXPECT_EQ(scripts[1].y, 280);
    EXPECT_EQ(scripts[2].font.pixelSize, 67);
    EXPECT_GT(scripts[2].y, 280);
    EXPECT_EQ(scripts[3].font.pixelSize, 100);
    EXPECT_EQ(scripts[3].y, 280);
    EXPECT_EQ(scripts[3].x, 280);

    // Double height keeps the pitch; proportional text is drawn in a face of its own.
    const std::vector<EscRun> tall = escPage("\x1bw\x01"
                                             "a\x1bw0\x1bp\x01"
                                             "b\x1bk\x01"
                                             "c"s);
    ASSERT_GE(tall.size(), 3u) << escRunsText(tall);
    EXPECT_EQ(tall[0].font.pixelSize, 200);
    EXPECT_EQ(tall[1].font.name, "Times New Roman");
    EXPECT_EQ(tall[1].x, 160);
    EXPECT_EQ(tall[2].font.name, "Arial");
}

TEST(RenderEscP2, VerticalMotion)
{
    struct Case
    {
        const char* name;
        std::string text;
        int x; // of the second line's text
        int y;
    };
    const Case cases[] = {
        {"1/6 inch", "a\nb"s, 100, 380},
        {"1/8 inch",
         "\x1b"
         "0a\nb"s,
         100, 355},
        {"1/6 inch again",
         "\x1b"
         "0\x1b"
         "2a\nb"s,
         100, 380},
        {"n/180 inch",
         "\x1b"
         "3\x24"
         "a\nb"s,
         100, 400},
        {"n/360 inch",
         "\x1b+\x24"
         "a\nb"s,
         100, 340},
        {"n/60 inch",
         "\x1b"
         "A\x0c"
         "a\nb"s,
         100, 400},
        {"ESC J feeds now and keeps the column",
         "a\x1bJ\x12"
         "b"s,
         160, 340},
        {"VT with no tabs is a line feed",
         "a\x0b"
         "b"s,
         100, 380},
        {"VT to the next vertical tab",
         "\x1b"
         "B\x03\x05\0a\x0b"
         "b"s,
         100, 580},
        {"absolute vertical position",
         "a\x1b(V\x02\0\x68\x01"
         "b"s,
         160, 880},
        {"relative vertical position",
         "a\x1b(v\x02\0\x24\0"
         "b"s,
         160, 340},
        {"form feed goes to the next page", "a\fb"s, 100, 280},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineFixture f;
        f.engine.RenderEscP2(c.text);
        ASSERT_GE(f.engine.PageCount(), 1);
        std::vector<EscRun> runs = escRuns(f.engine.Pages(f.engine.PageCount() - 1));
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(runs.back().x, c.x) << escRunsText(runs);
        EXPECT_EQ(runs.back().y, c.y) << escRunsText(runs);
    }
}

TEST(RenderEscP2, HorizontalPositionsAndMargins)
{
    struct Case
    {
        const char* name;
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"left margin in columns",
         "\x1bl\x05"
         "a\r\nb"s,
         "400,280:a 400,380:b "},
        {"left margin in 12-cpi columns",
         "\x1bM\x1bl\x06"
         "a"s,
         "400,280:a "},
        {"right margin wraps",
         "\x1bQ\x04"
         "abcdef"s,
         "100,280:abcd 100,380:ef "},
        {"a line wraps at the printable width", std::string(81, 'x'),
         "100,280:" + std::string(79, 'x') + " 100,380:xx "},
        {"absolute position in 1/60 inch", "abc\x1b$\x0c\0d"s, "100,280:abc 220,280:d "},
        {"absolute position from the left margin", "\x1bl\x02\x1b$\x06\0d"s, "280,280:d "},
        {"past the right margin is ignored", "\x1bQ\x02\x1b$\x30\0d"s, "100,280:d "},
        {"relative position in 1/120 inch",
         "ab\x1b\\\x0c\0c\x1b\\\xe8\xff"
         "d"s,
         "100,280:ab 280,280:c 220,280:d "},
        {"tab stops",
         "\x1b"
         "D\x02\x06\0\ta\tb\tc"s,
         "220,280:a 460,280:bc "},
        {"tab stops cleared",
         "\x1b"
         "D\0\ta"s,
         "100,280:a "},
        {"right-aligned between the margins",
         "\x1bQ\x0a\x1b"
         "a\x02"
         "ab\x1b"
         "Ec\r\nd"s,
         "520,280:ab 640,280:c 640,380:d "},
        {"centred",
         "\x1bQ\x0a\x1b"
         "a1ab\r\n\x1b"
         "a0cd"s,
         "340,280:ab 100,380:cd "},
        {"a justified paragraph's last line stays left",
         "\x1b"
         "a\x03"
         "a"s,
         "100,280:a "},
        {"a justified line shares the room before the margin between its words",
         "\x1bQ\x0a\x1b"
         "a\x03"
         "ab cd efg hij\r\nk"s,
         "100,280:ab  310,280:cd  520,280:efg  100,380:hij 100,480:k "},
        {"a justified line carries the word that reaches the margin to the next",
         "\x1bQ\x0a\x1b"
         "a\x03"
         "ab cd efghij\r\n"s,
         "100,280:ab  580,280:cd  100,380:efghij "},
        {"a justified word longer than the line breaks at the margin",
         "\x1bQ\x04\x1b"
         "a\x03"
         "abcdef\r\n"s,
         "100,280:abcd 100,380:ef "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(escRunsText(escPage(c.text)), c.expected);
    }
}

TEST(RenderEscP2, CharacterTablesAndNationalSets)
{
    const OemCodePage cp = *OemCodePage::load(852);
    const auto oem = [&cp](char16_t c) {
        // A printable byte: the controls' IBM PC glyphs are no characters of the set.
        for (int b = 0x20; b < 256; ++b) {
            if (cp.glyph(static_cast<unsigned char>(b)) == QChar(c))
                return std::string(1, static_cast<char>(b));
        }
        return std::string("?");
    };
    // Germany: [ \ ] { | } ~ @ are umlauts and the section sign; back to the USA.
    std::vector<EscRun> runs = escPage("\x1bR\x02[\\]{|}~@#\x1bR\0[@"s);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].bytes,
              oem(u'Ä') + oem(u'Ö') + oem(u'Ü') + oem(u'ä') + oem(u'ö') + oem(u'ü') + oem(u'ß') + oem(u'§') + "#[@");

    // The italic table: the upper half is the lower one slanted; the PC table is the code
    // page itself.
    runs = escPage("\x1bt\0\xc1\xe2\x1bt\x01\xc1"s);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].bytes, "Ab");
    EXPECT_TRUE(runs[0].font.italic());
    EXPECT_EQ(runs[1].bytes, "\xc1");
    EXPECT_FALSE(runs[1].font.italic());
    // A table assigned the italic set prints italic; 0x80-0x9F are controls after ESC 7.
    runs = escPage("\x1b(t\x03\0\x01\0\0\x1bt1\xc1\x1b"
                   "7\x85\x1bt\x03\x1b"
                   "6\x85"s);
    ASSERT_EQ(runs.size(), 2u) << escRunsText(runs);
    EXPECT_TRUE(runs[0].font.italic());
    EXPECT_EQ(runs[1].bytes, "\x85");
    // Characters printed from data: control codes too.
    runs = escPage("\x1b(^\x02\0\x01\x0d"
                   "a"s);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].bytes, "\x01\x0d"
                             "a");
}

TEST(RenderEscP2, UnknownCommandsAreConsumedByTheirLength)
{
    // Each is followed by "ok": nothing of a command may print, and nothing after it be lost.
    const std::string commands[] = {
        "\x1bx\x01"s,
        "\x1bU\x01"s,
        "\x1b\x19"
        "1"s,
        "\x1b"
        "e\x01\x02"s,
        "\x1b:\0\0\0"s,
        "\x1b(c\x04\0\x01\x02\x03\x04"s,
        "\x1b(Z\x03\0abc"s,
        "\x1b(G\x01\0\x01"s,
        "\x1b&\0AB\x01\x02\x01xyzabc\x01\x01\x01xyz"s,
        "\x1b^\0\x02\0abcd"s,
        "\x1b<"s,
        "\x1b#"s,
        "\x1b"
        "b\x01\x02\x03\0"s,
        "\x1b.\x02\x0a\x0a\x01\x08\0\xe3"s,
        "\x1b.\x03\x0a\x0a\x01\0\0\x61\xe3"s,
        "\x1b*\x05\x02\0"s,
    };
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        const std::vector<EscRun> runs = escPage(command + "ok");
        ASSERT_EQ(runs.size(), 1u) << escRunsText(runs);
        EXPECT_EQ(runs[0].bytes, "ok");
    }
    // A command cut by the end of the text prints nothing.
    for (const char* cut : {"\x1b", "\x1b*\x27\x05", "\x1b(^\x09", "\x1b.\x01\x0a\x0a\x18\x10\0\x05"}) {
        SCOPED_TRACE(cut);
        EngineFixture f;
        f.engine.RenderEscP2(std::string("a") + cut);
        ASSERT_EQ(f.engine.PageCount(), 1);
        EXPECT_EQ(escRunsText(escRuns(f.engine.Pages(0))), "100,280:a ");
    }
}

TEST(RenderEscP2, GraphicsAreBitmapsAtTheirSizeAndPlace)
{
    struct Bitmap
    {
        QRect rect;
        QImage image;
    };
    const auto bitmaps = [](const TMetafile& page) {
        std::vector<Bitmap> list;
        for (const MetaRecord& r : page.records()) {
            if (r.op == RecordOp::Bitmap)
                list.push_back({QRect(r.x, r.y, r.width, r.height), page.bitmap(r)});
        }
        return list;
    };
    const auto ink = [](const QImage& image, int x, int y) { return qAlpha(image.pixel(x, y)) != 0; };

    // 8-dot, 60 dpi: 10 x 10 pixels a dot; the text goes on after the graphic.
    EngineFixture f;
    f.engine.RenderEscP2("a\x1b*\0\x03\0\x80\x01\xff"
                         "b\x1bK\x01\0\x01"s);
    ASSERT_EQ(f.engine.PageCount(), 1);
    std::vector<Bitmap> list = bitmaps(f.engine.Pages(0));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].rect, QRect(160, 280, 30, 80));
    ASSERT_EQ(list[0].image.size(), QSize(3, 8));
    EXPECT_TRUE(ink(list[0].image, 0, 0));
    EXPECT_FALSE(ink(list[0].image, 0, 1));
    EXPECT_TRUE(ink(list[0].image, 1, 7));
    EXPECT_FALSE(ink(list[0].image, 1, 6));
    for (int y = 0; y < 8; ++y)
        EXPECT_TRUE(ink(list[0].image, 2, y));
    EXPECT_EQ(escRunsText(escRuns(f.engine.Pages(0))), "100,280:a 190,280:b ");
    EXPECT_EQ(list[1].rect, QRect(250, 280, 10, 80));

    // 24-dot, 180 dpi: three bytes a column, the top bit first.
    EngineFixture g;
    g.engine.RenderEscP2("\x1b*\x27\x02\0\x80\0\x01\0\0\0"s);
    list = bitmaps(g.engine.Pages(0));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].rect, QRect(100, 280, 7, 80));
    ASSERT_EQ(list[0].image.size(), QSize(2, 24));
    EXPECT_TRUE(ink(list[0].image, 0, 0));
    EXPECT_TRUE(ink(list[0].image, 0, 23));
    EXPECT_FALSE(ink(list[0].image, 1, 0));

    // Raster graphics, 360 dpi, run-length compressed: 2 rows of 16 dots.
    EngineFixture h;
    h.engine.RenderEscP2("\x1b.\x01\x0a\x0a\x02\x10\0\xff\xaa\x01\x0f\xf0z"s);
    list = bitmaps(h.engine.Pages(0));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].rect, QRect(100, 280, 27, 3));
    ASSERT_EQ(list[0].image.size(), QSize(16, 2));
    for (int x = 0; x < 16; ++x)
        EXPECT_EQ(ink(list[0].image, x, 0), x % 2 == 0) << x;
    EXPECT_FALSE(ink(list[0].image, 3, 1));
    EXPECT_TRUE(ink(list[0].image, 4, 1));
    EXPECT_TRUE(ink(list[0].image, 8, 1));
    EXPECT_FALSE(ink(list[0].image, 12, 1));
    EXPECT_EQ(escRunsText(escRuns(h.engine.Pages(0))), "127,280:z ");

    // Columns past the right margin are not printed.
    EngineFixture m;
    m.engine.RenderEscP2("\x1bQ\x01\x1b*\0\x0a\0"s + std::string(10, '\xff') + "\r\nb");
    list = bitmaps(m.engine.Pages(0));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].rect, QRect(100, 280, 60, 80));
}

// The binary command streams of the TIFF and delta row raster modes give the same picture as
// the plain raster mode, and nothing of them is ever text.
TEST(RenderEscP2, CompressedRasterStreamsDrawTheirImageAndNoText)
{
    const auto bitmaps = [](const TMetafile& page) {
        std::vector<std::pair<QRect, QImage>> list;
        for (const MetaRecord& r : page.records()) {
            if (r.op == RecordOp::Bitmap)
                list.emplace_back(QRect(r.x, r.y, r.width, r.height),
                                  page.bitmap(r).convertToFormat(QImage::Format_ARGB32));
        }
        return list;
    };
    // 360 dpi, 16 dots by 3 lines: aa aa / 0f f0 / 0f aa.
    EngineFixture plain;
    plain.engine.RenderEscP2("\x1b.\x00\x0a\x0a\x03\x10\0\xaa\xaa\x0f\xf0\x0f\xaa"s);
    const auto expected = bitmaps(plain.engine.Pages(0));
    ASSERT_EQ(expected.size(), 1u);
    ASSERT_EQ(expected[0].first, QRect(100, 280, 27, 5));

    const std::string graphics = "\x1b(G\x01\0\x01"s;
    struct Case
    {
        const char* name;
        std::string text;
        std::string runs;
    };
    const Case cases[] = {
        {"TIFF: packed lines, one line down after each",
         graphics + "\x1b.\x02\x0a\x0a\x01\0\0"
                    "\x22\xff\xaa\x61\x23\x01\x0f\xf0\x61\x23\x01\x0f\xaa\xe3z"s,
         "100,283:z "},
        {"TIFF: counts in further bytes, moves in dots and bytes, other inks not drawn",
         graphics + "\x1b.\x02\x0a\x0a\x01\0\0"
                    "\x81\x22\x00\xff\xe2\x80"
                    "\xe5\x51\x08\x22\x00\xaa\xe2\x22\x00\xaa"
                    "\x71\x01\x31\x03\x01\x0f\xf0"
                    "\xe4\x61\x41\x22\x00\xaa\xe2\x22\x00\x0f\xe3z"s,
         "100,283:z "},
        {"delta row: each line is its changes from the one before",
         graphics + "\x1b.\x03\x0a\x0a\x01\0\0"
                    "\x23\x20\xaa\xaa\x61\x23\x20\x0f\xf0\x61\x22\x01\xaa\x1b@z"s,
         "100,283:z "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineFixture f;
        f.engine.RenderEscP2(c.text);
        ASSERT_EQ(f.engine.PageCount(), 1);
        const auto list = bitmaps(f.engine.Pages(0));
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].first, expected[0].first);
        EXPECT_EQ(list[0].second, expected[0].second);
        EXPECT_EQ(escRunsText(escRuns(f.engine.Pages(0))), c.runs);
    }

    // Graphics mode positions in the unit of ESC ( U and reads ESC i as colour rows.
    EngineFixture unit;
    unit.engine.RenderEscP2(graphics + "\x1b(U\x01\0\x05\x1b$\x20\0\x1b.\x00\x0a\x0a\x01\x08\0\xff"s);
    const auto moved = bitmaps(unit.engine.Pages(0));
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].first.x(), 127);
    EXPECT_EQ(escRunsText(escPage(graphics + "\x1bi\x01\x01\x02\x03\0\x02\0\x05"
                                             "ABCDEF\x7f"
                                             "z"s)),
              "100,280:z ");
}

TEST(RenderEscP2, PagesBeginAsTheTableBeginsThemAndStayBounded)
{
    // New-page events, batches discarded by a handler and the logo behave as they do for
    // the command table.
    EngineFixture f;
    f.fake.bitmaps.addBitmap(QStringLiteral("logo.bmp"), QImage(4, 4, QImage::Format_RGB32));
    f.engine.Logo = QStringLiteral("logo.bmp");
    std::vector<int> begun;
    int printed = 0;
    f.engine.OnNewPage = [&](TPreviewPrinter& e, int page) {
        begun.push_back(page);
        if (page > 1 && e.PageCount() >= 2) {
            e.CloseCanvas();
            printed += e.PageCount();
            e.Clear();
        }
    };
    f.engine.RenderEscP2("a\fb\fc\fd\f"s);
    EXPECT_EQ(begun, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(printed + f.engine.PageCount(), 4);
    const TMetafile& last = f.engine.Pages(f.engine.PageCount() - 1);
    EXPECT_EQ(last.number(), 4);
    ASSERT_FALSE(last.records().empty());
    EXPECT_EQ(last.records()[0].op, RecordOp::Bitmap) << "the logo lies under the page";
    EXPECT_EQ(QRect(last.records()[0].x, last.records()[0].y, last.records()[0].width, last.records()[0].height),
              QRect(100, 280, 4960, 6600));

    // Text printed over and over at one place needs a record each time: such a page is
    // refused by its number.
    std::string overprint = "a\f";
    for (std::size_t i = 0; i <= TMetafile::kMaxRecords; ++i)
        overprint += "\x1b$\x01\0x"s;
    EngineFixture g;
    try {
        g.engine.RenderEscP2(overprint);
        ADD_FAILURE() << "not refused";
    } catch (const EDocumentError& e) {
        EXPECT_NE(std::string(e.what()).find("Page 2 "), std::string::npos) << e.what();
    }
    EXPECT_FALSE(g.engine.Printing());

    // Graphics drawn over and over at one place: the page's bitmaps are bounded as well.
    const std::string row = "\x81\xff"s; // 128 bytes of 0xff: 1024 dots
    std::string graphics = "a\f";
    for (int i = 0; i < 1100; ++i) {
        graphics += "\x1b$\0\0\x1b.\x01\x0a\x0a\xff\0\x04"s;
        for (int r = 0; r < 255; ++r)
            graphics += row;
    }
    EngineFixture h;
    try {
        h.engine.RenderEscP2(graphics);
        ADD_FAILURE() << "not refused";
    } catch (const EDocumentError& e) {
        EXPECT_NE(std::string(e.what()).find("Page 2 needs more than 32 MiB of graphics"), std::string::npos)
            << e.what();
    }
}

TEST(RenderEscP2, TextInPiecesLaysOutAsTheWholeText)
{
    std::string text = "\x1b@\x1b"
                       "E\x1bR\x02"
                       "Bold[\x1b-1under\x1b-0\r\n\x1b*\x27\x03\0"s +
                       std::string(9, '\xf0') + "\x1b.\x01\x0a\x0a\x02\x10\0\xff\xaa\x01\x0f\xf0"s +
                       "\x1b(^\x03\0abc\x1b$\x10\x01x\f"s + numberedLines(70) +
                       "\x1b"
                       "D\x02\x04\0\tT\x1b"s;
    for (std::size_t size : {1, 2, 3, 5, 7, 64}) {
        SCOPED_TRACE(size);
        EngineFixture whole;
        whole.engine.RenderEscP2(text);
        EngineFixture pieces;
        ReusedBufferSource source(text, size);
        pieces.engine.RenderEscP2(source);
        ASSERT_EQ(pieces.engine.PageCount(), whole.engine.PageCount());
        ASSERT_EQ(whole.engine.PageCount(), 3);
        for (int p = 0; p < whole.engine.PageCount(); ++p) {
            const TMetafile& a = whole.engine.Pages(p);
            const TMetafile& b = pieces.engine.Pages(p);
            ASSERT_EQ(a.records().size(), b.records().size());
            for (std::size_t r = 0; r < a.records().size(); ++r) {
                const MetaRecord& ra = a.records()[r];
                const MetaRecord& rb = b.records()[r];
                EXPECT_EQ(std::tie(ra.op, ra.x, ra.y), std::tie(rb.op, rb.x, rb.y));
                if (ra.op == RecordOp::Text)
                    EXPECT_EQ(a.bytes(ra), b.bytes(rb));
                else
                    EXPECT_EQ(a.bitmap(ra), b.bitmap(rb));
            }
        }
    }
}

TEST(RenderEscP2, EmulationChoiceRoutesTheLayout)
{
    EXPECT_EQ(emulationFromSetting(0), TEmulation::CommandTable);
    EXPECT_EQ(emulationFromSetting(1), TEmulation::EscP2);
    EXPECT_EQ(emulationFromSetting(2), TEmulation::Pcl5);
    EXPECT_EQ(emulationFromSetting(3), TEmulation::CommandTable);
    EXPECT_EQ(emulationFromSetting(-1), TEmulation::CommandTable);
    // The printer languages read NUL bytes as parameters and graphics; only the table ends at them.
    EXPECT_FALSE(emulationReadsBinary(TEmulation::CommandTable));
    EXPECT_TRUE(emulationReadsBinary(TEmulation::EscP2));
    EXPECT_TRUE(emulationReadsBinary(TEmulation::Pcl5));

    // "\x1b" "E" is bold in the command table and a reset in PCL; "\x1b@" is a command in
    // both printer languages.
    const std::string text = "\x1b@\x1b"
                             "Eab"s;
    for (const TEmulation emulation : {TEmulation::CommandTable, TEmulation::EscP2, TEmulation::Pcl5}) {
        EngineFixture f;
        ReusedBufferSource source(text, text.size() + 1);
        f.engine.Render(source, emulation);
        ASSERT_EQ(f.engine.PageCount(), 1);
        const std::string drawn = escRunsText(escRuns(f.engine.Pages(0)));
        EXPECT_EQ(drawn.find('@') != std::string::npos, emulation == TEmulation::CommandTable) << drawn;
    }
}

// ---- PCL 5 ----

namespace {

// The laser's page (A4 wide, letter long): the logical page's left edge at x 100, 600 dpi, so that a 10-cpi
// character is 60 pixels, a 1/6-inch line 100 and the first base line, 3/4 of a line below
// the half-inch top margin, at y 375. Runs are shown by their base line.
std::string pclRunsText(EngineFixture& f, int page = 0)
{
    if (page >= f.engine.PageCount())
        return "only " + std::to_string(f.engine.PageCount()) + " pages";
    std::string s;
    for (const EscRun& r : escRuns(f.engine.Pages(page))) {
        const int baseline = r.y + static_cast<int>(std::lround(f.fake.fonts.glyphs(r.font).ascent()));
        s += std::to_string(r.x) + "," + std::to_string(baseline) + ":" + r.bytes + " ";
    }
    return s;
}

std::string pclText(const std::string& text)
{
    EngineFixture f;
    f.engine.RenderPcl5(text);
    return pclRunsText(f);
}

struct PclBitmap
{
    QRect rect;
    QImage image;
};

std::vector<PclBitmap> pclBitmaps(const TMetafile& page)
{
    std::vector<PclBitmap> list;
    for (const MetaRecord& r : page.records()) {
        if (r.op == RecordOp::Bitmap)
            list.push_back({QRect(r.x, r.y, r.width, r.height), page.bitmap(r)});
    }
    return list;
}

} // namespace

TEST(RenderPcl5, TextAndCursorCommands)
{
    struct Case
    {
        const char* name;
        std::string text;
        std::string runs;
    };
    const Case cases[] = {
        {"BS steps back, HT every 8 columns", "AB\bC\tD", "100,375:AB 160,375:C 580,375:D "},
        {"LF keeps the column, CR returns", "A\nB\rC", "100,375:A 160,475:B 100,475:C "},
        {"control codes print nothing",
         "A\0\a\x7f"
         "B"s,
         "100,375:AB "},
        {"CR is CR LF", "\x1b&k1GA\rB", "100,375:A 100,475:B "},
        {"LF is CR LF", "\x1b&k2GA\nB", "100,375:A 100,475:B "},
        {"column and row", "\x1b&a2r10CA", "700,575:A "},
        {"decipoints, absolute and relative", "\x1b&a720h720VA\x1b&a+360h-360VB", "700,900:A 1060,600:B "},
        {"PCL units", "\x1b*p300x300YA\x1b*p-150XB", "700,900:A 460,900:B "},
        {"unit of measure", "\x1b&u600D\x1b*p600XA", "700,375:A "},
        {"lines per inch", "\x1b&l8DA\nB", "100,375:A 160,450:B "},
        {"VMI in 1/48 inch", "\x1b&l12CA\nB", "100,375:A 160,525:B "},
        {"half line feed", "A\x1b=B", "100,375:A 160,425:B "},
        {"HMI in 1/120 inch", "\x1b&k6HAB", "100,375:A 130,375:B "},
        {"pitch mode 12", "\x1b&k4SAB\tC", "100,375:AB 500,375:C "},
        {"left margin", "\x1b&a5LA\rB", "400,375:A 400,375:B "},
        {"right margin cuts the line", "\x1b&a2MABCD\r\nE", "100,375:ABC 100,475:E "},
        {"end-of-line wrap", "\x1b&s0C\x1b&a2MABCD", "100,375:ABC 100,475:D "},
        {"clear margins",
         "\x1b&a5l7M\x1b"
         "9\rABCDEFGHI",
         "100,375:ABCDEFGHI "},
        {"top margin", "\x1b&l1E\x1b&a0RA", "100,175:A "},
        {"push and pop the cursor", "A\x1b&f0S\x1b&a9RB\x1b&f1SC", "100,375:A 160,1275:B 160,375:C "},
        {"unknown sequences are consumed", "A\x1b*z12.5q-3RB\x1b&x1X\x1bZC\x1b)D", "100,375:ABC "},
        {"announced data is skipped",
         "\x1b(s6W\x1b\r\nXYZA\x1b*c2W\x1b"
         "EB\x1b*o1w2XC",
         "100,375:ABC "},
        {"a job language header",
         "\x1b%-12345X@PJL ENTER LANGUAGE=PCL\r\n\x1b"
         "EA",
         "100,375:A "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(pclText(c.text), c.runs);
    }
}

TEST(RenderPcl5, PageBreaksFollowTheLogicalPage)
{
    struct Case
    {
        const char* name;
        std::string text;
        int pages;
        int pageHeight = 6600;
    };
    const Case cases[] = {
        {"empty", "", 0},
        {"commands only",
         "\x1b"
         "E\x1b&l2A\r\n\f",
         0},
        {"form feed", "A\fB", 2},
        {"a form feed on an empty page adds none",
         "A\f\fB\x1b"
         "E\f",
         2},
        {"reset ejects",
         "A\x1b"
         "EB",
         2},
        {"60 lines on a letter page", numberedLines(60), 1},
        {"the 61st begins the next", numberedLines(61), 2},
        {"without the perforation skip 63", "\x1b&l0L" + numberedLines(63), 1},
        {"without the perforation skip not 64", "\x1b&l0L" + numberedLines(64), 2},
        {"64 lines on an A4 sheet", numberedLines(64), 1, 7016},
        {"not 65", numberedLines(65), 2, 7016},
        {"legal holds 78", "\x1b&l3A" + numberedLines(78), 1},
        {"not 79", "\x1b&l3A" + numberedLines(79), 2},
        {"landscape holds 43 across the A4 sheet", "\x1b&l1O" + numberedLines(43), 1},
        {"not 44", "\x1b&l1O" + numberedLines(44), 2},
        {"text length of 3 lines", "\x1b&l3F" + numberedLines(4), 2},
        {"page length of 10 lines", "\x1b&l10P" + numberedLines(5), 2},
        {"positioning never breaks the page", "A\x1b&a200RB\x1b*p99999YC", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineFixture f(true, laser600(c.pageHeight));
        f.engine.RenderPcl5(c.text);
        EXPECT_EQ(f.engine.PageCount(), c.pages);
        EXPECT_FALSE(f.engine.Printing());
    }

    // Landscape lines are as long as the sheet: 11 inches less the unprintable strips.
    EngineFixture f;
    f.engine.RenderPcl5("\x1b&l1O" + std::string(120, 'x'));
    EXPECT_EQ(pclRunsText(f), "100,375:" + std::string(106, 'x') + " ");

    // New-page events and the logo as the command table has them.
    EngineFixture g;
    g.fake.bitmaps.addBitmap(QStringLiteral("logo.bmp"), QImage(4, 4, QImage::Format_RGB32));
    g.engine.Logo = QStringLiteral("logo.bmp");
    std::vector<int> begun;
    g.engine.OnNewPage = [&](TPreviewPrinter&, int page) { begun.push_back(page); };
    g.engine.RenderPcl5("a\fb\fc"s);
    EXPECT_EQ(begun, (std::vector<int>{1, 2, 3}));
    ASSERT_EQ(g.engine.PageCount(), 3);
    EXPECT_EQ(g.engine.Pages(2).number(), 3);
    EXPECT_EQ(g.engine.Pages(2).records()[0].op, RecordOp::Bitmap) << "the logo lies under the page";
}

TEST(RenderPcl5, FontsAndSymbolSets)
{
    const auto fontsOf = [](const std::string& text) {
        EngineFixture f;
        f.engine.RenderPcl5(text);
        std::vector<FontSpec> fonts;
        for (const EscRun& r : escRuns(f.engine.Pages(0)))
            fonts.push_back(r.font);
        return fonts;
    };
    struct Case
    {
        const char* name;
        std::string text;
        QString face;
        int pixelSize;
        std::uint8_t style;
    };
    const Case cases[] = {
        {"the default", "A", "Courier New", 100, 0},
        {"16.67 characters an inch", "\x1b(s16.67HA", "Courier New", 60, 0},
        {"pitch mode 2", "\x1b&k2SA", "Courier New", 60, 0},
        {"CG Times", "\x1b(s1p12v4101TA", "Times New Roman", 100, 0},
        {"Times New Roman", "\x1b(s1p12v16901TA", "Times New Roman", 100, 0},
        {"Univers", "\x1b(s1p10v4148TA", "Arial", 83, 0},
        {"Arial", "\x1b(s1p10v16602TA", "Arial", 83, 0},
        {"unknown proportional", "\x1b(s1p10v9999TA", "Arial", 83, 0},
        {"Courier", "\x1b(s0p4099TA", "Courier New", 100, 0},
        {"unknown fixed", "\x1b(s0p9999TA", "Courier New", 100, 0},
        {"bold and italic", "\x1b(s3b1SA", "Courier New", 100, fsBold | fsItalic},
        {"light is not bold", "\x1b(s-3BA", "Courier New", 100, 0},
        {"underline", "\x1b&dDA", "Courier New", 100, fsUnderline},
        {"underline ends", "\x1b&dD\x1b&d@A", "Courier New", 100, 0},
        {"font by number is the default", "\x1b(s1p3b14v4101T\x1b(3XA", "Courier New", 100, 0},
        {"the secondary font",
         "\x1b)s1p14v4101TA\x0e"
         "A",
         "Times New Roman", 117, 0},
        {"back to the primary",
         "\x1b)s1p14v4101T\x0e\x0f"
         "A",
         "Courier New", 100, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<FontSpec> fonts = fontsOf(c.text);
        ASSERT_FALSE(fonts.empty());
        EXPECT_EQ(fonts.back().name, c.face);
        EXPECT_EQ(fonts.back().pixelSize, c.pixelSize);
        EXPECT_EQ(fonts.back().style & (fsBold | fsItalic | fsUnderline), c.style);
    }

    // A proportional font advances by its glyphs; fixed pitch by the pitch.
    EXPECT_EQ(pclText("\x1b(s12H\x1b(s1P\x1b(s0PAB"), "100,375:AB ");
    const std::string proportional = pclText("\x1b(s1p12v4101TiW\x1b(s0P\tX");
    EXPECT_EQ(proportional.substr(0, 11), "100,375:iW ") << proportional;
    EXPECT_NE(proportional.find("580,375:X"), std::string::npos) << "10 cpi tabs: " << proportional;

    // Symbol sets: the bytes stay as printed and read as their set has them.
    struct SetCase
    {
        const char* text;
        int charset;
        QString character;
    };
    const SetCase sets[] = {
        {"\xb3", OEM_CHARSET, QString(QChar(0x2502))},
        {"\x1b(10U\xb3", OEM_CHARSET, QString(QChar(0x2502))},
        {"\x1b(2N\xb9", LATIN2_CHARSET, QStringLiteral("š")},
        {"\x1b(8U\xc5", ROMAN8_CHARSET, QStringLiteral("é")},
        {"\x1b(0N\xe9", DEFAULT_CHARSET, QStringLiteral("é")},
        {"\x1b(2N\x1b(17U\xb3", OEM_CHARSET, QString(QChar(0x2502))},
    };
    for (const SetCase& c : sets) {
        SCOPED_TRACE(c.text);
        EngineFixture f;
        f.engine.RenderPcl5(c.text);
        const std::vector<EscRun> runs = escRuns(f.engine.Pages(0));
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].font.charset, c.charset);
        EXPECT_EQ(f.fake.fonts.decode(runs[0].font, runs[0].bytes), c.character);
    }
    // Bytes 0x80-0x9F are control codes outside the DOS code page.
    EXPECT_EQ(pclText("\x1b(0NA\x85"
                      "B"),
              "100,375:AB ");
}

TEST(RenderPcl5, RasterGraphicsAreBitmapsAtTheirSizeAndPlace)
{
    const auto ink = [](const QImage& image, int x, int y) { return qAlpha(image.pixel(x, y)) != 0; };

    // 300 dpi, 16 dots wide: a dot is 2 pixels; the rows move the cursor down. Each
    // compression gives the same two rows.
    const std::string rows[] = {
        "\x1b*b0m2W\xff\x00\x1b*b2W\x0f\xf0"s,
        "\x1b*b1m2W\x00\xff\x1b*b4W\x00\x0f\x00\xf0"s,
        "\x1b*b2m4W\x00\xff\xff\x00\x1b*b3W\x01\x0f\xf0"s,
        "\x1b*b3m3W\x20\xff\x00\x1b*b3W\x20\x0f\xf0"s,
        "\x1b*b0m2W\xff\x00\x1b*b3m4W\x00\x0f\x00\xf0"s,
    };
    for (const std::string& data : rows) {
        SCOPED_TRACE(::testing::PrintToString(data));
        EngineFixture f;
        f.engine.RenderPcl5("\x1b*t300R\x1b*r16S\x1b*r0A" + data + "\x1b*rBA");
        ASSERT_EQ(f.engine.PageCount(), 1);
        const std::vector<PclBitmap> list = pclBitmaps(f.engine.Pages(0));
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].rect, QRect(100, 375, 32, 4));
        ASSERT_EQ(list[0].image.size(), QSize(16, 2));
        for (int x = 0; x < 16; ++x) {
            EXPECT_EQ(ink(list[0].image, x, 0), x < 8) << x;
            EXPECT_EQ(ink(list[0].image, x, 1), x >= 4 && x < 12) << x;
        }
        EXPECT_EQ(pclRunsText(f), "100,379:A ");
    }

    // At the cursor, 75 dpi by default (a dot is 8 pixels), after a y offset of 2 rows.
    EngineFixture g;
    g.engine.RenderPcl5("\x1b&a10C\x1b*r8s1A\x1b*b2Y\x1b*b1W\x81\x1b*rC"s);
    std::vector<PclBitmap> list = pclBitmaps(g.engine.Pages(0));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].rect, QRect(700, 391, 64, 8));
    EXPECT_TRUE(ink(list[0].image, 0, 0));
    EXPECT_FALSE(ink(list[0].image, 1, 0));
    EXPECT_TRUE(ink(list[0].image, 7, 0));

    // Rows past the height are not drawn; data a row announces but the text lacks ends it.
    EngineFixture h;
    h.engine.RenderPcl5("\x1b*r8s1t0A\x1b*b1W\xff\x1b*b1W\xff\x1b*rB\x1b*b9W\xff"s);
    list = pclBitmaps(h.engine.Pages(0));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].rect, QRect(100, 375, 64, 8));
}

TEST(RenderPcl5, RectanglesFillTheirAreaAtTheCursor)
{
    struct Case
    {
        const char* name;
        std::string text;
        QRect rect;
        QRgb color;
    };
    const Case cases[] = {
        {"solid black in dots", "\x1b*p0x0Y\x1b*c300a150b0P", QRect(100, 300, 600, 300), qRgb(0, 0, 0)},
        {"white in decipoints", "\x1b*c720h360v1P", QRect(100, 375, 600, 300), qRgb(255, 255, 255)},
        {"20 percent grey", "\x1b*p300X\x1b*c10a10b20g2P", QRect(700, 375, 20, 20), qRgb(204, 204, 204)},
        {"cut at the page's edge", "\x1b*p2350X\x1b*c300a10b0P", QRect(4800, 375, 60, 20), qRgb(0, 0, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineFixture f;
        f.engine.RenderPcl5(c.text + "A");
        ASSERT_EQ(f.engine.PageCount(), 1);
        const TMetafile& page = f.engine.Pages(0);
        ASSERT_EQ(page.records().size(), 2u);
        const MetaRecord& r = page.records()[0];
        ASSERT_EQ(r.op, RecordOp::Bitmap) << "a frame record would be only an outline";
        EXPECT_EQ(QRect(r.x, r.y, r.width, r.height), c.rect);
        ASSERT_EQ(page.bitmap(r).size(), QSize(1, 1));
        EXPECT_EQ(page.bitmap(r).pixel(0, 0), c.color);
        EXPECT_EQ(page.records()[1].op, RecordOp::Text) << "the cursor stays for the text";
    }
}

TEST(RenderPcl5, TextInPiecesLaysOutAsTheWholeText)
{
    const std::string text = "\x1b"
                             "E\x1b&l1O\x1b(s1p12v4101T\x1b&dDBold\x1b&d@\r\n\x1b*t150R\x1b*r16S\x1b*r1A"
                             "\x1b*b2m3W\xff\x00\xff\x1b*b3m4W\x20\xff\x00\x00\x1b*rB\x1b*c300a20b2g2P"
                             "\x1b(s4W\x1b\x1b\x1b\x1bX\x1b&a+2R\x1b(2N\xb9\f"s +
                             numberedLines(70) + "\x1b&k2G\x1b*p+30Y\tT\x1b";
    for (std::size_t size : {1, 2, 3, 5, 7, 64}) {
        SCOPED_TRACE(size);
        EngineFixture whole;
        whole.engine.RenderPcl5(text);
        EngineFixture pieces;
        ReusedBufferSource source(text, size);
        pieces.engine.RenderPcl5(source);
        ASSERT_EQ(pieces.engine.PageCount(), whole.engine.PageCount());
        ASSERT_EQ(whole.engine.PageCount(), 3);
        for (int p = 0; p < whole.engine.PageCount(); ++p) {
            const TMetafile& a = whole.engine.Pages(p);
            const TMetafile& b = pieces.engine.Pages(p);
            ASSERT_EQ(a.records().size(), b.records().size());
            for (std::size_t r = 0; r < a.records().size(); ++r) {
                const MetaRecord& ra = a.records()[r];
                const MetaRecord& rb = b.records()[r];
                EXPECT_EQ(std::tie(ra.op, ra.x, ra.y, ra.width, ra.height),
                          std::tie(rb.op, rb.x, rb.y, rb.width, rb.height));
                if (ra.op == RecordOp::Text) {
                    EXPECT_EQ(a.bytes(ra), b.bytes(rb));
                } else if (ra.op == RecordOp::Bitmap) {
                    EXPECT_EQ(a.bitmap(ra), b.bitmap(rb));
                }
            }
        }
    }
}
