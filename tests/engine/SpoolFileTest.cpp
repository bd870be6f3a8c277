#include "EngineTestSupport.h"

#include "engine/SpoolFile.h"
#include "platform/Errors.h"

#include <QTemporaryDir>
#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace std::string_literals;

TEST(SpoolFile, CutsAtTheEndMarkerAndKeepsNulsAs255)
{
    struct Case
    {
        const char* name;
        std::string raw;
        std::string expected;
    };
    const Case cases[] = {
        {"text after CR NUL is ignored", "ab\r\0xyz"s, "ab\r"s},
        {"CR 255 ends the document too", "ab\r\xff\x1b"s, "ab\r"s},
        {"NUL inside the document becomes 255", "a\0b\r\n\r\0"s,
         "a\xff"
         "b\r\n\r"s},
        {"the first marker wins", "a\r\0b\r\0c"s, "a\r"s},
        {"a CR followed by another byte is no marker", "a\rb\r\n"s, "a\rb\r\n"s},
        {"without a marker the file is taken whole", "hello\r\n\x0c"s, "hello\r\n\x0c"s},
        {"a trailing CR alone is no marker", "hello\r"s, "hello\r"s},
        {"empty stays empty", ""s, ""s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cutSpoolText(c.raw), c.expected);
    }
}

TEST(SpoolFile, OpensAFileAndNamesAMissingOne)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("X.PRN"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray("AB\r\0CDE", 7));
    f.close();
    const SpoolHandle file = openSpoolFile(path);
    SpoolFileText text(file.fd(), path);
    EXPECT_EQ(text.next(), "AB\r"s);

    // Kept binary, the bytes are the file's own, NUL included, to its end, in pieces.
    {
        const SpoolHandle binary = openSpoolFile(path);
        SpoolFileText raw(binary.fd(), path, 3);
        raw.keepBinary();
        EXPECT_TRUE(raw.hasText());
        std::string all;
        for (std::string_view piece = raw.next(); !piece.empty(); piece = raw.next())
            all += piece;
        EXPECT_EQ(all, "AB\r\0CDE"s);
    }

    // A missing file, a directory and a pipe (which would never end) are refused by name.
    const QString fifo = dir.filePath(QStringLiteral("PIPE.PRN"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& bad : {dir.filePath(QStringLiteral("MISSING.PRN")), dir.path(), fifo}) {
        SCOPED_TRACE(bad.toStdString());
        try {
            openSpoolFile(bad);
            FAIL() << "must raise";
        } catch (const EFileError& e) {
            EXPECT_NE(std::string(e.what()).find(bad.toStdString()), std::string::npos) << e.what();
        }
    }
}

TEST(SpoolFile, PiecesAddUpToTheWholeCutDocument)
{
    // The marker straddles pieces of every size, NULs fall at piece ends, and a lone CR at
    // a piece's end is no marker when the next piece starts with a letter.
    const std::string raw = "ab\0cd\r\ref\r\n" + std::string(40, 'x') + "\r\0tail"s;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("X.PRN"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(raw.data(), qint64(raw.size()));
    f.close();
    for (std::size_t pieceSize : {1, 2, 3, 5, 6, 7, 64, 4096}) {
        SCOPED_TRACE(pieceSize);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        SpoolFileText text(file.handle(), path, pieceSize);
        EXPECT_TRUE(text.hasText());
        std::string whole;
        for (std::string_view piece = text.next(); !piece.empty(); piece = text.next()) {
            EXPECT_LE(piece.size(), pieceSize);
            whole.append(piece);
        }
        EXPECT_EQ(whole, cutSpoolText(raw));
        EXPECT_TRUE(text.next().empty());
    }

    QFile empty(dir.filePath(QStringLiteral("EMPTY.PRN")));
    ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    empty.close();
    ASSERT_TRUE(empty.open(QIODevice::ReadOnly));
    SpoolFileText none(empty.handle(), empty.fileName());
    EXPECT_FALSE(none.hasText());
    EXPECT_TRUE(none.next().empty());
}

TEST(SpoolFile, FileReadInPiecesLaysOutAsTheWholeText)
{
    // Files without a line end at their end; a line crossing the 1 MiB mark where the
    // spooler's pieces meet, and a command crossing the 2 MiB mark.
    std::string big = numberedLines(100000).substr(0, (1 << 20) - 3) + "crossing\r\n";
    std::string filler;
    while (filler.size() < (2 << 20) - 2 - big.size())
        filler += std::string(78, 'x') + "\r\n";
    big += filler.substr(0, (2 << 20) - 2 - big.size()) + "\x1b&l8Dtext\r\nnext\r\n";
    const std::string files[] = {"A", "Hello", big};
    QTemporaryDir dir;
    for (const std::string& content : files) {
        SCOPED_TRACE(content.substr(0, 10));
        const QString path = dir.filePath(QStringLiteral("X.PRN"));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content.data(), qint64(content.size()));
        f.close();

        EngineFixture whole;
        whole.engine.RenderText(content);
        EngineFixture pieces;
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        SpoolFileText text(file.handle(), path);
        pieces.engine.RenderText(text);
        ASSERT_EQ(pieces.engine.PageCount(), whole.engine.PageCount());
        for (int p = 0; p < whole.engine.PageCount(); ++p)
            EXPECT_EQ(textRuns(pieces.engine.Pages(p)), textRuns(whole.engine.Pages(p))) << "page " << p;
    }
}
