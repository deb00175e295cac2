// Reconciliation likelihoods of batches of gene trees against one species
// tree: dated (time slices and Euler steps) and undated or reldated (fixed
// points over species branches). Each function builds its engine once, scores
// every tree against it, and reports malformed input as a ValueError outcome.
#pragma once

#include <cstdint>
#include <vector>

#include "model/interrupt.h"
#include "model/outcome.h"
#include "recolite/gene_batch.h"
#include "recolite/species_arrays.h"

namespace vornix::recolite {

struct Rates {
    double dup = 0.0, transfer = 0.0, loss = 0.0;
};

// n_species is the length of sp_parent (the node count). origination 1 is
// uniform over branches, anything else the species root. The joint score is
// n_extinct * log P(no gene survives) plus the trees' scores in order. A
// negative, NaN or infinite rate is refused before any work. `interrupt` is
// polled while the engine is built and between rounds of gene nodes; when it
// asks to stop, everything is freed and interrupted() returned.
vornix::Outcome<double> dated_joint_loglik(std::uint64_t n_species, SpeciesArrays species, const GeneBatch& genes,
                                           Rates rates, std::uint64_t n_steps, std::uint8_t origination,
                                           std::uint64_t n_extinct, vornix::Interrupt interrupt = {});
vornix::Outcome<std::vector<double>> dated_family_loglik(std::uint64_t n_species, SpeciesArrays species,
                                                         const GeneBatch& genes, Rates rates, std::uint64_t n_steps,
                                                         std::uint8_t origination, vornix::Interrupt interrupt = {});

// transfers 1 is reldated mode, anything else undated.
vornix::Outcome<double> undated_joint_loglik(SpeciesArrays species, const GeneBatch& genes, Rates rates,
                                             std::uint8_t transfers, std::uint8_t origination,
                                             std::uint64_t n_extinct, vornix::Interrupt interrupt = {});
vornix::Outcome<std::vector<double>> undated_family_loglik(SpeciesArrays species, const GeneBatch& genes, Rates rates,
                                                           std::uint8_t transfers, std::uint8_t origination,
                                                           vornix::Interrupt interrupt = {});

}  // namespace vornix::recolite
