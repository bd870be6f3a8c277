#pragma once

#include <QAbstractTableModel>
#include <QDateTime>
#include <QHash>
#include <QStringList>

#include <optional>
#include <vector>

// The size and modification time a file had when it was printed: a file that still has
// them is the same document, a file that changed is a new one.
struct FileStamp
{
    qint64 size = -1;
    QDateTime modified;
    bool operator==(const FileStamp&) const = default;
};

// One line of the queue: a spool file's name (its identity, whatever the letter case)
// and its state text.
struct QueueEntry
{
    QString caption;
    QString state;
    // Set once the file was printed but could not be deleted.
    std::optional<FileStamp> printed;
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
    int find(const QString& caption) const;

    // Brings the entries in line with the names of a directory listing: entries whose
    // file is gone are removed, the others keep their order and state, new names are
    // appended with an empty state. Linear in the sizes; views repaint once.
    void merge(const QStringList& names);
    void remove(int row);
    void setState(int row, const QString& state);
    void setPrinted(int row, const std::optional<FileStamp>& stamp);

private:
    static QString key(const QString& caption) { return caption.toCaseFolded(); }
    void reindex();

    std::vector<QueueEntry> m_entries;
    QHash<QString, int> m_rows; // case-folded caption -> row
};

// The names of the spool files of a directory ("*.PRN" in any letter case), sorted by
// name: plain files only, no hidden files, links, devices or directories. A missing or
// unreadable directory has none.
QStringList listSpoolFiles(const QString& directory);

// The stamp of a file now; nothing when it is gone.
std::optional<FileStamp> fileStamp(const QString& path);
