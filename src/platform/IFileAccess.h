#pragma once

#include <QString>

// Spool files on disk: whether one can be had for exclusive use (it exists, can be opened
// for reading and no other process has it open for reading or writing; a file its writer
// still holds is not complete yet), and deleting one. Main thread only.
class IFileAccess
{
public:
    virtual ~IFileAccess() = default;
    // Opens the file without sharing and closes it again at once; false when it is
    // missing, unreadable or open in another process.
    virtual bool openExclusive(const QString& path) = 0;
    // Deletes the file; false when it could not be deleted (it may be gone already).
    virtual bool remove(const QString& path) = 0;
};
