#include "writer/simulate_write.h"

#include <chrono>

namespace vornix::writer {

Outcome<WriteCounts> simulate_and_write(const SpeciesTree& tree, const event_log::LogParams& params,
                                        std::span<const std::string> names, double total_age,
                                        const std::string& outdir, WriteTimings* timings) {
    const auto start = std::chrono::steady_clock::now();
    auto run = event_log::run_log(tree, params, /*record_speciation=*/true);
    if (!run.ok()) return run.error();
    if (timings != nullptr) {
        timings->simulate = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const event_log::LogResult& result = run.value();
    return write_output(result.records, result.extant, names, total_age, outdir, default_pool(), timings);
}

}  // namespace vornix::writer
