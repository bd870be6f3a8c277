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

TEST(SpoolFile, ReadsAFileAndNamesAMissingOne)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("X.PRN"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray("AB\r\0CDE", 7));
    f.close();
    EXPECT_EQ(readSpoolFile(path), "AB\r"s);

    // A missing file, a directory and a pipe (which would never end) are refused by name.
    const QString fifo = dir.filePath(QStringLiteral("PIPE.PRN"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& bad : {dir.filePath(QStringLiteral("MISSING.PRN")), dir.path(), fifo}) {
        SCOPED_TRACE(bad.toStdString());
        try {
            readSpoolFile(bad);
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
