#pragma once

// The printer language the bytes of a document are read in. The command table is the
// default; a stored setting outside these values means the command table.
enum class TEmulation
{
    CommandTable = 0,
    EscP2 = 1,
    Pcl5 = 2
};

TEmulation emulationFromSetting(long long value);
// Whether the emulation reads the file's bytes as they are: a printer language whose
// parameters and graphics are binary needs its NUL bytes, and no end mark in its data.
bool emulationReadsBinary(TEmulation emulation);
