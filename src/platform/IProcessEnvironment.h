#pragma once

#include <QString>

// The process's own surroundings: the directory of its program file, its environment
// variables and the current directory it was started in.
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
};
