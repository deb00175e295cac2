// The dated species tree as the simulation functions receive it, and the
// structures every engine derives from it: children lists and node order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "model/outcome.h"

namespace vornix {

using NodeId = std::uint32_t;
inline constexpr NodeId kNoNode = UINT32_MAX;

struct SpeciesTree {
    std::uint64_t n_nodes = 0;
    std::vector<std::int64_t> parent;   // negative: no parent
    std::vector<double> time;           // forward time, root earliest
    std::vector<std::uint8_t> extant_leaf;
    std::uint64_t root = 0;
};

// Children lists in compressed form: the children of p, in increasing node
// number, are list[start[p] .. start[p + 1]).
struct Children {
    std::vector<std::uint32_t> start;
    std::vector<NodeId> list;

    std::span<const NodeId> of(std::size_t p) const {
        return {list.data() + start[p], list.data() + start[p + 1]};
    }
    std::size_t count(std::size_t p) const { return start[p + 1] - start[p]; }
};

// How many children a speciation hands genes to.
enum class Speciation {
    FirstTwo,     // the event-log engine: exactly the first two children
    AllChildren,  // the profile and nucleotide engines: every child
};

Children build_children(std::uint64_t n_nodes, std::span<const std::int64_t> parent);

// Non-root nodes (parent >= 0) stably sorted by ascending time, so that equal
// times keep ascending node number. Times must be finite.
std::vector<NodeId> build_node_order(std::uint64_t n_nodes, std::span<const std::int64_t> parent,
                                     std::span<const double> time);

// Checks up front everything that would otherwise break an engine mid-run:
// array lengths, index ranges, finite times, parent cycles, nodes that would
// be reached without their branch ever being populated, and (for FirstTwo)
// speciating nodes without exactly two children. Returns an empty string when
// the tree is usable, else a message naming the node and the problem.
std::string check_species_tree(const SpeciesTree& tree, Speciation mode);

// The derived structures an engine walks, built after a successful check.
struct TreeWalk {
    Children children;
    std::vector<NodeId> order;
};

// Validates the tree and builds its walk; a malformed tree gives a Value error.
Outcome<TreeWalk> prepare_tree(const SpeciesTree& tree, Speciation mode);

}  // namespace vornix
