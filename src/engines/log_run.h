// Entry point of the event-log engine: one complete simulation of gene
// families (origination, duplication, transfer, loss, speciation) along a
// dated species tree, returning the event log and the gene content of every
// extant leaf. Used by simulate_log, simulate_trace and simulate_and_write.
#pragma once

#include <cstdint>

#include "engines/log_records.h"
#include "model/outcome.h"
#include "model/recipient.h"
#include "model/species_tree.h"

namespace vornix {

// The run's parameters besides the species tree, as the Python functions
// receive them.
struct LogParams {
    double duplication = 0.0;  // per copy per unit time
    double transfer = 0.0;     // per copy per unit time
    double loss = 0.0;         // per copy per unit time
    double origination = 0.0;  // per live branch per unit time
    std::uint64_t initial_size = 0;  // founding families at the root, one copy each
    std::int64_t cap = -1;           // most copies of one family per branch; negative: no limit
    std::uint64_t seed = 0;
    TransferMode mode;
};

struct LogResult {
    Records records;
    ExtantContent extant;  // one entry per extant leaf, in node order
    std::uint64_t events = 0;  // event draws taken, rejected ones included
};

// The event budget of every run started from Python.
inline constexpr std::uint64_t kLogMaxEvents = 2'000'000'000;

inline constexpr const char* kLogEventLimitMessage =
    "exceeded max_events; families likely growing without bound — set max_family_size";

// Runs the engine. `record_speciation` true gives the full log (speciations
// re-mint gene ids and emit S records); false gives the compact trace
// (speciations copy ids unchanged into both children and emit nothing).
//
// Fails with a Value error for a malformed tree or rate; with a Runtime
// error when the run draws more than `max_events` events; with a Memory error
// when its records and gene copies outgrow `memory_budget` bytes (0: a share
// of the machine's physical memory, leaving room for the Python result), when
// `initial_size` alone cannot fit, or when an allocation fails. No partial
// result is returned.
Outcome<LogResult> run_log(const SpeciesTree& tree, const LogParams& params, bool record_speciation,
                           std::uint64_t max_events = kLogMaxEvents, std::uint64_t memory_budget = 0);

}  // namespace vornix
