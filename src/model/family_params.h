// Parameters shared by the gene-family simulations (event log, output writer,
// counts-only profiles), as the Python functions receive them.
#pragma once

#include <cstdint>

#include "model/recipient.h"

namespace vornix {

struct FamilyParams {
    double duplication = 0.0;        // per copy per unit time
    double transfer = 0.0;           // per copy per unit time
    double loss = 0.0;               // per copy per unit time
    double origination = 0.0;        // per live branch per unit time
    std::uint64_t initial_size = 0;  // founding families at the root, one copy each
    std::int64_t cap = -1;           // most copies of one family per branch; negative: no limit
    std::uint64_t seed = 0;
    TransferMode mode;
};

// The event budget of every gene-family run started from Python, and the
// message of a run that exhausts it.
inline constexpr std::uint64_t kFamilyMaxEvents = 2'000'000'000;
inline constexpr const char* kFamilyEventLimitMessage =
    "exceeded max_events; families likely growing without bound \u2014 set max_family_size";

}  // namespace vornix
