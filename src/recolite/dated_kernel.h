// The dated recursion for a few gene nodes at once. Several gene nodes (from
// different trees) are carried back through the slices in lockstep: each
// node's values follow exactly the operations of a lone computation, but the
// running sums of independent nodes interleave instead of waiting on one
// another.
#pragma once

#include <cstdint>
#include <memory>

#include "recolite/dated_tables.h"
#include "recolite/scaled.h"

namespace vornix::recolite::dated {

// Gene nodes computed together.
inline constexpr int kLanes = 4;

// One gene node's storage: its grid (rows of every slice), the sums of the
// rows a step reads, and its top values; with the scale of each slice's rows
// and of each top value (values are the true ones times 2^scale). A node's
// values can span far more than the range of one double across slices (a
// large subtree is nearly impossible near the present and likely further
// back), so each slice carries its own scale.
struct NodeBuffer {
    std::unique_ptr<double[]> values;
    std::unique_ptr<std::int64_t[]> scales;
};

struct NodeView {
    double* grid = nullptr;
    double* sums = nullptr;
    double* top = nullptr;
    std::int64_t* slice_scale = nullptr;  // by slice, in processing order
    std::int64_t* top_scale = nullptr;    // by branch
};

// One gene node being computed.
struct Lane {
    NodeBuffer* buffer = nullptr;  // where out lives
    NodeView out;
    NodeView w, z;              // the children of an internal node
    bool children_uniform = true;
    std::int64_t species = -1;  // tips: the species leaf, -1 for none
    std::int64_t scale = 0;     // of the rows of the current slice
    bool uniform = true;        // no rescaling so far: one scale throughout
    Pow2Factor birth_factor;    // 2^(scale - scales of the children's rows)
};

// Computes count (1 .. kLanes) gene nodes completely, internal nodes from
// their children's values or tips from their species.
void run_lanes(const Tables& tables, Lane* lanes, int count, bool internal);

}  // namespace vornix::recolite::dated
