// The gene trees of a run's families built in memory, each exactly the text
// the output writer puts in gene_trees/<f>_complete.nwk and <f>_extant.nwk.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engines/event_log/records.h"
#include "model/interrupt.h"
#include "model/outcome.h"
#include "writer/species_branches.h"
#include "writer/worker_pool.h"

namespace vornix::front {

// Family k of `families` (ascending family numbers, every family of the
// records) has its complete tree in complete[complete_start[k] ..
// complete_start[k + 1]) and its extant tree likewise; an empty range means
// the writer writes no such file. Each text ends with ";\n".
struct FamilyTreeTexts {
    std::vector<std::uint64_t> families;
    std::string complete;
    std::vector<std::uint64_t> complete_start;
    std::string extant;
    std::vector<std::uint64_t> extant_start;
};

// Builds the trees of every family of `records` on `pool`. `extant` must
// hold the copies of those families (it may hold only theirs); every species
// node a tree prints must index `names`. The calling thread polls
// `interrupt` between families.
Outcome<FamilyTreeTexts> family_tree_texts(const event_log::Records& records, const event_log::ExtantContent& extant,
                                           const writer::SpeciesBranches& branches,
                                           std::span<const std::string> names, double total_age,
                                           writer::WorkerPool& pool, Interrupt& interrupt);

}  // namespace vornix::front
