#include "recolite/recolite.h"

#include <cmath>
#include <limits>
#include <string>

#include "recolite/dated_engine.h"
#include "recolite/undated_engine.h"

namespace vornix::recolite {

namespace {

// The batch's scores, after every check that scoring relies on: the
// extinction term's needs when it is asked for, then each tree in order.
template <class EngineT>
vornix::Outcome<std::vector<double>> checked_scores(const EngineT& engine, const GeneBatch& genes,
                                                    const GeneTreeRules& rules, std::uint8_t origination,
                                                    std::uint64_t n_extinct, double* extinction_term) {
    if (n_extinct > 0) {
        if (std::string msg = engine.check_origination(origination); !msg.empty()) return vornix::value_error(msg);
        const double P = engine.extinction(origination);
        *extinction_term = P > 0.0 ? static_cast<double>(n_extinct) * std::log(P)
                                   : -std::numeric_limits<double>::infinity();
    }
    if (std::string msg = check_gene_batch(genes, rules); !msg.empty()) return vornix::value_error(msg);
    if (genes.tree_count() > 0) {
        if (std::string msg = engine.check_origination(origination); !msg.empty()) return vornix::value_error(msg);
    }
    return engine.batch_loglik(genes, origination);
}

vornix::Outcome<double> joint(vornix::Outcome<std::vector<double>>&& scores, double extinction_term) {
    if (!scores.ok()) return scores.error();
    double total = extinction_term;
    for (const double s : scores.value()) total += s;
    return total;
}

GeneTreeRules dated_rules() { return GeneTreeRules{false, true, 0}; }

GeneTreeRules undated_rules(std::uint64_t n) { return GeneTreeRules{true, false, n}; }

}  // namespace

vornix::Outcome<double> dated_joint_loglik(std::uint64_t n_species, SpeciesArrays species, const GeneBatch& genes,
                                           Rates rates, std::uint64_t n_steps, std::uint8_t origination,
                                           std::uint64_t n_extinct) {
    auto engine = Engine::build(n_species, std::move(species), rates.dup, rates.transfer, rates.loss, n_steps);
    if (!engine.ok()) return engine.error();
    double term = 0.0;
    auto scores = checked_scores(engine.value(), genes, dated_rules(), origination, n_extinct, &term);
    return joint(std::move(scores), term);
}

vornix::Outcome<std::vector<double>> dated_family_loglik(std::uint64_t n_species, SpeciesArrays species,
                                                         const GeneBatch& genes, Rates rates, std::uint64_t n_steps,
                                                         std::uint8_t origination) {
    auto engine = Engine::build(n_species, std::move(species), rates.dup, rates.transfer, rates.loss, n_steps);
    if (!engine.ok()) return engine.error();
    return checked_scores(engine.value(), genes, dated_rules(), origination, 0, nullptr);
}

vornix::Outcome<double> undated_joint_loglik(SpeciesArrays species, const GeneBatch& genes, Rates rates,
                                             std::uint8_t transfers, std::uint8_t origination,
                                             std::uint64_t n_extinct) {
    auto engine = UndatedEngine::build(std::move(species), transfers, rates.dup, rates.transfer, rates.loss);
    if (!engine.ok()) return engine.error();
    double term = 0.0;
    auto scores =
        checked_scores(engine.value(), genes, undated_rules(engine.value().n), origination, n_extinct, &term);
    return joint(std::move(scores), term);
}

vornix::Outcome<std::vector<double>> undated_family_loglik(SpeciesArrays species, const GeneBatch& genes, Rates rates,
                                                           std::uint8_t transfers, std::uint8_t origination) {
    auto engine = UndatedEngine::build(std::move(species), transfers, rates.dup, rates.transfer, rates.loss);
    if (!engine.ok()) return engine.error();
    return checked_scores(engine.value(), genes, undated_rules(engine.value().n), origination, 0, nullptr);
}

}  // namespace vornix::recolite
