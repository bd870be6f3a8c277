#include "IconList.h"
#include "platform/Errors.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

QImage filled(int side, QRgb colour)
{
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(colour);
    image.setPixel(0, 0, qRgba(1, 2, 3, 0));
    return image;
}

QByteArray le32(qint32 value)
{
    const auto little = qToLittleEndian(value);
    return QByteArray(reinterpret_cast<const char*>(&little), 4);
}

QByteArray written(const TIconList& list)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    list.WriteData(buffer);
    return bytes;
}

// A stream that cannot tell its size, as a pipe, and delivers a few bytes at a time.
class Pipe : public QIODevice
{
public:
    explicit Pipe(const QByteArray& bytes)
        : m_bytes(bytes)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 n = std::min({maxSize, qint64(7), m_bytes.size() - m_at});
        std::copy_n(m_bytes.constData() + m_at, n, data);
        m_at += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_bytes;
    qint64 m_at = 0;
};

// A list that held an entry, read from the bytes; its changes and the error it raised.
struct ReadBack
{
    TIconList list;
    int changes = 0;
    std::exception_ptr error;

    ReadBack(const QByteArray& bytes, bool sequential)
    {
        list.Add(nullptr);
        list.OnChange = [this](TIconList&) { ++changes; };
        QBuffer buffer;
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        Pipe pipe(bytes);
        try {
            list.ReadData(sequential ? static_cast<QIODevice&>(pipe) : buffer);
        } catch (const PagelloError&) {
            error = std::current_exception();
        }
    }
};

TEST(TIconListTest, StreamKeepsPicturesInOrderAndNullOrEmptyEntriesAsSizeZero)
{
    TIconList list;
    EXPECT_FALSE(list.ShouldWrite(nullptr)) << "an empty list is not written at all";
    list.AddIcon(nullptr);
    EXPECT_TRUE(list.ShouldWrite(nullptr));
    EXPECT_EQ(written(list), le32(1) + le32(0));

    const TIcon red(filled(16, qRgb(255, 0, 0)));
    const TIcon blue(filled(32, qRgb(0, 0, 255)));
    list.Add(&red);
    list.Add(nullptr); // an empty icon
    list.Add(&blue);
    EXPECT_EQ(written(list), le32(4) + le32(0) + le32(qint32(red.data().size())) + red.data() + le32(0) +
                                 le32(qint32(blue.data().size())) + blue.data());
    for (bool sequential : {false, true}) {
        const ReadBack back(written(list), sequential);
        EXPECT_FALSE(back.error) << sequential;
        EXPECT_EQ(back.changes, 1);
        ASSERT_EQ(back.list.Count(), 4);
        EXPECT_EQ(back.list.Items(0), nullptr);
        EXPECT_EQ(back.list.Items(1)->image(), red.image());
        EXPECT_EQ(back.list.Items(2), nullptr);
        EXPECT_EQ(back.list.Items(3)->image(), blue.image());
    }

    // Against an ancestor of as many entries, only entries that are other objects count.
    TIconList ancestor;
    TIconList derived;
    ancestor.AddIcon(nullptr);
    derived.AddIcon(nullptr);
    EXPECT_FALSE(derived.ShouldWrite(&ancestor));
    derived.setItems(0, nullptr); // an empty icon of its own
    EXPECT_TRUE(derived.ShouldWrite(&ancestor));
}

TEST(TIconListTest, ReadingRefusesShortOrAbsurdStreamsKeepingWhatWasRead)
{
    const QByteArray ico = TIcon(filled(16, qRgb(9, 9, 9))).data();
    const QByteArray first = le32(qint32(ico.size())) + ico;
    const struct
    {
        const char* name;
        QByteArray bytes;
        int kept;
    } cases[] = {
        {"no count", QByteArray(2, '\1'), 0},
        {"negative count", le32(-1), 0},
        {"count past the stream", le32(1000), 0},
        {"fewer entries than counted", le32(3) + first + le32(0), 2},
        {"size cut short", le32(2) + first + QByteArray(1, '\x10'), 1},
        {"bytes cut short", le32(2) + first + first.chopped(1), 1},
        {"size past the stream", le32(2) + first + le32(0x7fffffff) + ico, 1},
        {"not an icon", le32(2) + first + le32(5) + "icon?", 1},
    };
    for (const auto& c : cases) {
        for (bool sequential : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.name << (sequential ? ", sequential" : ""));
            const ReadBack back(c.bytes, sequential);
            ASSERT_TRUE(back.error);
            try {
                std::rethrow_exception(back.error);
            } catch (const EInvalidGraphic&) {
                EXPECT_STREQ(c.name, "not an icon");
            } catch (const EReadError&) {
                EXPECT_STRNE(c.name, "not an icon");
            }
            EXPECT_EQ(back.changes, 1);
            ASSERT_EQ(back.list.Count(), c.kept);
            if (c.kept > 0) {
                EXPECT_EQ(back.list.Items(0)->data(), ico);
            }
        }
    }
}

TEST(TIconListTest, AssignCopiesEveryEntryNullOnesAsEmptyIcons)
{
    const TIcon icon(filled(16, qRgb(0, 0, 255)));
    TIconList source;
    source.Add(&icon);
    source.AddIcon(nullptr);
    TIconList list;
    list.Add(nullptr);
    int changes = 0;
    list.OnChange = [&](TIconList&) { ++changes; };
    list.Assign(&source);
    EXPECT_EQ(changes, 1);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_NE(list.Items(0), source.Items(0));
    EXPECT_EQ(list.Items(0)->image(), icon.image());
    ASSERT_NE(list.Items(1), nullptr);
    EXPECT_TRUE(list.Items(1)->Empty());

    list.Assign(list.Items(0)); // one of its own entries, which the clearing frees
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Items(0)->image(), icon.image());
}

TEST(TIconListTest, ItemsWriteAppendsAtCountAndKeepsTheEntry)
{
    const TIcon red(filled(4, qRgb(255, 0, 0)));
    TIconList list;
    list.setItems(0, &red);
    TIcon* entry = list.Items(0);
    list.setItems(0, nullptr);
    EXPECT_EQ(list.Items(0), entry);
    EXPECT_TRUE(entry->Empty());

    list.AddIcon(nullptr);
    list.setItems(1, &red);
    ASSERT_NE(list.Items(1), nullptr);
    EXPECT_EQ(list.Items(1)->image(), red.image());
    int changes = 0;
    list.OnChange = [&](TIconList&) { ++changes; };
    list.Items(1)->setImage(QImage());
    EXPECT_EQ(changes, 1) << "the entry made by Items write is hooked";

    EXPECT_THROW(list.setItems(3, &red), EListError);
    EXPECT_THROW(list.Items(2), EListError);
    EXPECT_THROW(list.Items(-1), EListError);
    EXPECT_THROW(list.Insert(3, &red), EListError);
    EXPECT_EQ(list.Count(), 2);
}

TEST(TIconListTest, EntryChangesAndBatchesRaiseOnChangeOnce)
{
    TIconList list;
    list.Add(nullptr);
    list.AddIcon(std::make_unique<TIcon>());
    list.Insert(0, nullptr);
    int changes = 0;
    list.OnChange = [&](TIconList&) { ++changes; };
    for (int i = 0; i < 3; ++i)
        list.Items(i)->setImage(filled(2, qRgb(0, 0, 0))); // each hooked: by Insert, Add and AddIcon
    EXPECT_EQ(changes, 3);
    list.Delete(0);
    EXPECT_EQ(changes, 4);
    list.Clear();
    EXPECT_EQ(changes, 5);

    list.BeginUpdate();
    list.BeginUpdate();
    list.Add(nullptr);
    list.Items(0)->setImage(filled(2, qRgb(0, 0, 0)));
    list.EndUpdate();
    EXPECT_EQ(changes, 5);
    list.EndUpdate();
    EXPECT_EQ(changes, 6);
    list.BeginUpdate();
    list.EndUpdate();
    EXPECT_EQ(changes, 7) << "even when nothing changed";
}

TEST(TIconListTest, MoveAndExchangeKeepTheEntries)
{
    TIconList list;
    for (int i = 0; i < 4; ++i)
        list.Add(nullptr);
    TIcon* const entries[] = {list.Items(0), list.Items(1), list.Items(2), list.Items(3)};
    list.Move(0, 2); // 1 2 0 3
    list.Move(3, 1); // 1 3 2 0
    list.Exchange(0, 3);
    const int expected[] = {0, 3, 2, 1};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(list.IndexOf(entries[i]), expected[i]) << i;
    const TIcon other;
    EXPECT_EQ(list.IndexOf(&other), -1);
}

TEST(TIconListTest, ResourcesComeFromTheModulesIconFiles)
{
    QTemporaryDir module;
    const QImage picture = filled(16, qRgb(7, 8, 9));
    const std::pair<const char*, QByteArray> files[] = {{"tray.ico", encodeIco(picture)}, {"text.ico", "not an icon"}};
    for (const auto& [name, bytes] : files) {
        QFile file(module.filePath(QString::fromLatin1(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    const int handles = IconHandles::live();
    TIconList list;
    for (const char* name : {"missing", "text", "tray", "tray.ico"})
        list.AddResource(module.path(), QString::fromLatin1(name));
    list.InsertResource(0, module.path(), QStringLiteral("tray"));
    ASSERT_EQ(list.Count(), 5);
    const bool found[] = {true, false, false, true, true};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(list.Items(i)->image(), found[i] ? picture : QImage()) << i;
    EXPECT_EQ(IconHandles::live(), handles);
}

} // namespace
