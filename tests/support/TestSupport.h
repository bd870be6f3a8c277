#pragma once

#include "platform/DeviceTypes.h"

#include <QString>

#include <string>

// The 600-dpi laser printer of the layout examples: A4-like sheet 4960 x 6600 device
// pixels, hardware margins of 100 pixels.
DeviceMetrics laser600(int pageHeight = 6600, int offset = 100);

// Path of a file in tests/data.
QString testDataPath(const QString& name);

// Reads a whole file as bytes; empty when it cannot be read.
std::string readBytes(const QString& path);

// While it lives, no file this process writes can grow past `bytes`: a write beyond fails
// (EFBIG, the signal it raises ignored), as on a disk that is full.
class DiskFull
{
public:
    explicit DiskFull(long long bytes = 0);
    ~DiskFull();
    DiskFull(const DiskFull&) = delete;
    DiskFull& operator=(const DiskFull&) = delete;

private:
    long long m_limit = -1;
    void (*m_handler)(int) = nullptr;
};

// While it lives, what this process writes to standard error is kept in a pipe instead (a
// full disk does not stop it); text() gives what was written so far. Up to the pipe's
// size (64 KiB): a program's few lines, not a flood.
class CapturedStderr
{
public:
    CapturedStderr();
    ~CapturedStderr();
    CapturedStderr(const CapturedStderr&) = delete;
    CapturedStderr& operator=(const CapturedStderr&) = delete;
    std::string text();

private:
    int m_saved = -1;
    int m_pipe = -1;
    std::string m_text;
};
