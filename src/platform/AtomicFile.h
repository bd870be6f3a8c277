#pragma once

#include <QByteArray>
#include <QString>

// Replaces the file at `path` with `bytes`, whole or not at all: they are written into a
// new file beside it, which is flushed to disk and then renamed over the name. The name
// itself is replaced: a link there is replaced by the file, never followed to the file it
// points to. On any failure (a full disk, a read-only directory, an I/O error reported
// only by the flush or the close) the old file stays as it was and the reason is
// returned; an empty string means the new file is in place. A file that exists keeps its
// permissions. Files "<name>.XXXXXX" that an earlier save left behind when it was cut
// short are removed first. Any thread, one writer per path at a time.
QString replaceFileAtomically(const QString& path, const QByteArray& bytes);
