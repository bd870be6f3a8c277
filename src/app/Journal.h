#pragma once

#include "platform/IFileAccess.h"

#include <QString>

#include <vector>

// Which pages of which spool files the printer has accepted, so that no batch is ever
// sent twice: not when a later batch fails and the file is tried again, not when the
// program was ended in the middle of a job, and not when a printed file that could not
// be deleted, or was renamed meanwhile, is met again. A document is known by its file's
// identity, so a rewritten file is a new document. Every change is written to the
// journal file at once, atomically; a journal file that cannot be read or written leaves
// the journal in memory for this run. Main thread only.
class TPrintJournal
{
public:
    // path: the journal file; empty keeps it in memory only.
    explicit TPrintJournal(QString path);

    // The last page of the document the printer has accepted; 0 when none.
    int lastPage(const FileIdentity& file) const;
    // Whether the whole document has been printed.
    bool finished(const FileIdentity& file) const;
    void recordBatch(const FileIdentity& file, int lastPage);
    void recordFinished(const FileIdentity& file);
    // The document is gone: nothing more to remember of it.
    void forget(const FileIdentity& file);

    // So many documents are remembered at most; the oldest are forgotten first.
    static constexpr std::size_t kCapacity = 256;

private:
    struct Entry
    {
        FileIdentity file;
        int lastPage = 0;
        bool finished = false;
    };
    Entry* find(const FileIdentity& file);
    const Entry* find(const FileIdentity& file) const;
    Entry& entry(const FileIdentity& file);
    void load();
    void save();

    QString m_path;
    std::vector<Entry> m_entries; // oldest first
};
