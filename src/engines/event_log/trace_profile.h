// The sparse copy-number profile of a run's extant leaves, as simulate_trace
// returns it.
#pragma once

#include "engines/event_log/records.h"
#include "model/profile_coo.h"

namespace vornix::event_log {

// Leaf by leaf in the order of `extant` (the leaf ordinal is the position in
// it), and within a leaf by ascending family number: one entry per family the
// leaf holds, with its number of copies. A leaf without copies only appears in
// `leaves`.
ProfileCooBuf extant_profile(const ExtantContent& extant);

}  // namespace vornix::event_log
