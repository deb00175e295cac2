// The dated engine: time cut into slices at the species node times, the
// species branches alive through each slice, an explicit Euler scheme across
// each slice, and the extinction probability of every alive branch at every
// step. Built once per call and read-only afterwards; every gene tree of the
// batch is scored against it (dated_gene.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/interrupt.h"
#include "model/outcome.h"
#include "recolite/gene_batch.h"
#include "recolite/species_arrays.h"

namespace vornix::recolite {

inline constexpr double kTimeTol = 1e-9;
// Largest extinction grid (values summed over slices) the engine builds; each
// scored gene node holds a grid of the same size.
inline constexpr std::uint64_t kMaxGridValues = std::uint64_t{1} << 26;

struct Slice {
    std::vector<std::uint32_t> branches;  // alive through the whole slice, ascending
    std::vector<double> ext;              // steps + 1 rows of N: row j at t_end - j * step
    double t_end = 0.0;
    std::uint64_t steps = 0;
    double step = 0.0;

    std::size_t size() const { return branches.size(); }
    const double* ext_row(std::uint64_t j) const { return ext.data() + j * branches.size(); }
};

struct Engine {
    std::vector<std::int64_t> left, right;
    std::vector<std::uint8_t> is_leaf;
    std::vector<double> time;
    std::vector<double> branch_length;  // n entries
    std::vector<Slice> slices;          // in increasing time
    std::vector<double> ext_top;        // extinction at the top of each branch, n entries
    std::uint64_t n = 0, root = 0;
    double dup = 0.0, transfer = 0.0, loss = 0.0, total_rate = 0.0;

    // n is the species node count; the arrays are taken over. Fails on arrays
    // shorter than n, child indices out of range, NaN node times, and a time
    // grid larger than kMaxGridValues. Polls `interrupt` (when given) once
    // per slice of the extinction grid.
    static vornix::Outcome<Engine> build(std::uint64_t n, SpeciesArrays&& species, double dup, double transfer,
                                         double loss, std::uint64_t n_steps, vornix::Interrupt* interrupt = nullptr);

    // Why a tree cannot be scored with this origination (root origination needs
    // an internal species root; uniform origination a branch length for every
    // time entry); empty when it can.
    std::string check_origination(std::uint8_t origination) const;

    // Probability that a family leaves no gene (the extinction term of the
    // joint score); check_origination must have passed.
    double extinction(std::uint8_t origination) const;

    // log of extinction(): -inf when it is not positive (or NaN), and formed
    // as a sum of logarithms where the product of the root's two children
    // would fall below the normal range.
    double log_extinction(std::uint8_t origination) const;

    // Log-likelihood of one checked gene tree (check_gene_tree with the dated
    // rules): -inf when no reconciliation is possible.
    double gene_loglik(const GeneTree& tree, std::uint8_t origination) const;

    // Log-likelihoods of every tree of a checked batch, in batch order; equal
    // bit for bit to gene_loglik on each tree. Polls `interrupt` between
    // rounds of gene nodes and returns interrupted() when it asks to stop.
    vornix::Outcome<std::vector<double>> batch_loglik(const GeneBatch& batch, std::uint8_t origination,
                                                      vornix::Interrupt& interrupt) const;
};

}  // namespace vornix::recolite
