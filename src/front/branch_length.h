// Branch lengths of Newick text: decimal floating-point numbers in any of
// the usual notations ("1", "-0.5", ".5", "1.", "+2E-3"), read exactly as
// the nearest double (as Python's float() does).
#pragma once

#include <string_view>

namespace vornix::front {

enum class LengthStatus {
    Ok,
    NotANumber,  // not a decimal number, or text left after it
    NotFinite,   // "inf", "nan", or too large for a double
};

// Reads the whole of `token` as a number. A magnitude too small for a double
// reads as zero of the token's sign (Python's float() does the same).
LengthStatus parse_branch_length(std::string_view token, double& value);

}  // namespace vornix::front
