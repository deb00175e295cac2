#include "writer/simulate_write.h"

#include <chrono>

#include "writer/output_checks.h"
#include "writer/species_branches.h"

namespace vornix::writer {

Outcome<WriteCounts> simulate_and_write(const SpeciesTree& tree, const event_log::LogParams& params,
                                        std::span<const std::string> names, double total_age,
                                        const std::string& outdir, Interrupt interrupt, WriteTimings* timings) {
    if (std::string msg = check_species_tree(tree, Speciation::FirstTwo); !msg.empty()) {
        return value_error(std::move(msg));
    }
    if (names.size() < tree.n_nodes) {
        return value_error("names has " + std::to_string(names.size()) + " entries but n_nodes is " +
                           std::to_string(tree.n_nodes));
    }
    if (auto refused = check_output_request(tree, names, total_age)) return std::move(*refused);
    const auto start = std::chrono::steady_clock::now();
    auto run = event_log::run_log(tree, params, /*record_speciation=*/true, event_log::kLogMaxEvents, 0, interrupt);
    if (!run.ok()) return run.error();
    if (timings != nullptr) {
        timings->simulate = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const event_log::LogResult& result = run.value();
    return write_output(result.records, result.extant, SpeciesBranches(tree), names, total_age, outdir, default_pool(),
                        interrupt, timings);
}

}  // namespace vornix::writer
