// The output directory of one simulation run: per-family event tables and
// gene trees, Transfers.tsv, Gene_family_summary.tsv, Profiles.tsv and
// Presence.tsv under `outdir`.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "writer/log_input.h"
#include "model/interrupt.h"
#include "model/outcome.h"
#include "writer/species_branches.h"
#include "writer/worker_pool.h"

namespace vornix::writer {

struct WriteCounts {
    std::uint64_t families = 0;       // distinct family numbers among the records
    std::uint64_t records = 0;        // event records of the run
    std::uint64_t extant_leaves = 0;  // species columns of the profile tables
};

// Where a call's time went (filled only when asked for, for benchmarks).
struct WriteTimings {
    double simulate = 0.0;      // the engine run (simulate_and_write only)
    double tables = 0.0;          // directories, run-wide tables
    double family_stage = 0.0;    // per-family files, wall time
    double family_build = 0.0;    // ... summed over threads: tables, trees, text
    double family_write = 0.0;    // ... summed over threads: file-system calls
    double run_files = 0.0;       // Transfers, summary and profile tables, wall time
};

// Writes the directory for the given records and extant content; `branches`
// tells where copies go at speciations and when copies left on extinct
// leaves end. Every species-tree node the files print (event branches,
// transfer donors and recipients, extant leaves) must index names; otherwise
// nothing is written and a Value error comes back. A file-system failure
// ends the call with an Os error, and `interrupt` asking to stop with
// interrupted(); files written until then stay. The calling thread polls
// `interrupt` between its own tasks and table chunks.
Outcome<WriteCounts> write_output(const Records& records, const ExtantContent& extant,
                                  const SpeciesBranches& branches, std::span<const std::string> names,
                                  double total_age, const std::string& outdir, WorkerPool& pool,
                                  Interrupt interrupt = {}, WriteTimings* timings = nullptr);

}  // namespace vornix::writer
