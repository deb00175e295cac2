#include "front/branch_length.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace vornix::front {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// For a token std::from_chars found out of range: whether its magnitude is
// above 1 (an overflow) rather than below (an underflow). Out-of-range
// magnitudes are beyond 1e308 or under 1e-323, so the position of the
// leading significant digit decides.
bool magnitude_above_one(std::string_view t) {
    std::size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
    std::int64_t integer_digits = 0;  // significant digits before the point
    std::int64_t leading_zeros = 0;   // zeros right after the point, before a significant digit
    bool significant = false;
    for (; i < t.size() && is_digit(t[i]); ++i) {
        if (t[i] != '0') significant = true;
        if (significant) ++integer_digits;
    }
    if (i < t.size() && t[i] == '.') {
        for (++i; i < t.size() && is_digit(t[i]); ++i) {
            if (t[i] != '0') significant = true;
            if (!significant) ++leading_zeros;
        }
    }
    std::int64_t exponent = 0;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        const bool negative = i < t.size() && t[i] == '-';
        if (i < t.size() && (t[i] == '-' || t[i] == '+')) ++i;
        for (; i < t.size() && is_digit(t[i]); ++i) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (t[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    const std::int64_t decimal_position = integer_digits > 0 ? integer_digits : -leading_zeros;
    return decimal_position + exponent > 0;
}

}  // namespace

LengthStatus parse_branch_length(std::string_view token, double& value) {
    std::string_view digits = token;
    // std::from_chars takes no '+'; a sign must be followed by the number itself.
    if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
    if (digits.empty() || !(is_digit(digits[0]) || digits[0] == '.' || digits[0] == '-')) {
        // "inf", "nan" and their spellings reach here only when unsigned.
        double probe;
        const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), probe);
        if (!digits.empty() && r.ec == std::errc() && r.ptr == digits.data() + digits.size()) return LengthStatus::NotFinite;
        return LengthStatus::NotANumber;
    }
    if (digits[0] == '-' && token[0] == '+') return LengthStatus::NotANumber;  // "+-1"
    const char* end = digits.data() + digits.size();
    const auto r = std::from_chars(digits.data(), end, value);
    if (r.ec == std::errc::result_out_of_range && r.ptr == end) {
        if (magnitude_above_one(digits)) return LengthStatus::NotFinite;
        value = digits[0] == '-' ? -0.0 : 0.0;
        return LengthStatus::Ok;
    }
    if (r.ec != std::errc() || r.ptr != end) return LengthStatus::NotANumber;
    if (!std::isfinite(value)) return LengthStatus::NotFinite;  // "-inf", "-nan"
    return LengthStatus::Ok;
}

}  // namespace vornix::front
