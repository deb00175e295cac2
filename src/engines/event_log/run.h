// Entry point of the event-log engine: one complete simulation of gene
// families (origination, duplication, transfer, loss, speciation) along a
// dated species tree, returning the event log and the gene content of every
// extant leaf. Used by simulate_log, simulate_trace and simulate_and_write.
#pragma once

#include <cstdint>

#include "engines/event_log/records.h"
#include "model/family_params.h"
#include "model/interrupt.h"
#include "model/outcome.h"
#include "model/recipient.h"
#include "model/species_tree.h"

namespace vornix::event_log {

// The run's parameters besides the species tree.
using LogParams = FamilyParams;

struct LogResult {
    Records records;
    ExtantContent extant;  // one entry per extant leaf, in node order
    std::uint64_t events = 0;  // event draws taken, rejected ones included
};

// The event budget of every run started from Python.
inline constexpr std::uint64_t kLogMaxEvents = kFamilyMaxEvents;
inline constexpr const char* kLogEventLimitMessage = kFamilyEventLimitMessage;

// Runs the engine. `record_speciation` true gives the full log (speciations
// re-mint gene ids and emit S records); false gives the compact trace
// (speciations copy ids unchanged into both children and emit nothing).
//
// Fails with a Value error for a malformed tree or rate, or rates so large
// that the total event rate stops being finite; with a Runtime error when
// the run draws more than `max_events` events; with a Memory error when its
// records and gene copies outgrow `memory_budget` bytes (0: a share of the
// machine's usable memory, leaving room for the Python result), when
// `initial_size` alone cannot fit, or when an allocation fails; with
// interrupted() when `interrupt` asks to stop (it is polled every few
// thousand events). No partial result is returned.
Outcome<LogResult> run_log(const SpeciesTree& tree, const LogParams& params, bool record_speciation,
                           std::uint64_t max_events = kLogMaxEvents, std::uint64_t memory_budget = 0,
                           Interrupt interrupt = {});

}  // namespace vornix::event_log
