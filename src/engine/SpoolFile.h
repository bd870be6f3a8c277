#pragma once

#include <QString>

#include <string>

// A spool file as the spooler reads it. NUL bytes become byte 255; the document ends
// after the first carriage return followed by a byte 255 (a NUL or 255 in the file), and
// the bytes after that are not part of it. A file without that end marker is the
// document whole, so that nothing a program printed is dropped.
std::string cutSpoolText(std::string raw);

// Reads and cuts a spool file; EFileError naming the file when it cannot be read.
std::string readSpoolFile(const QString& path);
