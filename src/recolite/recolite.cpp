#include "recolite/recolite.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "model/rates.h"
#include "recolite/dated_engine.h"
#include "recolite/undated_engine.h"

namespace vornix::recolite {

namespace {

// The batch's scores, after every check that scoring relies on: the
// extinction term's needs when it is asked for, then each tree in order.
template <class EngineT>
vornix::Outcome<std::vector<double>> checked_scores(const EngineT& engine, const GeneBatch& genes,
                                                    const GeneTreeRules& rules, std::uint8_t origination,
                                                    std::uint64_t n_extinct, double* extinction_term,
                                                    vornix::Interrupt& interrupt) {
    if (n_extinct > 0) {
        if (std::string msg = engine.check_origination(origination); !msg.empty()) return vornix::value_error(msg);
        const double log_p = engine.log_extinction(origination);
        *extinction_term = log_p > -std::numeric_limits<double>::infinity()
                               ? static_cast<double>(n_extinct) * log_p
                               : -std::numeric_limits<double>::infinity();
    }
    if (std::string msg = check_gene_batch(genes, rules); !msg.empty()) return vornix::value_error(msg);
    if (genes.tree_count() > 0) {
        if (std::string msg = engine.check_origination(origination); !msg.empty()) return vornix::value_error(msg);
    }
    return engine.batch_loglik(genes, origination, interrupt);
}

vornix::Outcome<double> joint(vornix::Outcome<std::vector<double>>&& scores, double extinction_term) {
    if (!scores.ok()) return scores.error();
    double total = extinction_term;
    for (const double s : scores.value()) total += s;
    return total;
}

// A negative, NaN or infinite rate is refused before any work, naming it.
std::string check_rates(const Rates& r) {
    for (const auto& [name, value] : {std::pair{"dup", r.dup}, std::pair{"transfer", r.transfer}, std::pair{"loss", r.loss}}) {
        if (std::string msg = vornix::check_rate(name, value); !msg.empty()) return msg;
    }
    return {};
}

GeneTreeRules dated_rules() { return GeneTreeRules{false, true, 0}; }

GeneTreeRules undated_rules(std::uint64_t n) { return GeneTreeRules{true, false, n}; }

}  // namespace

vornix::Outcome<double> dated_joint_loglik(std::uint64_t n_species, SpeciesArrays species, const GeneBatch& genes,
                                           Rates rates, std::uint64_t n_steps, std::uint8_t origination,
                                           std::uint64_t n_extinct, vornix::Interrupt interrupt) {
    if (std::string msg = check_rates(rates); !msg.empty()) return vornix::value_error(msg);
    auto engine = Engine::build(n_species, std::move(species), rates.dup, rates.transfer, rates.loss, n_steps, &interrupt);
    if (!engine.ok()) return engine.error();
    double term = 0.0;
    auto scores = checked_scores(engine.value(), genes, dated_rules(), origination, n_extinct, &term, interrupt);
    return joint(std::move(scores), term);
}

vornix::Outcome<std::vector<double>> dated_family_loglik(std::uint64_t n_species, SpeciesArrays species,
                                                         const GeneBatch& genes, Rates rates, std::uint64_t n_steps,
                                                         std::uint8_t origination, vornix::Interrupt interrupt) {
    if (std::string msg = check_rates(rates); !msg.empty()) return vornix::value_error(msg);
    auto engine = Engine::build(n_species, std::move(species), rates.dup, rates.transfer, rates.loss, n_steps, &interrupt);
    if (!engine.ok()) return engine.error();
    return checked_scores(engine.value(), genes, dated_rules(), origination, 0, nullptr, interrupt);
}

vornix::Outcome<double> undated_joint_loglik(SpeciesArrays species, const GeneBatch& genes, Rates rates,
                                             std::uint8_t transfers, std::uint8_t origination,
                                             std::uint64_t n_extinct, vornix::Interrupt interrupt) {
    if (std::string msg = check_rates(rates); !msg.empty()) return vornix::value_error(msg);
    auto engine = UndatedEngine::build(std::move(species), transfers, rates.dup, rates.transfer, rates.loss, &interrupt);
    if (!engine.ok()) return engine.error();
    double term = 0.0;
    auto scores =
        checked_scores(engine.value(), genes, undated_rules(engine.value().n), origination, n_extinct, &term, interrupt);
    return joint(std::move(scores), term);
}

vornix::Outcome<std::vector<double>> undated_family_loglik(SpeciesArrays species, const GeneBatch& genes, Rates rates,
                                                           std::uint8_t transfers, std::uint8_t origination,
                                                           vornix::Interrupt interrupt) {
    if (std::string msg = check_rates(rates); !msg.empty()) return vornix::value_error(msg);
    auto engine = UndatedEngine::build(std::move(species), transfers, rates.dup, rates.transfer, rates.loss, &interrupt);
    if (!engine.ok()) return engine.error();
    return checked_scores(engine.value(), genes, undated_rules(engine.value().n), origination, 0, nullptr, interrupt);
}

}  // namespace vornix::recolite
