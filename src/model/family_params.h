// Parameters shared by the gene-family simulations (event log, output writer,
// counts-only profiles), as the Python functions receive them.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

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

// True when what happens to a copy can depend on how many copies of its
// family a branch holds: a cap (not negative) or replacement (a NaN
// replacement never applies). Engines keep per-family counts only then.
inline bool family_counts_matter(std::int64_t cap, const TransferMode& mode) {
    return cap >= 0 || mode.replacement > 0.0;
}

// The event budget of every gene-family run started from Python, and the
// message of a run that exhausts it.
inline constexpr std::uint64_t kFamilyMaxEvents = 2'000'000'000;
inline constexpr const char* kFamilyEventLimitMessage =
    "exceeded max_events; families likely growing without bound \u2014 set max_family_size";

// Event rates large enough to overflow: a branch's rate (origination plus
// the per-copy rate times its copies) or the sum of all branch rates that is
// no longer finite would make every waiting time 0, so the run could never
// end. `check_rate_sum` refuses up front a per-copy rate
// (duplication + transfer) + loss that is already infinite; engines stop
// with `rate_overflow_message` when their total rate stops being finite.
inline std::string describe_family_rates(const FamilyParams& p) {
    char text[160];
    std::snprintf(text, sizeof text, "duplication %.17g, transfer %.17g, loss %.17g, origination %.17g", p.duplication,
                  p.transfer, p.loss, p.origination);
    return text;
}

inline std::string check_rate_sum(const FamilyParams& p) {
    if (std::isfinite(p.duplication + p.transfer) && std::isfinite((p.duplication + p.transfer) + p.loss)) return {};
    return "duplication + transfer + loss is not finite (" + describe_family_rates(p) +
           "): rates this large cannot be simulated";
}

inline std::string rate_overflow_message(const FamilyParams& p) {
    return "the total event rate is no longer finite (" + describe_family_rates(p) +
           "): rates this large cannot be simulated";
}

}  // namespace vornix
