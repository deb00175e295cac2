// Assembling the sparse profile of one or more engine copies.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engines/profiles/engine.h"
#include "model/profile_coo.h"
#include "model/species_tree.h"

namespace vornix::profiles {

// The extant leaves in node order: position k is leaf ordinal k.
std::vector<std::uint32_t> extant_leaves(const SpeciesTree& tree, std::span<const NodeId> order);

// Puts the copies side by side, in list order: each copy's family numbers
// are shifted by the family counts of the copies before it, so families of
// different copies never share a number.
ProfileCooBuf pack_coo(std::vector<std::uint32_t> leaves, std::vector<CopyCounts> copies);

}  // namespace vornix::profiles
