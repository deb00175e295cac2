// The branches live at the engine's current time, in the order the engines
// keep them: a branch is appended when it starts, and one that ends takes the
// last branch into its place. That order is behaviour: the recipient choice
// draws an index into it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "model/species_tree.h"

namespace vornix {

class LiveBranches {
public:
    explicit LiveBranches(std::size_t n_nodes) : position_(n_nodes, kNoNode) { list_.reserve(n_nodes); }

    void add(NodeId v) {
        position_[v] = static_cast<NodeId>(list_.size());
        list_.push_back(v);
    }

    // v must be live.
    void remove(NodeId v) {
        const NodeId k = position_[v];
        const NodeId last = list_.back();
        list_[k] = last;
        position_[last] = k;
        list_.pop_back();
        position_[v] = kNoNode;
    }

    bool contains(NodeId v) const { return position_[v] != kNoNode; }
    std::span<const NodeId> list() const { return list_; }
    // position()[v]: v's index in list(), kNoNode when v is not live.
    std::span<const NodeId> position() const { return position_; }

private:
    std::vector<NodeId> list_;
    std::vector<NodeId> position_;
};

}  // namespace vornix
