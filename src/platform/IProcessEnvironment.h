#pragma once

#include <QString>

#include <functional>

// The process's own surroundings: the directory of its program file, its environment
// variables, the current directory it was started in, and the locks that only one running
// spooler holds: one per user and one per spool directory. The holder of the user's lock
// also takes the window messages of later starts that cannot find its window (there is no
// X display), through a local socket beside the lock.
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
    // Takes the user's spooler lock for the rest of the process's life: false when another
    // process holds it. The lock lives in the user's runtime directory, or where there is
    // none in a private directory of the user's own; where it cannot be made at all, the
    // process counts as holding it.
    virtual bool lockSingleInstance() = 0;
    // Takes the lock of the spool directory, a hidden file in the directory itself, for the
    // rest of the process's life: false when another process holds it, also one of another
    // user or on another machine sharing the directory. Where the directory does not exist
    // or the lock file cannot be made, the process counts as holding it.
    virtual bool lockSpoolDirectory(const QString& directory) = 0;
    // Once the user's lock is held: listens beside it, for the rest of the process's life,
    // for the window messages (WM_USER + n) of later starts, each handed to `receiver` from
    // the event loop. False where the lock is not held or nothing can listen there. Main
    // thread only.
    virtual bool listenForLaterStarts(std::function<void(unsigned message)> receiver) = 0;
    // Hands the window message to the spooler that listens beside the user's lock; false
    // when none does.
    virtual bool messageRunningSpooler(unsigned message) = 0;
};
