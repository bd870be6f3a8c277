#pragma once

#include <QString>

// The process's own surroundings: the directory of its program file, its environment
// variables, the current directory it was started in, and the lock that only one running
// spooler holds.
class IProcessEnvironment
{
public:
    virtual ~IProcessEnvironment() = default;
    // The directory of the running program file, absolute, without a trailing slash.
    virtual QString programDirectory() const = 0;
    // The variable's value; empty when it is unset or empty.
    virtual QString environmentVariable(const QString& name) const = 0;
    // The current directory at start-up, absolute.
    virtual QString startupDirectory() const = 0;
    // Takes the spooler's lock for the rest of the process's life: false when another
    // process holds it. The lock lives in the user's runtime directory, or in
    // `fallbackDirectory` where there is none; where it cannot be made at all, the process
    // counts as holding it.
    virtual bool lockSingleInstance(const QString& fallbackDirectory) = 0;
};
