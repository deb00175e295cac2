// The run-wide tables, written by the calling thread: Transfers.tsv,
// Gene_family_summary.tsv, and Profiles.tsv with Presence.tsv.
#pragma once

#include <span>
#include <string>

#include "model/interrupt.h"
#include "writer/log_input.h"
#include "writer/family_files.h"
#include "writer/files.h"
#include "writer/run_tables.h"
#include "writer/worker_pool.h"

namespace vornix::writer {

// The table builders poll `interrupt` as they go and stop early (with an
// incomplete result) once it has asked to stop: check interrupt.stopped().

// One line per transfer record of the run, in record order.
std::string transfers_table(const Records& records, std::span<const std::string> names, Interrupt& interrupt);

// One line per family of `groups`, with the family's summary (same order) and
// its extant counts.
std::string summary_table(const FamilyGroups& groups, std::span<const FamilySummary> summaries,
                          const ExtantTables& extant, std::span<const std::string> names, Interrupt& interrupt);

// Profiles.tsv and Presence.tsv, their lines built in chunks of 512 families
// on the pool; interrupted() when `interrupt` asks to stop between chunks.
IoStatus write_profile_tables(const ExtantTables& extant, std::span<const std::string> names,
                              const std::string& outdir, WorkerPool& pool, Interrupt& interrupt);

}  // namespace vornix::writer
