#pragma once

#include <QAbstractTableModel>
#include <QByteArrayList>
#include <QHash>
#include <QStringList>

#include <vector>

// One line of the queue: a spool file's name (its identity, whatever the letter case)
// and its state text. The name is kept as the bytes the directory gave, so that the file
// can be opened and deleted whatever they are; the caption shows them as text.
struct QueueEntry
{
    QByteArray name;
    QString caption;
    QString state;
};

// The print queue as the list view shows it: column 0 the file name, column 1 the state.
// Entries keep the order in which they were first listed. Main thread only.
class TQueueModel : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    int count() const { return int(m_entries.size()); }
    const QueueEntry& entry(int row) const { return m_entries.at(std::size_t(row)); }
    // The row of the entry with that name in any letter case, or -1.
    int find(const QByteArray& name) const;

    // Brings the entries in line with the names of a directory listing: entries whose
    // file is gone are removed, the others keep their order and state (a file renamed in
    // letter case only under its new name), new names are appended with an empty state.
    // Linear in the sizes; views repaint once.
    void merge(const QByteArrayList& names);
    void remove(int row);
    void setState(int row, const QString& state);

    // A file name as text: bytes that are not UTF-8 show as replacement characters.
    static QString displayName(const QByteArray& name);

private:
    // Names that differ only in letter case are one entry. A name that is not valid text
    // is compared by its bytes, so that two such names never fall together.
    static QString key(const QByteArray& name);
    void reindex();

    std::vector<QueueEntry> m_entries;
    QHash<QString, int> m_rows; // case-folded caption -> row
};

// The names of the spool files of a directory ("*.PRN" in any letter case), sorted by
// name: plain files only, no hidden files, links, devices or directories. A missing or
// unreadable directory has none.
QByteArrayList listSpoolFiles(const QString& directory);
