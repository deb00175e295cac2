// The run-wide tables, written by the calling thread: Transfers.tsv,
// Gene_family_summary.tsv, and Profiles.tsv with Presence.tsv.
#pragma once

#include <span>
#include <string>

#include "writer/log_input.h"
#include "writer/family_files.h"
#include "writer/files.h"
#include "writer/run_tables.h"
#include "writer/worker_pool.h"

namespace vornix::writer {

// One line per transfer record of the run, in record order.
std::string transfers_table(const Records& records, std::span<const std::string> names);

// One line per family of `groups`, with the family's summary (same order) and
// its extant counts.
std::string summary_table(const FamilyGroups& groups, std::span<const FamilySummary> summaries,
                          const ExtantTables& extant, std::span<const std::string> names);

// Profiles.tsv and Presence.tsv, their lines built in chunks of 512 families
// on the pool.
IoStatus write_profile_tables(const ExtantTables& extant, std::span<const std::string> names,
                              const std::string& outdir, WorkerPool& pool);

}  // namespace vornix::writer
