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
