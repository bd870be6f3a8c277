#pragma once

#include <algorithm>
#include <cmath>

// Device coordinates are kept within ±2^30 pixels (some 45 km at 600 dpi), so that absurd
// input saturates instead of overflowing an int.
constexpr long long kCoordinateLimit = 1LL << 30;

inline int clampCoordinate(long long v)
{
    return static_cast<int>(std::clamp(v, -kCoordinateLimit, kCoordinateLimit));
}

// Rounds to the nearest integer, halves to even, and saturates like a coordinate, so that
// absurd margins or resolutions cannot overflow.
inline int roundToPixels(double value)
{
    if (std::isnan(value))
        return 0;
    const double r = std::nearbyint(value);
    constexpr double limit = kCoordinateLimit;
    return static_cast<int>(std::clamp(r, -limit, limit));
}
