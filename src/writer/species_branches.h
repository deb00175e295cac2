// What the gene trees need from the species tree: which species branch each
// child copy of a speciation goes to, and when a copy that stays on a branch
// to the end of its lineage ends.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "model/species_tree.h"

namespace vornix::writer {

class SpeciesBranches {
public:
    // No tree: speciations route nowhere and every remaining copy lives to
    // the end of the run (for records made by hand).
    SpeciesBranches() = default;
    explicit SpeciesBranches(const SpeciesTree& tree);

    // The branch a speciation on branch v hands its first (k = 0) or second
    // (k = 1) child copy to: v's children in increasing node number.
    NodeId child(std::uint64_t v, unsigned k) const { return v < n_ ? kids_[2 * v + k] : kNoNode; }

    // When a copy that neither splits nor is lost on branch v ends: the time
    // of v when v is an extinct leaf below the root, NaN (the copy lives to
    // the end of the run) for any other node or kNoNode.
    double lineage_end(std::uint64_t v) const {
        return v < n_ ? extinct_end_[v] : std::numeric_limits<double>::quiet_NaN();
    }

private:
    std::uint64_t n_ = 0;
    std::vector<NodeId> kids_;          // two per node
    std::vector<double> extinct_end_;  // per node
};

}  // namespace vornix::writer
