// The one formatter of floating-point numbers in written files: a plain
// fixed-point decimal with about `sig` significant digits, never in exponent
// notation, without trailing zeros (times use 10 digits, branch lengths 6).
#pragma once

#include <cstdint>
#include <string>

namespace vornix::writer {

// Appends the text of x to out.
void append_fmt_g(std::string& out, double x, std::int32_t sig);

inline std::string fmt_g(double x, std::int32_t sig) {
    std::string s;
    append_fmt_g(s, x, sig);
    return s;
}

}  // namespace vornix::writer
