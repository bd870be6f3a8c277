#include "Queue.h"

#include <QFile>
#include <QStringDecoder>
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

int TQueueModel::find(const QByteArray& name) const
{
    return m_rows.value(key(name), -1);
}

QString TQueueModel::displayName(const QByteArray& name)
{
    return QString::fromUtf8(name);
}

QString TQueueModel::key(const QByteArray& name)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(name);
    if (!utf8.hasError())
        return text.toCaseFolded();
    // No decoded name starts with NUL: the bytes themselves, ASCII letters folded.
    return QLatin1Char('\0') + QString::fromLatin1(name.toLower());
}

void TQueueModel::reindex()
{
    m_rows.clear();
    m_rows.reserve(qsizetype(m_entries.size()));
    for (std::size_t i = 0; i < m_entries.size(); ++i)
        m_rows.insert(key(m_entries[i].name), int(i));
}

void TQueueModel::merge(const QByteArrayList& names)
{
    // Each key with the first name listed under it, and the names as they are.
    QHash<QString, QByteArray> listed;
    QSet<QByteArray> exact;
    listed.reserve(names.size());
    exact.reserve(names.size());
    for (const QByteArray& name : names) {
        const QString k = key(name);
        if (!listed.contains(k))
            listed.insert(k, name);
        exact.insert(name);
    }

    const bool removed = std::any_of(m_entries.begin(), m_entries.end(),
                                     [&](const QueueEntry& e) { return !listed.contains(key(e.name)); });
    if (removed) {
        beginResetModel();
        std::erase_if(m_entries, [&](const QueueEntry& e) { return !listed.contains(key(e.name)); });
        reindex();
    }

    // A file renamed in letter case only stays the same entry, in its place and state, under
    // its new name: the old bytes would never open again. While its own name is still
    // listed (another file differs from it only in case) an entry keeps it.
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        QueueEntry& e = m_entries[i];
        if (exact.contains(e.name))
            continue;
        e.name = listed.value(key(e.name));
        e.caption = displayName(e.name);
        if (!removed)
            emit dataChanged(index(int(i), 0), index(int(i), 0));
    }

    // Appended in one step; a name listed twice in different letter cases is one entry.
    std::vector<QueueEntry> added;
    for (const QByteArray& name : names) {
        const QString k = key(name);
        if (m_rows.contains(k))
            continue;
        m_rows.insert(k, count() + int(added.size()));
        added.push_back(QueueEntry{name, displayName(name), QString()});
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

QByteArrayList listSpoolFiles(const QString& directory)
{
    // "/" as a spool directory is the empty string; its files are "/" + name.
    const QByteArray path = QFile::encodeName(directory.isEmpty() ? QStringLiteral("/") : directory);
    DIR* dir = ::opendir(path.constData());
    if (!dir)
        return {};
    QByteArrayList names;
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
            names << QByteArray(entry->d_name, qsizetype(length));
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(),
              [](const QByteArray& a, const QByteArray& b) { return qstricmp(a.constData(), b.constData()) < 0; });
    return names;
}
