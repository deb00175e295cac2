// The two counts-only computations behind simulate_profiles and
// simulate_profiles_parallel: prepare the tree once, run the copies, pack
// their counts into the sparse profile.
#pragma once

#include <cstdint>
#include <string>

#include "engines/profiles/engine.h"
#include "engines/profiles/pool.h"
#include "model/outcome.h"
#include "model/profile_coo.h"
#include "model/species_tree.h"

namespace vornix::profiles {

// Validates the tree for this engine and builds its walk. Beyond the shared
// checks, every node must be reached after its parent: a child dated before
// its parent would be reached before its branch ever received genes.
Outcome<TreeWalk> prepare_profile_tree(const SpeciesTree& tree);

// The bytes the genomes of one call may take: a share of the machine's
// usable memory.
std::uint64_t default_genome_budget();

// One copy over the whole tree, seeded with `seed`. `interrupt` is polled
// every few thousand events (interrupted() when it asks to stop). A memory
// budget of 0 in `params` means default_genome_budget(). A founding size
// whose genomes cannot fit in it is refused before anything is allocated.
Outcome<ProfileCooBuf> run_profiles(const SpeciesTree& tree, const ProfileParams& params, std::uint64_t seed,
                                    std::uint64_t initial_size, Interrupt interrupt = {});

// max(n_copies, 1) independent copies on max(n_threads, 1) workers: copy j
// is seeded with split_seed(seed, j), takes an even share of the founding
// families (the first initial_size mod N copies one more) and the
// origination rate divided by N. The result does not depend on n_threads.
// The calling thread polls `interrupt` while it waits for the workers; when
// it asks to stop, the copies running stop within a few thousand events and
// the call returns interrupted(). The founding genomes of all copies must
// fit in the memory budget together, and the copies running at once share
// it.
Outcome<ProfileCooBuf> run_profiles_parallel(const SpeciesTree& tree, const ProfileParams& params, std::uint64_t seed,
                                             std::uint64_t initial_size, std::uint64_t n_copies,
                                             std::uint64_t n_threads, const ThreadStarter& start = {},
                                             Interrupt interrupt = {});

}  // namespace vornix::profiles
