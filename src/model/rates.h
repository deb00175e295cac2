// Validation of event rates: a negative, infinite or NaN rate would make a
// branch weight negative or meaningless and let the sampler pick a branch
// that holds nothing.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>

namespace vornix {

// Empty when `value` is a usable rate, else a message naming `name`.
inline std::string check_rate(const char* name, double value) {
    if (std::isfinite(value) && value >= 0.0) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return std::string(name) + " must be a finite, non-negative rate, got " + text;
}

}  // namespace vornix
