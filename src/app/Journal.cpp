#include "Journal.h"

#include "platform/AtomicFile.h"
#include "platform/Errors.h"

#include <QFile>

#include <algorithm>

// The journal file: one line per document, "device inode size mtime-ns last-page
// finished printer" in decimal, the printer (its name, paper and resolution)
// percent-encoded, "-" when not known; a document with a batch being sent adds
// "last-page-of-the-batch seconds title", the title percent-encoded. Lines of earlier
// versions have no printer field. Lines that do not read so are left out.

namespace {

// A journal holds a line for each document still in the spool directory: some ten
// thousand lines at most in practice, far below this.
constexpr qint64 kMaxSize = 64 * 1024 * 1024;

} // namespace

TPrintJournal::TPrintJournal(QString path)
    : m_path(std::move(path))
{
    load();
}

const TPrintJournal::Entry* TPrintJournal::find(const FileIdentity& file) const
{
    const auto it = m_entries.find(file);
    return it == m_entries.end() ? nullptr : &it->second;
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

std::optional<TPrintJournal::Sending> TPrintJournal::sending(const FileIdentity& file) const
{
    const Entry* e = find(file);
    return e ? e->sending : std::nullopt;
}

void TPrintJournal::useDevice(const FileIdentity& file, const QString& device)
{
    Entry& e = m_entries[file];
    if (!e.device.isEmpty() && e.device != device)
        e = Entry();
    e.device = device;
}

void TPrintJournal::recordSending(const FileIdentity& file, const Sending& batch)
{
    m_entries[file].sending = batch;
    save();
}

void TPrintJournal::recordBatch(const FileIdentity& file, int lastPage)
{
    Entry& e = m_entries[file];
    e.lastPage = std::max(e.lastPage, lastPage);
    e.sending.reset();
    save();
}

void TPrintJournal::recordFinished(const FileIdentity& file)
{
    Entry& e = m_entries[file];
    e.finished = true;
    e.sending.reset();
    save();
}

void TPrintJournal::dropSending(const FileIdentity& file)
{
    const auto it = m_entries.find(file);
    if (it != m_entries.end())
        it->second.sending.reset();
}

void TPrintJournal::forget(const FileIdentity& file)
{
    m_entries.erase(file);
}

void TPrintJournal::retainOnly(const std::function<bool(const FileIdentity&)>& present)
{
    std::erase_if(m_entries, [&](const auto& entry) { return !present(entry.first); });
}

void TPrintJournal::load()
{
    if (m_path.isEmpty())
        return;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray text = file.read(kMaxSize);
    for (const QByteArray& line : text.split('\n')) {
        QList<QByteArray> f = line.trimmed().split(' ');
        // The printer field, which lines of earlier versions do not have.
        QByteArray device = "-";
        if (f.size() == 7 || f.size() == 10)
            device = f.takeAt(6);
        else if (f.size() != 6 && f.size() != 9)
            continue;
        bool ok[9] = {true, true, true, true, true, true, true, true, true};
        FileIdentity id;
        Entry e;
        id.device = f[0].toULongLong(&ok[0]);
        id.inode = f[1].toULongLong(&ok[1]);
        id.size = f[2].toLongLong(&ok[2]);
        id.modifiedNs = f[3].toLongLong(&ok[3]);
        e.lastPage = f[4].toInt(&ok[4]);
        e.finished = f[5].toInt(&ok[5]) != 0;
        if (device != "-")
            e.device = QString::fromUtf8(QByteArray::fromPercentEncoding(device));
        if (f.size() == 9) {
            Sending s;
            s.lastPage = f[6].toInt(&ok[6]);
            s.since = f[7].toLongLong(&ok[7]);
            s.title = QString::fromUtf8(QByteArray::fromPercentEncoding(f[8]));
            e.sending = s;
        }
        if (std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }) && id.size >= 0 && e.lastPage >= 0)
            m_entries.emplace(id, e);
    }
}

void TPrintJournal::save()
{
    if (m_path.isEmpty())
        return;
    QByteArray text;
    text.reserve(qsizetype(m_entries.size()) * 64);
    for (const auto& [id, e] : m_entries) {
        text += QByteArray::number(id.device) + ' ' + QByteArray::number(id.inode) + ' ' + QByteArray::number(id.size) +
                ' ' + QByteArray::number(id.modifiedNs) + ' ' + QByteArray::number(e.lastPage) + ' ' +
                (e.finished ? '1' : '0') + ' ' +
                (e.device.isEmpty() ? QByteArray("-") : e.device.toUtf8().toPercentEncoding());
        if (e.sending)
            text += ' ' + QByteArray::number(e.sending->lastPage) + ' ' + QByteArray::number(e.sending->since) + ' ' +
                    e.sending->title.toUtf8().toPercentEncoding();
        text += '\n';
    }
    // Written whole beside the old one and renamed over it: a crash or a full disk leaves
    // the old one. Its directory (the user's own settings directory) may not be made yet.
    const QString reason = replaceFileAtomically(m_path, text);
    m_error = reason.isEmpty() ? QString()
                               : QStringLiteral("The print journal '%1' cannot be written: %2").arg(m_path, reason);
    if (!m_error.isEmpty())
        throw EJournalError(m_error.toStdString());
}
