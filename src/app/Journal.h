#pragma once

#include "platform/IFileAccess.h"

#include <QString>

#include <functional>
#include <optional>
#include <unordered_map>

// Which pages of which spool files the printer has accepted, so that no batch is ever
// sent twice: not when a later batch fails and the file is tried again, not when the
// program was ended in the middle of a job, and not when a printed file that could not
// be deleted, or was renamed meanwhile, is met again. A document is known by its file's
// identity, so a rewritten file is a new document.
//
// A batch is noted as being sent before its job is created, and as accepted once the
// printer took it: a program ended between the two finds the note at its next start and
// asks the printer whether the job came through. Every note is written to the journal file
// at once, whole (it is a few lines per document still in the spool directory); a note
// that cannot be written raises EJournalError and stays in memory, and the journal tells
// why until a later write succeeds. A journal file that cannot be read starts the journal
// afresh. Main thread only.
class TPrintJournal
{
public:
    // path: the journal file; empty keeps it in memory only.
    explicit TPrintJournal(QString path);

    // The last page of the document the printer has accepted; 0 when none.
    int lastPage(const FileIdentity& file) const;
    // Whether the whole document has been printed.
    bool finished(const FileIdentity& file) const;

    // A batch noted as being sent whose acceptance was never noted.
    struct Sending
    {
        int lastPage = 0;
        qint64 since = 0; // when it was noted, in seconds since the epoch
        QString title;    // the title of its job
    };
    std::optional<Sending> sending(const FileIdentity& file) const;

    // The document is about to be sent to `device` (the printer, its paper and resolution).
    // Pages noted for another device are other pages: what was noted of the document goes,
    // so it is printed whole again (a page printed twice is better than one lost). Notes
    // that name no device (made by an earlier version) are kept and take this one. Written
    // with the next note.
    void useDevice(const FileIdentity& file, const QString& device);

    // Each of these raises EJournalError when the journal file cannot be written; what
    // it notes is kept in memory all the same.
    void recordSending(const FileIdentity& file, const Sending& batch);
    // The printer accepted the pages up to lastPage; a note of their sending is done with.
    void recordBatch(const FileIdentity& file, int lastPage);
    void recordFinished(const FileIdentity& file);
    // The note of a batch being sent is dropped: the printer did not take it.
    void dropSending(const FileIdentity& file);

    // The document is gone: nothing more to remember of it. Written with the next note.
    void forget(const FileIdentity& file);
    // Forgets every document whose file is not one of those still present. Written with
    // the next note.
    void retainOnly(const std::function<bool(const FileIdentity&)>& present);
    std::size_t size() const { return m_entries.size(); }

    // What kept the journal file from being written the last time; empty when it was.
    QString error() const { return m_error; }

private:
    struct Entry
    {
        int lastPage = 0;
        bool finished = false;
        QString device; // empty: not known
        std::optional<Sending> sending;
    };
    const Entry* find(const FileIdentity& file) const;
    void load();
    void save();

    QString m_path;
    std::unordered_map<FileIdentity, Entry, FileIdentityHash> m_entries;
    QString m_error;
};
