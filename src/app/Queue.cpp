#include "Queue.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

int TQueueModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : count();
}

int TQueueModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 2;
}

QVariant TQueueModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= count())
        return {};
    const QueueEntry& e = entry(index.row());
    return index.column() == 0 ? e.caption : e.state;
}

QVariant TQueueModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return {};
    return section == 0 ? QStringLiteral("název dokumentu") : QStringLiteral("stav");
}

int TQueueModel::find(const QString& caption) const
{
    return m_rows.value(key(caption), -1);
}

void TQueueModel::reindex()
{
    m_rows.clear();
    m_rows.reserve(qsizetype(m_entries.size()));
    for (std::size_t i = 0; i < m_entries.size(); ++i)
        m_rows.insert(key(m_entries[i].caption), int(i));
}

void TQueueModel::merge(const QStringList& names)
{
    QSet<QString> listed;
    listed.reserve(names.size());
    for (const QString& name : names)
        listed.insert(key(name));

    const bool removed = std::any_of(m_entries.begin(), m_entries.end(),
                                     [&](const QueueEntry& e) { return !listed.contains(key(e.caption)); });
    if (removed) {
        beginResetModel();
        std::erase_if(m_entries, [&](const QueueEntry& e) { return !listed.contains(key(e.caption)); });
        reindex();
    }

    // Appended in one step; a name listed twice in different letter cases is one entry.
    std::vector<QueueEntry> added;
    for (const QString& name : names) {
        const QString k = key(name);
        if (m_rows.contains(k))
            continue;
        m_rows.insert(k, count() + int(added.size()));
        added.push_back(QueueEntry{name, QString(), std::nullopt});
    }
    if (!added.empty() && !removed)
        beginInsertRows({}, count(), count() + int(added.size()) - 1);
    for (QueueEntry& e : added)
        m_entries.push_back(std::move(e));
    if (removed)
        endResetModel();
    else if (!added.empty())
        endInsertRows();
}

void TQueueModel::remove(int row)
{
    if (row < 0 || row >= count())
        return;
    beginRemoveRows({}, row, row);
    m_entries.erase(m_entries.begin() + row);
    reindex();
    endRemoveRows();
}

void TQueueModel::setState(int row, const QString& state)
{
    if (row < 0 || row >= count() || m_entries[std::size_t(row)].state == state)
        return;
    m_entries[std::size_t(row)].state = state;
    emit dataChanged(index(row, 1), index(row, 1));
}

void TQueueModel::setPrinted(int row, const std::optional<FileStamp>& stamp)
{
    if (row >= 0 && row < count())
        m_entries[std::size_t(row)].printed = stamp;
}

QStringList listSpoolFiles(const QString& directory)
{
    // "/" as a spool directory is the empty string; its files are "/" + name.
    const QByteArray path = QFile::encodeName(directory.isEmpty() ? QStringLiteral("/") : directory);
    DIR* dir = ::opendir(path.constData());
    if (!dir)
        return {};
    QStringList names;
    // The entry's type comes with the name on most file systems, so a directory of
    // thousands of files is listed without looking at each one.
    while (const dirent* entry = ::readdir(dir)) {
        const std::size_t length = std::strlen(entry->d_name);
        if (entry->d_name[0] == '.' || length < 4 || ::strcasecmp(entry->d_name + length - 4, ".prn") != 0)
            continue;
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info
            {
            };
            regular = ::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
        }
        if (regular)
            names << QFile::decodeName(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(),
              [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    return names;
}

std::optional<FileStamp> fileStamp(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return std::nullopt;
    return FileStamp{info.size(), info.lastModified()};
}
