// simulate_and_write's engine entry: one full event-log run (speciation
// records included) written straight to an output directory.
#pragma once

#include <span>
#include <string>

#include "engines/event_log/run.h"
#include "writer/write_output.h"

namespace vornix::writer {

// Checks the tree and the request (check_output_request), runs the engine,
// then writes the directory on the process-wide pool. A failed check or an
// engine failure comes back before anything is written; `interrupt` can stop
// the writing between families and table chunks (files written so far
// stay). `timings`, when given, also gets the simulation time.
Outcome<WriteCounts> simulate_and_write(const SpeciesTree& tree, const event_log::LogParams& params,
                                        std::span<const std::string> names, double total_age,
                                        const std::string& outdir, Interrupt interrupt = {},
                                        WriteTimings* timings = nullptr);

}  // namespace vornix::writer
