#include "IconList.h"

#include "platform/Errors.h"

// Stand-in until the list's full implementation lands: enough for the tray icon.
TIconList::TIconList() = default;
TIconList::~TIconList()
{
    OnChange = nullptr;
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
    return m_list[std::size_t(index)].get();
}
void TIconList::setItems(int, const TIcon*) {}
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
int TIconList::AddResource(const QString&, const QString&)
{
    return 0;
}
void TIconList::Insert(int, const TIcon*) {}
void TIconList::InsertResource(int, const QString&, const QString&) {}
void TIconList::Delete(int index)
{
    checkIndex(index);
    if (TIcon* icon = m_list[std::size_t(index)].get())
        icon->OnChange = nullptr;
    m_list.erase(m_list.begin() + index);
    Changed();
}
void TIconList::Exchange(int, int) {}
void TIconList::Move(int, int) {}
int TIconList::IndexOf(const TIcon*) const
{
    return -1;
}
void TIconList::Clear()
{
    BeginUpdate();
    for (int i = Count() - 1; i >= 0; --i)
        Delete(i);
    EndUpdate();
}
void TIconList::BeginUpdate()
{
    ++m_updateCount;
}
void TIconList::EndUpdate()
{
    if (--m_updateCount == 0)
        Changed();
}
void TIconList::Assign(const TIconList* source)
{
    BeginUpdate();
    Clear();
    for (int i = 0; source && i < source->Count(); ++i)
        Add(source->Items(i));
    EndUpdate();
}
void TIconList::Assign(const TIcon*) {}
bool TIconList::ShouldWrite(const TIconList*) const
{
    return false;
}
void TIconList::WriteData(QIODevice&) const {}
void TIconList::ReadData(QIODevice&) {}
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
