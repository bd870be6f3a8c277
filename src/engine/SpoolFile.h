#pragma once

#include "PrevPrinter.h"

#include "platform/IFileAccess.h"

#include <QString>

#include <optional>
#include <string>
#include <string_view>

// A spool file as the spooler reads it. NUL bytes become byte 255; the document ends
// after the first carriage return followed by a byte 255 (a NUL or 255 in the file), and
// the bytes after that are not part of it. A file without that end marker is the
// document whole, so that nothing a program printed is dropped.
std::string cutSpoolText(std::string raw);

// A spool file read piece by piece and cut as cutSpoolText cuts it, so that a long
// document is laid out without being held whole. It reads from the current position of
// a descriptor it does not own, which must stay open while it is used; `name` names the
// file in errors. EFileError naming the file when reading fails.
class SpoolFileText : public TTextSource
{
public:
    SpoolFileText(int fd, const QString& name, std::size_t pieceSize = 1 << 20);
    // From now on every piece is checked against the size and time the file had when it
    // was opened: a file rewritten since then raises EFileChanged, so a document is never
    // laid out from pieces of two writings.
    void requireUnchanged(const FileIdentity& opened) { m_opened = opened; }
    // The bytes are handed over as the file has them, NUL included, and the document is
    // the whole file: a printer language with binary parameters and graphics would be cut
    // short by the end mark. Called before the first piece is read.
    void keepBinary() { m_binary = true; }
    // Whether the document holds any byte; reads its first piece to know.
    bool hasText();
    std::string_view next() override;

private:
    void readPiece();

    int m_fd;
    QString m_name;
    std::size_t m_pieceSize;
    std::optional<FileIdentity> m_opened;
    std::string m_piece;
    bool m_peeked = false; // m_piece holds the next piece, already read
    bool m_done = false;
    bool m_endsWithReturn = false; // the last piece ended with a carriage return
    bool m_binary = false;
};

// Opens a spool file for reading, as the tools read one (with SpoolFileText, from any
// position they seek to); EFileError naming the file when it is not a regular file or
// cannot be opened.
SpoolHandle openSpoolFile(const QString& path);
