#include "platform/Errors.h"
#include "tray/IconList.h"

#include <QBuffer>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// An icon list's stream property comes from a form description, outside input: whatever
// it holds, reading gives a list or an error after exactly one change, and the list read
// writes again as bytes that read back as the same list without an error.

namespace {

void read(TIconList& list, const QByteArray& bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    list.ReadData(buffer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    TIconList list;
    int changes = 0;
    list.OnChange = [&changes](TIconList&) { ++changes; };
    try {
        read(list, QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    } catch (const PagelloError&) {
    }
    if (changes != 1)
        std::abort();

    QByteArray written;
    QBuffer buffer(&written);
    buffer.open(QIODevice::WriteOnly);
    list.WriteData(buffer);
    TIconList again;
    read(again, written);
    if (again.Count() != list.Count())
        std::abort();
    for (int i = 0; i < list.Count(); ++i) {
        const TIcon* mine = list.Items(i);
        const TIcon* theirs = again.Items(i);
        if (!mine != !theirs || (mine && mine->image() != theirs->image()))
            std::abort();
    }
    return 0;
}
