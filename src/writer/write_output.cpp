#include "writer/write_output.h"

#include <chrono>
#include <new>
#include <optional>
#include <vector>

#include "writer/family_files.h"
#include "writer/files.h"
#include "writer/first_failure.h"
#include "writer/run_files.h"
#include "writer/run_tables.h"

namespace vornix::writer {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point& since) {
    const auto now = Clock::now();
    const double s = std::chrono::duration<double>(now - since).count();
    since = now;
    return s;
}

// Every node the files print must have a name.
std::optional<EngineError> check_names(const Records& r, const ExtantContent& extant,
                                       std::span<const std::string> names) {
    const std::uint64_t n = names.size();
    auto unnamed = [&](std::uint64_t node) {
        return value_error("names has " + std::to_string(n) + " entries, but node " + std::to_string(node) +
                           " needs a name in the output");
    };
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (r.branch[i] >= n) return unnamed(r.branch[i]);
        for (const std::int64_t node : {r.donor[i], r.recipient[i]}) {
            if (node >= 0 && static_cast<std::uint64_t>(node) >= n) return unnamed(static_cast<std::uint64_t>(node));
        }
    }
    for (const auto& leaf : extant) {
        if (leaf.node >= n) return unnamed(leaf.node);
    }
    return std::nullopt;
}

// The per-family stage on the pool. After the first failure, or once the
// calling thread (lane 0) sees an interrupt between two of its tasks, the
// remaining tasks return at once; families already written stay written.
std::optional<EngineError> write_all_families(const FamilyInputs& in, const FamilyGroups& groups,
                                              std::vector<FamilySummary>& summaries, WorkerPool& pool,
                                              Interrupt& interrupt, WriteTimings* timings) {
    std::vector<FamilyScratch> scratch(pool.lanes());
    for (auto& s : scratch) s.timed = timings != nullptr;
    FirstFailure failures;
    pool.for_each(groups.size(), [&](std::size_t k, unsigned lane) {
        if (failures.stopped()) return;
        try {
            if (auto failed = write_family_files(in, groups, k, summaries[k], scratch[lane])) {
                failures.fail(std::move(*failed));
            }
        } catch (const std::bad_alloc&) {
            failures.fail({ErrorKind::Memory, "out of memory"});
        } catch (const std::exception& e) {
            failures.fail(runtime_error(e.what()));
        }
        // Only the calling thread may poll (it holds what the poll needs).
        if (lane == 0 && interrupt.poll_now()) failures.fail(interrupted());
    });
    if (timings != nullptr) {
        for (const auto& s : scratch) {
            timings->family_build += s.build_seconds;
            timings->family_write += s.write_seconds;
        }
    }
    return failures.take();
}

}  // namespace

Outcome<WriteCounts> write_output(const Records& records, const ExtantContent& extant,
                                  const SpeciesBranches& branches, std::span<const std::string> names,
                                  double total_age, const std::string& outdir, WorkerPool& pool,
                                  Interrupt interrupt, WriteTimings* timings) {
    if (auto unnamed = check_names(records, extant, names)) return *unnamed;
    WriteTimings local;
    WriteTimings& t = timings != nullptr ? *timings : local;
    auto lap = Clock::now();

    std::string events_dir = join_path(outdir, "gene_family_events");
    std::string trees_dir = join_path(outdir, "gene_trees");
    if (auto failed = create_dir_all(events_dir)) return *failed;
    if (auto failed = create_dir_all(trees_dir)) return *failed;
    const ExtantTables ext = build_extant_tables(extant, names);
    const FamilyGroups groups = group_by_family(records, extant);
    t.tables = seconds_since(lap);

    if (interrupt.poll_now()) return interrupted();

    const FamilyInputs family_in{names, total_age, std::move(events_dir), std::move(trees_dir), &branches};
    std::vector<FamilySummary> summaries(groups.size());
    if (auto failed = write_all_families(family_in, groups, summaries, pool, interrupt, timings)) return *failed;
    t.family_stage = seconds_since(lap);

    std::string table = transfers_table(records, names, interrupt);
    if (interrupt.stopped()) return interrupted();
    if (auto failed = write_file(join_path(outdir, "Transfers.tsv"), table)) return *failed;
    table = summary_table(groups, summaries, ext, names, interrupt);
    if (interrupt.stopped()) return interrupted();
    if (auto failed = write_file(join_path(outdir, "Gene_family_summary.tsv"), table)) return *failed;
    if (auto failed = write_profile_tables(ext, names, outdir, pool, interrupt)) return *failed;
    t.run_files = seconds_since(lap);
    return WriteCounts{groups.size(), records.size(), extant.size()};
}

}  // namespace vornix::writer
