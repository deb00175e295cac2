// Fixed per-branch offsets for the gene values of the undated engine.
//
// One scale per gene node fails when a node's values across the species
// branches span more than the range of doubles: with losses far faster than
// speciation, a lineage's probability falls by a large factor at every
// speciation on its way to the root, and deep trees stack hundreds of them.
// The values of branch b are therefore held times 2^offset[b], a power of two
// fixed for the whole call that undoes that fall: offset[b] is (rounded down)
// log2 of the largest product of per-step factors along any path by which a
// value at b reaches a root of the species tree, either a speciation with loss
// of the sibling (p_spec E[sibling] / denominator of the parent) or a
// transfer into another branch (p_transfer E / (recipients · denominator) of
// the receiver), each factor taken as at most 1. The offsets are therefore
// never positive, and 0 at the roots.
#pragma once

#include <cstdint>
#include <vector>

#include "model/interrupt.h"
#include "model/outcome.h"
#include "recolite/undated_engine.h"

namespace vornix::recolite::undated {

// Offsets are used only when they spread over more binades than this: below
// it, one scale per gene node keeps every value of interest in range.
inline constexpr std::int64_t kOffsetSpread = 160;

// The offsets of the engine's branches, or an empty vector when they would
// spread over no more than kOffsetSpread binades. `terms` are the engine's
// per-branch sweep terms. Polls `stop` every few thousand steps.
vornix::Outcome<std::vector<std::int64_t>> branch_offsets(const UndatedEngine& e, const BranchTerms& terms,
                                                          vornix::Interrupt& stop);

}  // namespace vornix::recolite::undated
