// The arithmetic of the undated engine when plain doubles do not suffice:
// the extinction values when an event probability is tiny, and the per-node
// steps when branches carry offsets (undated_offsets.h). A node's values on
// branch b are its true values times 2^(scale + offset[b]) in the frame of
// offsets it was computed in, so every step that combines branches (the
// constant part of an internal node, the root term) reads them as Wide
// numbers, forms each sum and product in the order of the plain computation,
// and the result is placed back at a fresh scale for the sweeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/interrupt.h"
#include "model/outcome.h"
#include "recolite/scaled.h"
#include "recolite/undated_engine.h"

namespace vornix::recolite::undated {

// True when one of the event probabilities falls below 2^-960, so that
// plain doubles would lose it or its products.
bool tiny_probabilities(const UndatedEngine& e);

// The extinction fixed point of the engine in Wide numbers, with the same
// sweeps, order of operations and stopping rule as the plain one. Polls
// `stop` per sweep.
vornix::Outcome<std::vector<Wide>> wide_extinction(const UndatedEngine& e, vornix::Interrupt& stop);

// branch_terms formed from ext_wide and the Wide probabilities.
BranchTerms wide_branch_terms(const UndatedEngine& e);

using Frame = std::vector<std::int64_t>;

// A node's true value on branch b, from its values in `frame`.
inline Wide node_value(const Frame& frame, const double* v, std::int64_t scale, std::size_t b) {
    return Wide::of(v[b], -(scale + frame[b]));
}

// Room for the constant part of one node and its children's true values,
// reused from node to node.
struct WideScratch {
    std::vector<Wide> w, z, c;
};

// The children of an internal gene node: their values in a frame, at their
// scales, and in reldated mode their means over each branch's recipients as
// RecipientGroups forms them in that frame (at 2^(scale + frame[b] -
// shift[b]) on branch b).
struct Children {
    const Frame& frame;
    const double *w, *z;
    std::int64_t w_scale, z_scale;
    const double *w_means = nullptr, *z_means = nullptr;
    const std::vector<std::int64_t>* shift = nullptr;
};

// The constant part of an internal gene node, as true values in s.c: the
// terms of internal_constant in the same order.
void wide_internal_constant(const UndatedEngine& e, const Children& children, WideScratch& s);

// The scales a job runs at: its values on branch b are the true values times
// 2^(scale + offset[b]); its running sum and changes are kept times
// 2^sum_scale.
struct JobScales {
    std::int64_t scale = 0;
    std::int64_t sum_scale = 0;
};

// Writes the constant part c as branch values in `frame` (out, n entries) at
// a scale that brings the largest to [0.5, 1), and returns the scales. The
// sum scale brings the largest true value near 1 when it is small and is
// never below 0, so that values are only ever scaled up where plain doubles
// would be.
JobScales place_constant(const Frame& frame, const std::vector<Wide>& c, double* out);

// The root term of the gene-tree root's values v at `scale` in `frame`
// (before the logarithm): the mean over every branch (uniform origination) or
// the value on the species root.
Wide wide_root_term(const UndatedEngine& e, const Frame& frame, const double* v, std::int64_t scale,
                    std::uint8_t origination);

}  // namespace vornix::recolite::undated
