#pragma once

#include "platform/Icon.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QIODevice;

// An owned, ordered list of icons (an entry may be null) with one change notification
// and a stream form of its own. Every non-null entry the list holds is hooked so that a
// change of its picture is a change of the list. Changes inside a batch (BeginUpdate ...
// EndUpdate) raise nothing; closing the outermost batch raises OnChange once, even when
// nothing changed. Index errors raise EListError. Main thread only.
class TIconList
{
public:
    // The name of its stream property.
    static constexpr char kStreamProperty[] = "Icons";

    TIconList();
    virtual ~TIconList();
    TIconList(const TIconList&) = delete;
    TIconList& operator=(const TIconList&) = delete;

    std::function<void(TIconList& sender)> OnChange;

    int Count() const;
    TIcon* Items(int index) const;
    // Copies the icon's picture into the entry at index (null empties it); at Count a new
    // entry is appended first, and a null entry gets a new icon. The entry stays the same
    // object.
    virtual void setItems(int index, const TIcon* icon);
    // Appends a new icon with a copy of the picture (null: an empty icon).
    virtual int Add(const TIcon* icon);
    // Appends the icon itself, which the list then owns; null appends a null entry.
    int AddIcon(std::unique_ptr<TIcon> icon);
    // Appends a new icon with the picture LoadIcon finds in the module under the name: an
    // empty icon when there is none.
    virtual int AddResource(const QString& module, const QString& name);
    virtual void Insert(int index, const TIcon* icon);
    virtual void InsertResource(int index, const QString& module, const QString& name);
    virtual void Delete(int index);
    virtual void Exchange(int index1, int index2);
    virtual void Move(int currentIndex, int newIndex);
    // The position of that very icon, -1 when it is not in the list.
    virtual int IndexOf(const TIcon* icon) const;
    virtual void Clear();
    void BeginUpdate();
    void EndUpdate();
    // Null: Clear. A list: its entries copied in order (null entries become empty icons).
    // An icon: the list becomes that one icon.
    void Assign(const TIconList* source);
    void Assign(const TIcon* source);

    // The stream property: whether it is written (against the list of an ancestor form,
    // if any, compared entry by entry by identity), and its bytes: the count, then for
    // each entry its size and the icon in .ico format (size 0 for a null or empty entry),
    // all integers 32-bit little-endian.
    bool ShouldWrite(const TIconList* ancestor) const;
    void WriteData(QIODevice& stream) const;
    // Reads what WriteData wrote, in one batch; raises EReadError on a stream that ends
    // early (or a count or size that the stream cannot hold) and EInvalidGraphic on an
    // icon that cannot be read, keeping what was read before it.
    void ReadData(QIODevice& stream);

protected:
    virtual void Changed();

private:
    void ItemChanged();
    void hook(TIcon* icon);
    void checkIndex(int index) const;

    std::vector<std::unique_ptr<TIcon>> m_list;
    int m_updateCount = 0;
};
