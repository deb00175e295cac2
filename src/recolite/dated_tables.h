// The dated recursion's view of the engine: for every slice with at least
// one branch, in the order the recursion visits them (latest first), the
// step constants, the coefficients taken from the extinction grid, how row 0
// is formed, and where each slice's values go at its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "recolite/dated_engine.h"

namespace vornix::recolite::dated {

// What the recursion needs of one slice with at least one branch.
struct SliceTable {
    std::size_t N = 0;
    std::uint64_t steps = 0;
    double step = 0.0;
    double nm1 = 0.0;              // N - 1
    double tn1 = 0.0;              // transfer / (N - 1)
    std::size_t grid_offset = 0;   // row 0 of this slice in a node's grid
    std::size_t sum_offset = 0;    // sum of row 0 in a node's row sums
    std::size_t row_offset = 0;    // row 0 of this slice in a node's row numbering
    // Per row j < steps and branch k (row-major): the coefficient of P[k] and
    // the weight of the mean of the other branches, from the extinction grid.
    std::vector<double> a, b;
    std::vector<std::uint32_t> branch;  // the slice's branches, by position
    // The initial vector at t_end, by the kind of branch at each position:
    // one that carries on from the later slice takes its top value; a species
    // leaf ending here starts the tip mapped to it; an internal node ending
    // here combines its children's tops.
    struct Carry {
        std::uint32_t pos, branch;
    };
    struct Ending {
        std::uint32_t pos, branch, child_l, child_r;
        double ext_l, ext_r;  // ext_top of the children
    };
    std::vector<Carry> carry;  // carried values not handed over directly
    std::vector<Ending> leaf_end, internal_end;
    // At the end of the slice: the values of branches that go on into the
    // next slice processed are copied straight into its row 0 (at, to); the
    // others are the tops, kept for the species nodes above them, the parent
    // gene node and the root term.
    struct Handoff {
        std::uint32_t at, to;
    };
    std::vector<Handoff> handoff;
    std::vector<std::uint32_t> top_positions;
    // Positions of row 0 that the previous slice processed fills directly.
    std::vector<std::uint32_t> received;
};

// The recursion's view of the engine: slices latest first, and the size of a
// node's storage (grid rows, the sums of rows 0 .. steps-1, the tops, and
// the number of rows, each of which has a scale of its own).
struct Tables {
    std::vector<SliceTable> slices;
    std::size_t grid_size = 0, sum_size = 0, top_size = 0, row_count = 0;
    double dup2 = 0.0;  // 2 * dup
    std::vector<std::uint32_t> uniform_branches;  // branches of positive length

    explicit Tables(const Engine& e);

private:
    void link_slices(std::size_t n_branches);
};

}  // namespace vornix::recolite::dated
