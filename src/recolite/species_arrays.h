// The species tree as the likelihood functions receive it: flat arrays in
// post-order (children before parents), one entry per node.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vornix::recolite {

struct SpeciesArrays {
    std::vector<std::int64_t> left, right;  // children of an internal node
    std::vector<std::uint8_t> is_leaf;
    std::vector<double> time;         // time of the node, the bottom of its branch
    std::vector<double> parent_time;  // time of its parent, the top of its branch
    std::uint64_t root = 0;
};

// Why the first n nodes cannot be walked: more of them than 32-bit indices
// reach, or an internal node with a child index outside 0..n-1. Empty when
// they can. left, right and is_leaf must hold at least n entries.
std::string check_species_children(std::uint64_t n, const SpeciesArrays& sp);

}  // namespace vornix::recolite
