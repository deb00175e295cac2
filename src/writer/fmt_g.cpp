#include "writer/fmt_g.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

namespace vornix::writer {

namespace {

// Room for the longest fixed-point text: a sign, 309 integer digits of the
// largest double, the point and 17 decimals.
constexpr std::size_t kMaxFixed = 1 + 309 + 1 + 17 + 8;

}  // namespace

void append_fmt_g(std::string& out, double x, std::int32_t sig) {
    if (x == 0.0 || !std::isfinite(x)) {
        out.push_back('0');
        return;
    }
    const auto e = static_cast<std::int32_t>(std::floor(std::log10(std::fabs(x))));
    // Widened so that no sig can overflow the subtraction.
    const std::int64_t decimals = std::clamp<std::int64_t>(std::int64_t{sig} - 1 - e, 0, 17);
    char buf[kMaxFixed];
    // Fixed-point with exactly `decimals` digits after the point, rounded from
    // the exact binary value with ties to even: the C library's "%.*f" digits.
    const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, static_cast<int>(decimals));
    std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
    if (text.find('.') != std::string_view::npos) {
        while (text.back() == '0') text.remove_suffix(1);
        if (text.back() == '.') text.remove_suffix(1);
    }
    out.append(text);
}

}  // namespace vornix::writer
