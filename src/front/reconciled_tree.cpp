#include "front/reconciled_tree.h"

#include "writer/text.h"

namespace vornix::front {

namespace {

EngineError unknown_species(std::uint64_t node, std::size_t n) {
    return value_error("the records name species node " + std::to_string(node) + ", but the tree has " +
                       std::to_string(n) + " nodes");
}

}  // namespace

std::optional<EngineError> ReconciliationBuilder::note(const writer::EventRow& row, const SpeciesLayout& species) {
    const std::size_t n = species.names.size();
    if (row.branch >= n) return unknown_species(row.branch, n);
    const std::uint64_t branch = row.branch;
    const auto c1 = static_cast<std::uint64_t>(row.child1);
    const auto c2 = static_cast<std::uint64_t>(row.child2);
    auto ended = [&](CopyEnd how) {
        CopyFacts& g = facts_[row.gene];
        g.ends = how;
        g.end_branch = branch;
    };
    switch (row.kind) {
        case writer::kOrigination:
            facts_[row.gene].location = branch;
            break;
        case writer::kDuplication:
            ended(CopyEnd::Duplication);
            facts_[c1].location = branch;
            facts_[c2].location = branch;
            break;
        case writer::kTransfer: {
            if (row.recipient < 0 || static_cast<std::uint64_t>(row.recipient) >= n) {
                return unknown_species(static_cast<std::uint64_t>(row.recipient), n);
            }
            const auto recipient = static_cast<std::uint64_t>(row.recipient);
            ended(CopyEnd::Transfer);
            facts_[c1].location = branch;
            CopyFacts& arrived = facts_[c2];
            arrived.location = recipient;
            arrived.transferred_to = recipient;
            break;
        }
        case writer::kSpeciation: {
            if (species.children->count(branch) < 2) {
                return value_error("the records split a copy at species node " + std::to_string(branch) +
                                   ", which does not have two children");
            }
            const auto kids = species.children->of(branch);
            ended(CopyEnd::Speciation);
            facts_[c1].location = kids[0];
            facts_[c2].location = kids[1];
            break;
        }
        case writer::kLoss:
            ended(CopyEnd::Loss);
            break;
        default:
            break;
    }
    return std::nullopt;
}

std::optional<EngineError> ReconciliationBuilder::build(std::span<const writer::EventRow> rows,
                                                        std::span<const writer::PlacedCopy> placed,
                                                        const SpeciesLayout& species, double total_age,
                                                        std::vector<ReconciledNode>& out) {
    out.clear();
    const std::size_t n_ids = 2 * rows.size() + placed.size() + 1;
    index_.reset(n_ids);
    facts_.reset(n_ids);
    for (const writer::EventRow& row : rows) {
        index_.add(row);
        if (auto failed = note(row, species)) return failed;
    }
    if (!index_.has_origination()) return std::nullopt;
    for (const writer::PlacedCopy& copy : placed) index_.place(copy.gene, copy.leaf);
    if (!writer::build_gnode(index_.root_id(), index_, total_age, tree_)) {
        return value_error("the records' gene ids do not form a tree");
    }
    const std::size_t n = species.names.size();
    out.resize(tree_.nodes.size());
    for (std::size_t i = 0; i < tree_.nodes.size(); ++i) {
        const writer::GNode& g = tree_.nodes[i];
        ReconciledNode& r = out[i];
        r.gene = g.id;
        r.start = g.start;
        r.end = g.end;
        r.n_children = g.n_children;
        for (std::uint32_t k = 0; k < g.n_children; ++k) {
            r.children[k] = g.children[k];
            out[g.children[k]].parent = static_cast<std::uint32_t>(i);
        }
        const CopyFacts* f = facts_.find(g.id);
        if (f != nullptr) r.arrived_from_transfer = f->transferred_to;
        // The same order of tests as the tree builder: a split, a loss, a
        // surviving copy.
        if (g.n_children > 0 || g.lost) {
            r.ends = f != nullptr ? f->ends : CopyEnd::Loss;
            r.species = f != nullptr ? f->end_branch : writer::kNoSpecies;
        } else if (g.has_species()) {
            r.ends = CopyEnd::Leaf;
            r.species = g.species;
        } else {
            r.ends = CopyEnd::ExtinctLineage;
            r.species = f != nullptr ? f->location : writer::kNoSpecies;
        }
        if (r.species >= n) {
            if (r.species == writer::kNoSpecies) {
                return value_error("the records do not say on which branch copy " + std::to_string(g.id) + " ended");
            }
            return unknown_species(r.species, n);
        }
    }
    // The root was stored first; its parent stays kNoParent.
    return std::nullopt;
}

void append_label(std::string& out, const ReconciledNode& node, std::span<const std::string> names) {
    if (node.n_children == 0) {
        if (node.ends == CopyEnd::Loss) {
            out.append("LOSS_");
        } else if (node.ends == CopyEnd::Leaf) {
            out.append(names[node.species]);
            out.push_back('_');
        }
    }
    writer::append_int(out, node.gene);
}

}  // namespace vornix::front
