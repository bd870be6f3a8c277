#pragma once

#include <QString>

// The machine-wide registry: keys below HKEY_LOCAL_MACHINE holding named, typed values.
// One key is open at a time. Key paths are written with backslashes as the registry
// names them ("\SOFTWARE\Morvane\Pagello"). Main thread only.
class IRegistry
{
public:
    virtual ~IRegistry() = default;

    // Opens the key below HKEY_LOCAL_MACHINE, creating it when missing and canCreate is
    // set; false when it can be neither opened nor created.
    virtual bool openKey(const QString& key, bool canCreate) = 0;
    virtual void closeKey() = 0;
    // Whether the open key holds a value of that name (of any type).
    virtual bool valueExists(const QString& name) const = 0;
    // A 32-bit integer value (a DWORD). ERegistryError "Invalid data type for '%s'" when
    // the value is missing or of another type.
    virtual int readInteger(const QString& name) const = 0;
    // Stores a DWORD, replacing any value of that name. ERegistryError "Failed to set
    // data for '%s'" when no key is open or the value cannot be stored.
    virtual void writeInteger(const QString& name, int value) = 0;
    // A string value (REG_SZ). ERegistryError "Invalid data type for '%s'" when the value is
    // missing or of another type.
    virtual QString readString(const QString& name) const = 0;
    // Stores a string, replacing any value of that name; fails as writeInteger does.
    virtual void writeString(const QString& name, const QString& value) = 0;
};
