#include "writer/species_branches.h"

namespace vornix::writer {

SpeciesBranches::SpeciesBranches(const SpeciesTree& tree)
    : n_(tree.n_nodes),
      kids_(2 * tree.n_nodes, kNoNode),
      extinct_end_(tree.n_nodes, std::numeric_limits<double>::quiet_NaN()) {
    std::vector<std::uint8_t> has_child(n_, 0);
    for (std::uint64_t v = 0; v < n_; ++v) {
        const std::int64_t p = tree.parent[v];
        if (p < 0 || static_cast<std::uint64_t>(p) >= n_) continue;
        has_child[p] = 1;
        NodeId* slots = &kids_[2 * static_cast<std::uint64_t>(p)];
        if (slots[0] == kNoNode) {
            slots[0] = static_cast<NodeId>(v);
        } else if (slots[1] == kNoNode) {
            slots[1] = static_cast<NodeId>(v);
        }
    }
    for (std::uint64_t v = 0; v < n_; ++v) {
        if (v != tree.root && tree.parent[v] >= 0 && !has_child[v] && !tree.extant_leaf[v]) {
            extinct_end_[v] = tree.time[v];
        }
    }
}

}  // namespace vornix::writer
