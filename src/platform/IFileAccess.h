#pragma once

#include <QString>

// Whether a file can be had for exclusive use: it exists, can be opened for reading and
// no other process has it open (for reading or writing). A file its writer still holds
// is not complete yet. Main thread only.
class IFileAccess
{
public:
    virtual ~IFileAccess() = default;
    // Opens the file without sharing and closes it again at once; false when it is
    // missing, unreadable or open in another process.
    virtual bool openExclusive(const QString& path) = 0;
};
