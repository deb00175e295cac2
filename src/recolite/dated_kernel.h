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
// rows a step reads, and its top values; with the scale of every row and of
// every top value (values are the true ones times 2^scale). A node's values
// can span far more than the range of one double, across slices and within
// one long slice alike (a lineage decays by many orders of magnitude when
// the total rate times the slice length is large), so each row carries its
// own scale.
struct NodeBuffer {
    std::unique_ptr<double[]> values;
    std::unique_ptr<std::int64_t[]> scales;
};

struct NodeView {
    double* grid = nullptr;
    double* sums = nullptr;
    double* top = nullptr;
    std::int64_t* row_scale = nullptr;  // by row, in the tables' row numbering
    std::int64_t* top_scale = nullptr;  // by branch
};

// How the children's values enter the birth term of one step: each child's
// row is multiplied by its part first (w_part * z_part is 2^(node's scale -
// the children's scales)), so that the product never leaves the range of
// doubles on the way to the node's scale.
struct BirthFactor {
    double w_part = 1.0, z_part = 1.0;
    bool active = false;      // false: the parts are 1 (the scales agree)
    std::int64_t shift = 0;   // the whole power of two
    std::int64_t w_shift = 0; // the part applied to the first child
};

// One gene node being computed.
struct Lane {
    NodeBuffer* buffer = nullptr;  // where out lives
    NodeView out;
    NodeView w, z;              // the children of an internal node
    bool children_uniform = true;
    std::int64_t species = -1;  // tips: the species leaf, -1 for none
    std::int64_t scale = 0;     // of the current row
    bool uniform = true;        // no rescaling so far: one scale throughout
    BirthFactor birth;          // for the current row
};

// Computes count (1 .. kLanes) gene nodes completely, internal nodes from
// their children's values or tips from their species.
void run_lanes(const Tables& tables, Lane* lanes, int count, bool internal);

}  // namespace vornix::recolite::dated
