#include "engines/profiles/run.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "engines/profiles/pack.h"
#include "model/rng.h"
#include "model/usable_memory.h"

namespace vornix::profiles {

namespace {

std::string node_with_time(const SpeciesTree& tree, std::uint64_t v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", tree.time[v]);
    return "node " + std::to_string(v) + " (time " + text + ")";
}

// The founding genome goes to every child of the root at once.
std::uint64_t founding_bytes(const TreeWalk& walk, const SpeciesTree& tree, std::uint64_t families) {
    const long double children = std::max<std::size_t>(walk.children.count(tree.root), 1);
    const long double bytes = static_cast<long double>(founding_genome_bytes(families)) * children;
    return bytes >= 0x1p64L ? UINT64_MAX : static_cast<std::uint64_t>(bytes);
}

std::optional<EngineError> refuse_founding(const SpeciesTree& tree, const TreeWalk& walk, std::uint64_t initial_size,
                                           std::uint64_t budget) {
    const std::uint64_t need = founding_bytes(walk, tree, initial_size);
    if (need <= budget) return std::nullopt;
    return EngineError{ErrorKind::Memory, "initial_size " + std::to_string(initial_size) +
                                              " does not fit in memory: its founding genomes need " +
                                              std::to_string(need) + " bytes, more than the memory budget of " +
                                              std::to_string(budget) + " bytes"};
}

}  // namespace

std::uint64_t default_genome_budget() { return usable_memory_bytes() / 2; }

Outcome<TreeWalk> prepare_profile_tree(const SpeciesTree& tree) {
    Outcome<TreeWalk> walk = prepare_tree(tree, Speciation::AllChildren);
    if (!walk.ok()) return walk;
    std::vector<std::uint8_t> reached(tree.n_nodes, 0);
    reached[tree.root] = 1;
    for (const NodeId v : walk.value().order) {
        const auto p = static_cast<std::uint64_t>(tree.parent[v]);
        if (!reached[p]) {
            return value_error("invalid species tree: " + node_with_time(tree, v) + " comes before its parent " +
                               node_with_time(tree, p) + " in time order; a child must not be dated before its parent");
        }
        reached[v] = 1;
    }
    return walk;
}

Outcome<ProfileCooBuf> run_profiles(const SpeciesTree& tree, const ProfileParams& params, std::uint64_t seed,
                                    std::uint64_t initial_size, Interrupt interrupt) {
    Outcome<TreeWalk> walk = prepare_profile_tree(tree);
    if (!walk.ok()) return walk.error();
    ProfileParams copy_params = params;
    if (copy_params.memory_budget == 0) copy_params.memory_budget = default_genome_budget();
    if (auto refused = refuse_founding(tree, walk.value(), initial_size, copy_params.memory_budget)) return *refused;
    Outcome<CopyCounts> copy = run_profile_copy(tree, walk.value(), copy_params, seed, initial_size, interrupt);
    if (!copy.ok()) return copy.error();
    std::vector<CopyCounts> copies;
    copies.push_back(std::move(copy.value()));
    return pack_coo(extant_leaves(tree, walk.value().order), std::move(copies));
}

Outcome<ProfileCooBuf> run_profiles_parallel(const SpeciesTree& tree, const ProfileParams& params, std::uint64_t seed,
                                             std::uint64_t initial_size, std::uint64_t n_copies,
                                             std::uint64_t n_threads, const ThreadStarter& start,
                                             Interrupt interrupt) {
    Outcome<TreeWalk> prepared = prepare_profile_tree(tree);
    if (!prepared.ok()) return prepared.error();
    const TreeWalk& walk = prepared.value();

    const std::uint64_t n = std::max<std::uint64_t>(n_copies, 1);
    // More workers than copies would only sit idle.
    const std::uint64_t threads = std::min<std::uint64_t>(std::max<std::uint64_t>(n_threads, 1), n);
    const std::uint64_t budget = params.memory_budget != 0 ? params.memory_budget : default_genome_budget();
    using Slot = std::optional<Outcome<CopyCounts>>;
    if (n > budget / sizeof(Slot)) {
        return EngineError{ErrorKind::Memory, "n_copies " + std::to_string(n_copies) +
                                                  " does not fit in memory: their results alone need more than the "
                                                  "memory budget of " +
                                                  std::to_string(budget) + " bytes"};
    }
    // All founding genomes are made sooner or later, and families rarely
    // leave faster than they are copied: they must fit together.
    if (auto refused = refuse_founding(tree, walk, initial_size, budget)) return *refused;

    ProfileParams share = params;
    share.origination = params.origination / static_cast<double>(n);
    share.call_origination = params.origination;
    share.memory_budget = std::max<std::uint64_t>(budget / threads, 1);
    const std::uint64_t base = initial_size / n, extra = initial_size % n;

    std::atomic<bool> cancel{false};
    std::vector<Slot> results(n);
    const IndexedTask task = [&](std::size_t j) {
        results[j] = run_profile_copy(tree, walk, share, split_seed(seed, j), base + (j < extra ? 1 : 0),
                                      Interrupt(&cancel_requested, &cancel));
        return results[j]->ok();
    };
    if (auto failure = parallel_map(n, threads, task, start, MapStop{&interrupt, &cancel})) {
        return runtime_error("rayon pool: " + *failure);
    }
    if (interrupt.stopped()) return interrupted();

    // Copies start in index order and every started copy finishes, so the
    // lowest failed copy is the same whatever the thread timing.
    for (const auto& r : results) {
        if (r && !r->ok()) return r->error();
    }
    std::vector<CopyCounts> copies;
    copies.reserve(n);
    for (auto& r : results) copies.push_back(std::move(r->value()));
    results.clear();
    return pack_coo(extant_leaves(tree, walk.order), std::move(copies));
}

}  // namespace vornix::profiles
