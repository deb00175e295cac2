// The per-node arithmetic of the undated scorer when branches carry offsets
// (undated_offsets.h): a node's values on branch b are its true values times
// 2^(scale + offset[b]), so every step that combines branches (the constant
// part of an internal node, the root term) reads them as Wide numbers, forms
// each sum and product in the order of the plain computation, and the result
// is placed back at a fresh scale for the sweeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "recolite/scaled.h"
#include "recolite/undated_engine.h"

namespace vornix::recolite::undated {

// A node's true value on branch b.
inline Wide node_value(const UndatedEngine& e, const double* v, std::int64_t scale, std::size_t b) {
    return Wide::of(v[b], -(scale + e.offset[b]));
}

// Room for the constant part of one node and its children's true values,
// reused from node to node.
struct WideScratch {
    std::vector<Wide> w, z, c;
};

// The constant part of an internal gene node whose children hold w (at
// w_scale) and z (at z_scale), as true values in s.c: the terms of
// internal_constant in the same order.
void wide_internal_constant(const UndatedEngine& e, const double* w, std::int64_t w_scale, const double* z,
                            std::int64_t z_scale, WideScratch& s);

// The scales a job runs at: its values on branch b are the true values times
// 2^(scale + offset[b]); its running sum and changes are kept times
// 2^sum_scale.
struct JobScales {
    std::int64_t scale = 0;
    std::int64_t sum_scale = 0;
};

// Writes the constant part c as branch values (out, n entries) at a scale
// that brings the largest to [0.5, 1), and returns the scales. The sum scale
// brings the largest true value near 1 when it is small and is never below
// 0, so that values are only ever scaled up where plain doubles would be.
JobScales place_constant(const UndatedEngine& e, const std::vector<Wide>& c, double* out);

// The root term of the gene-tree root's values v at `scale` (before the
// logarithm): the mean over every branch (uniform origination) or the value on
// the species root.
Wide wide_root_term(const UndatedEngine& e, const double* v, std::int64_t scale, std::uint8_t origination);

}  // namespace vornix::recolite::undated
