#include "engines/profiles/run.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "engines/profiles/pack.h"
#include "model/rng.h"

namespace vornix::profiles {

namespace {

std::string node_with_time(const SpeciesTree& tree, std::uint64_t v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", tree.time[v]);
    return "node " + std::to_string(v) + " (time " + text + ")";
}

}  // namespace

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
                                    std::uint64_t initial_size) {
    Outcome<TreeWalk> walk = prepare_profile_tree(tree);
    if (!walk.ok()) return walk.error();
    Outcome<CopyCounts> copy = run_profile_copy(tree, walk.value(), params, seed, initial_size);
    if (!copy.ok()) return copy.error();
    std::vector<CopyCounts> copies;
    copies.push_back(std::move(copy.value()));
    return pack_coo(extant_leaves(tree, walk.value().order), std::move(copies));
}

Outcome<ProfileCooBuf> run_profiles_parallel(const SpeciesTree& tree, const ProfileParams& params, std::uint64_t seed,
                                             std::uint64_t initial_size, std::uint64_t n_copies,
                                             std::uint64_t n_threads, const ThreadStarter& start) {
    Outcome<TreeWalk> prepared = prepare_profile_tree(tree);
    if (!prepared.ok()) return prepared.error();
    const TreeWalk& walk = prepared.value();

    const std::uint64_t n = std::max<std::uint64_t>(n_copies, 1);
    ProfileParams share = params;
    share.origination = params.origination / static_cast<double>(n);
    const std::uint64_t base = initial_size / n, extra = initial_size % n;

    std::vector<std::optional<Outcome<CopyCounts>>> results(n);
    const IndexedTask task = [&](std::size_t j) {
        results[j] = run_profile_copy(tree, walk, share, split_seed(seed, j), base + (j < extra ? 1 : 0));
        return results[j]->ok();
    };
    // More workers than copies would only sit idle.
    const std::uint64_t threads = std::min<std::uint64_t>(std::max<std::uint64_t>(n_threads, 1), n);
    if (auto failure = parallel_map(n, threads, task, start)) return runtime_error("rayon pool: " + *failure);

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
