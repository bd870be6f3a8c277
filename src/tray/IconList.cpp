#include "IconList.h"

#include "platform/Errors.h"

#include <QByteArray>
#include <QIODevice>
#include <QtEndian>

#include <algorithm>
#include <limits>

namespace {

// Runs the work in a batch of the list, closed also when the work raises. Not a scope
// guard: closing the batch raises OnChange, whose handler may raise in turn, and a
// destructor must not.
template <typename Work> void inBatch(TIconList& list, Work&& work)
{
    list.BeginUpdate();
    try {
        work();
    } catch (...) {
        list.EndUpdate();
        throw;
    }
    list.EndUpdate();
}

// A new icon with the picture LoadIcon finds: an empty icon when there is none.
std::unique_ptr<TIcon> loadIcon(const QString& module, const QString& name)
{
    auto icon = std::make_unique<TIcon>();
    const IconHandle handle = LoadIcon(module, name);
    icon->setHandle(handle);
    IconHandles::release(handle);
    return icon;
}

// Bytes the stream holds after its position, when it knows (-1 for a sequential stream).
qint64 remaining(const QIODevice& stream)
{
    return stream.isSequential() ? -1 : stream.bytesAvailable();
}

// Exactly size bytes of the stream. The bytes are gathered as they come, so that a size
// read from the stream itself never allocates more than the stream delivers.
QByteArray readExactly(QIODevice& stream, qint64 size)
{
    constexpr qint64 kChunk = 64 * 1024;
    const qint64 known = remaining(stream);
    if (known >= 0 && size > known)
        throw EReadError();
    QByteArray bytes;
    while (bytes.size() < size) {
        const QByteArray chunk = stream.read(std::min(kChunk, size - bytes.size()));
        if (chunk.isEmpty())
            throw EReadError();
        bytes += chunk;
    }
    return bytes;
}

qint32 readInt(QIODevice& stream)
{
    return qFromLittleEndian<qint32>(readExactly(stream, sizeof(qint32)).constData());
}

void writeBytes(QIODevice& stream, const QByteArray& bytes)
{
    if (stream.write(bytes) != bytes.size())
        throw EWriteError();
}

// Sizes are 32-bit in the stream: an icon beyond that cannot be written.
void writeInt(QIODevice& stream, qint64 value)
{
    if (value > std::numeric_limits<qint32>::max())
        throw EWriteError();
    const auto le = qToLittleEndian(qint32(value));
    writeBytes(stream, QByteArray(reinterpret_cast<const char*>(&le), sizeof le));
}

} // namespace

TIconList::TIconList() = default;

TIconList::~TIconList()
{
    OnChange = nullptr;
    Clear();
}

int TIconList::Count() const
{
    return static_cast<int>(m_list.size());
}

void TIconList::checkIndex(int index) const
{
    if (index < 0 || index >= Count())
        throw EListError(index);
}

TIcon* TIconList::Items(int index) const
{
    checkIndex(index);
    return m_list[index].get();
}

void TIconList::setItems(int index, const TIcon* icon)
{
    inBatch(*this, [&] {
        if (index == Count())
            Add(nullptr);
        checkIndex(index);
        auto& entry = m_list[index];
        if (!entry)
            entry = std::make_unique<TIcon>();
        hook(entry.get());
        entry->Assign(icon);
    });
}

int TIconList::Add(const TIcon* icon)
{
    auto entry = std::make_unique<TIcon>();
    entry->Assign(icon);
    return AddIcon(std::move(entry));
}

int TIconList::AddIcon(std::unique_ptr<TIcon> icon)
{
    hook(icon.get());
    m_list.push_back(std::move(icon));
    Changed();
    return Count() - 1;
}

int TIconList::AddResource(const QString& module, const QString& name)
{
    return AddIcon(loadIcon(module, name));
}

void TIconList::Insert(int index, const TIcon* icon)
{
    if (index < 0 || index > Count())
        throw EListError(index);
    auto entry = std::make_unique<TIcon>();
    entry->Assign(icon);
    hook(entry.get());
    m_list.insert(m_list.begin() + index, std::move(entry));
    Changed();
}

void TIconList::InsertResource(int index, const QString& module, const QString& name)
{
    Insert(index, loadIcon(module, name).get());
}

void TIconList::Delete(int index)
{
    checkIndex(index);
    if (TIcon* entry = m_list[index].get())
        entry->OnChange = nullptr;
    m_list.erase(m_list.begin() + index);
    Changed();
}

void TIconList::Exchange(int index1, int index2)
{
    checkIndex(index1);
    checkIndex(index2);
    std::swap(m_list[index1], m_list[index2]);
    Changed();
}

void TIconList::Move(int currentIndex, int newIndex)
{
    checkIndex(currentIndex);
    checkIndex(newIndex);
    const auto first = m_list.begin();
    if (currentIndex < newIndex)
        std::rotate(first + currentIndex, first + currentIndex + 1, first + newIndex + 1);
    else
        std::rotate(first + newIndex, first + currentIndex, first + currentIndex + 1);
    Changed();
}

int TIconList::IndexOf(const TIcon* icon) const
{
    const auto it =
        std::find_if(m_list.begin(), m_list.end(), [icon](const auto& entry) { return entry.get() == icon; });
    return it == m_list.end() ? -1 : static_cast<int>(it - m_list.begin());
}

void TIconList::Clear()
{
    inBatch(*this, [this] {
        for (int i = Count() - 1; i >= 0; --i)
            Delete(i);
    });
}

void TIconList::BeginUpdate()
{
    ++m_updateCount;
}

void TIconList::EndUpdate()
{
    --m_updateCount;
    if (m_updateCount == 0)
        Changed();
}

void TIconList::Changed()
{
    if (m_updateCount == 0 && OnChange)
        OnChange(*this);
}

void TIconList::ItemChanged()
{
    Changed();
}

void TIconList::hook(TIcon* icon)
{
    if (icon)
        icon->OnChange = [this] { ItemChanged(); };
}

void TIconList::Assign(const TIconList* source)
{
    if (!source) {
        Clear();
        return;
    }
    if (source == this)
        return;
    inBatch(*this, [&] {
        Clear();
        for (const auto& entry : source->m_list)
            Add(entry.get());
    });
}

void TIconList::Assign(const TIcon* source)
{
    if (!source) {
        Clear();
        return;
    }
    // The icon may be an entry of this very list, which Clear frees: copy it first.
    auto copy = std::make_unique<TIcon>();
    copy->Assign(source);
    inBatch(*this, [&] {
        Clear();
        AddIcon(std::move(copy));
    });
}

bool TIconList::ShouldWrite(const TIconList* ancestor) const
{
    if (ancestor && ancestor->Count() == Count() && Count() > 0) {
        return !std::equal(m_list.begin(), m_list.end(), ancestor->m_list.begin(),
                           [](const auto& mine, const auto& theirs) { return mine.get() == theirs.get(); });
    }
    return Count() > 0;
}

void TIconList::WriteData(QIODevice& stream) const
{
    writeInt(stream, Count());
    for (const auto& entry : m_list) {
        // Null and empty entries alike have no bytes.
        const QByteArray bytes = entry ? entry->data() : QByteArray();
        writeInt(stream, bytes.size());
        writeBytes(stream, bytes);
    }
}

void TIconList::ReadData(QIODevice& stream)
{
    inBatch(*this, [&] {
        Clear();
        const qint32 count = readInt(stream);
        // Every entry takes at least its size.
        const qint64 known = remaining(stream);
        if (count < 0 || (known >= 0 && count > known / qint64(sizeof(qint32))))
            throw EReadError();
        for (qint32 i = 0; i < count; ++i) {
            const qint32 size = readInt(stream);
            if (size <= 0) {
                AddIcon(nullptr);
                continue;
            }
            auto icon = std::make_unique<TIcon>();
            icon->LoadFromData(readExactly(stream, size));
            AddIcon(std::move(icon));
        }
    });
}
