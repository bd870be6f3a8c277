#include "Journal.h"

#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

// The journal file: one line per document, "device inode size mtime-ns last-page
// finished" in decimal. Lines that do not read so are left out.

TPrintJournal::TPrintJournal(QString path)
    : m_path(std::move(path))
{
    load();
}

const TPrintJournal::Entry* TPrintJournal::find(const FileIdentity& file) const
{
    const auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry& e) { return e.file == file; });
    return it == m_entries.end() ? nullptr : &*it;
}

TPrintJournal::Entry* TPrintJournal::find(const FileIdentity& file)
{
    return const_cast<Entry*>(std::as_const(*this).find(file));
}

TPrintJournal::Entry& TPrintJournal::entry(const FileIdentity& file)
{
    if (Entry* e = find(file))
        return *e;
    if (m_entries.size() >= kCapacity)
        m_entries.erase(m_entries.begin());
    m_entries.push_back(Entry{file, 0, false});
    return m_entries.back();
}

int TPrintJournal::lastPage(const FileIdentity& file) const
{
    const Entry* e = find(file);
    return e ? e->lastPage : 0;
}

bool TPrintJournal::finished(const FileIdentity& file) const
{
    const Entry* e = find(file);
    return e && e->finished;
}

void TPrintJournal::recordBatch(const FileIdentity& file, int lastPage)
{
    Entry& e = entry(file);
    e.lastPage = std::max(e.lastPage, lastPage);
    save();
}

void TPrintJournal::recordFinished(const FileIdentity& file)
{
    entry(file).finished = true;
    save();
}

void TPrintJournal::forget(const FileIdentity& file)
{
    const auto before = m_entries.size();
    std::erase_if(m_entries, [&](const Entry& e) { return e.file == file; });
    if (m_entries.size() != before)
        save();
}

void TPrintJournal::load()
{
    if (m_path.isEmpty())
        return;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    // A journal is a few hundred short lines; anything longer is not one.
    const QByteArray text = file.read(1 << 20);
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> f = line.trimmed().split(' ');
        if (f.size() != 6)
            continue;
        bool ok[6] = {};
        Entry e;
        e.file.device = f[0].toULongLong(&ok[0]);
        e.file.inode = f[1].toULongLong(&ok[1]);
        e.file.size = f[2].toLongLong(&ok[2]);
        e.file.modifiedNs = f[3].toLongLong(&ok[3]);
        e.lastPage = f[4].toInt(&ok[4]);
        e.finished = f[5].toInt(&ok[5]) != 0;
        if (std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }) && e.file.size >= 0 &&
            e.lastPage >= 0 && !find(e.file))
            m_entries.push_back(e);
    }
    if (m_entries.size() > kCapacity)
        m_entries.erase(m_entries.begin(), m_entries.end() - kCapacity);
}

void TPrintJournal::save()
{
    if (m_path.isEmpty())
        return;
    QByteArray text;
    for (const Entry& e : m_entries) {
        text += QByteArray::number(e.file.device) + ' ' + QByteArray::number(e.file.inode) + ' ' +
                QByteArray::number(e.file.size) + ' ' + QByteArray::number(e.file.modifiedNs) + ' ' +
                QByteArray::number(e.lastPage) + ' ' + (e.finished ? '1' : '0') + '\n';
    }
    // Written whole beside the old one and renamed over it: a crash leaves either. Its
    // directory (the user's own settings directory) may not be made yet.
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QSaveFile file(m_path);
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size())
        file.commit();
}
