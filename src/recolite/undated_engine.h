// The undated and reldated engine: events are counted per species branch, not
// per unit of time. A lineage on a branch speciates, duplicates, is
// transferred or is lost with probabilities proportional to 1, dup, transfer
// and loss. In undated mode a transfer may reach any other branch; in
// reldated mode only branches whose time intervals overlap the donor's.
// Extinction and, per gene node, the likelihood over species branches are
// fixed points found by in-place sweeps.
#pragma once

#include <cstddef>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "model/interrupt.h"
#include "model/outcome.h"
#include "recolite/gene_batch.h"
#include "recolite/scaled.h"
#include "recolite/species_arrays.h"

namespace vornix::recolite {

inline constexpr double kFixedPointTol = 1e-13;
inline constexpr int kMaxSweeps = 500;

struct UndatedEngine {
    std::vector<std::int64_t> left, right;
    std::vector<std::uint8_t> is_leaf;
    std::vector<double> ext;  // extinction at the top of each branch
    bool reldated = false;
    // Reldated mode: the branches overlapping branch i in time are
    // recipient_list[recipient_start[i] .. recipient_start[i + 1]), ascending.
    std::vector<std::size_t> recipient_start;
    std::vector<std::uint32_t> recipient_list;
    std::uint64_t n = 0, root = 0;
    double p_dup = 0.0, p_transfer = 0.0, p_spec = 0.0;
    // The same probabilities (and p_loss) without rounding below the normal
    // range. When one of them falls below 2^-960 (rates many hundred orders
    // of magnitude apart), the extinction values are solved again in Wide
    // numbers into ext_wide, and the gene values carry offsets; ext_wide is
    // empty otherwise.
    Wide w_dup, w_transfer, w_spec, w_loss;
    std::vector<Wide> ext_wide;
    // Gene values on branch b are held times 2^offset[b] (see
    // undated_offsets.h); empty when one scale per gene node and the plain
    // probabilities suffice.
    std::vector<std::int64_t> offset;

    // The node count n is the length of sp_left; transfers == 1 selects
    // reldated mode, anything else undated mode. Fails on arrays shorter
    // than n (the times are read in reldated mode only) and child indices
    // out of range.
    // Polls `interrupt` (when given) per branch of the recipient lists, per
    // sweep of the extinction fixed point and while finding the offsets.
    static vornix::Outcome<UndatedEngine> build(SpeciesArrays&& species, std::uint8_t transfers, double dup,
                                                double transfer, double loss,
                                                vornix::Interrupt* interrupt = nullptr);

    // Why a tree cannot be scored with this origination; empty when it can.
    std::string check_origination(std::uint8_t origination) const;

    // Probability that a family leaves no gene (the extinction term).
    double extinction(std::uint8_t origination) const;

    // log of extinction() (formed from ext_wide when it is solved): -inf
    // when it is not positive (or NaN).
    double log_extinction(std::uint8_t origination) const;

    // Log-likelihood of one checked gene tree (check_gene_tree with the
    // undated rules): -inf when no reconciliation is possible.
    double gene_loglik(const GeneTree& tree, std::uint8_t origination) const;

    // Log-likelihoods of every tree of a checked batch, in batch order; equal
    // bit for bit to gene_loglik on each tree. Polls `interrupt` between
    // sweeps and returns interrupted() when it asks to stop.
    vornix::Outcome<std::vector<double>> batch_loglik(const GeneBatch& batch, std::uint8_t origination,
                                                      vornix::Interrupt& interrupt) const;

    std::size_t recipient_count(std::size_t b) const { return recipient_start[b + 1] - recipient_start[b]; }
    bool has_offsets() const { return !offset.empty(); }
    // The extinction value of branch b, from ext_wide when it is solved.
    Wide extinction_at(std::size_t b) const { return ext_wide.empty() ? Wide::of(ext[b]) : ext_wide[b]; }
};

// The per-branch terms of the gene sweeps, fixed by the extinction values:
// the denominator 1 - 2 p_dup E[b] - p_transfer mean E (the events after which
// a lineage is still alone on b) and p_transfer E[b], also as a Wide number
// (formed from ext_wide and the Wide probabilities when ext_wide is solved).
struct BranchTerms {
    std::vector<double> denominator, transfer_in;
    std::vector<Wide> transfer_in_wide;
};
BranchTerms branch_terms(const UndatedEngine& e);

}  // namespace vornix::recolite
