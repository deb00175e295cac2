// Gene trees as read from Newick (pre-order, parent links) turned into the
// batch layout of the likelihood functions (post-order, child links), and the
// rootings of each tree on every edge of its unrooted form.
//
// A tree is "rooted" when its first node has two children and "unrooted"
// when it has three; a one-node tree is a single tip. Every other node has
// zero or two children.
//
// Edges of tree t are numbered as follows. Rooted: edge 0 joins the root's
// two children (the two branches below the root become one edge of the
// unrooted tree); then, for every other non-root node v in pre-order, the
// edge above v. Unrooted: edge v-1 is the edge above node v, v = 1 .. m-1.
// A tree with L tips has 2L-3 edges (a one-tip tree has none and one
// rooting, itself). Rooting rooted tree t on edge 0 gives the tree back
// exactly, children in their original order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "model/interrupt.h"
#include "model/outcome.h"

namespace vornix::front {

// A batch of gene trees in pre-order: tree t holds nodes offsets[t] ..
// offsets[t+1]-1; parent holds local indices (-1 for the first node, the
// root, and below the node's own index otherwise); species holds each tip's
// species index (-1 for internal nodes; carried over as it is).
struct GeneForest {
    std::span<const std::int64_t> offsets;
    std::span<const std::int64_t> parent;
    std::span<const std::int64_t> species;
};

// What is wrong with a tree that cannot be rooted or scored.
struct ForestFault {
    enum class Kind { Offsets, Parent, Unary, Polytomy };
    Kind kind;
    std::uint64_t tree;
    std::int64_t node;  // local index, -1 for an offsets fault
    std::uint64_t children;
};

// The first fault in tree order, or none.
std::optional<ForestFault> check_forest(const GeneForest& forest);

// Number of rootings of tree t of a checked forest.
std::uint64_t rooting_count(const GeneForest& forest, std::uint64_t tree);

// Whether tree t of a checked forest has a trifurcation at the top.
bool is_unrooted(const GeneForest& forest, std::uint64_t tree);

// One stretch of rootings: edges [first, last) of one tree.
struct RootingRange {
    std::uint64_t tree;
    std::uint64_t first;
    std::uint64_t last;
};

// Rooted binary trees in the layout of the likelihood functions, one after
// another. origin holds, per node, the pre-order index in its source tree
// (-1 for a root placed on an edge).
struct CoreBatch {
    std::vector<std::uint64_t> offsets{0};
    std::vector<std::uint8_t> is_leaf;
    std::vector<std::int64_t> left, right, species;
    std::vector<std::int64_t> origin;
};

// The rootings of every range, in order, in post-order (left subtree first).
// A checked forest is required; an edge number out of range is a ValueError.
Outcome<CoreBatch> rootings(const GeneForest& forest, std::span<const RootingRange> ranges, bool with_origin,
                            Interrupt& interrupt);

// Trees rooted on one edge each, in pre-order: offsets into parent and
// origin (the source pre-order index of each node, -1 for the new root).
struct PreorderBatch {
    std::vector<std::int64_t> offsets{0};
    std::vector<std::int64_t> parent;
    std::vector<std::int64_t> origin;
};

Outcome<PreorderBatch> rerooted(const GeneForest& forest, std::span<const std::uint64_t> trees,
                                std::span<const std::uint64_t> edges, Interrupt& interrupt);

}  // namespace vornix::front
