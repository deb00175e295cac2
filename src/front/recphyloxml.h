// Reconciled gene trees in recPhyloXML, the exchange format of reconciliation
// tools: a root element recPhylo (namespace http://www.recg.org) holding the
// whole species tree (spTree) and one reconciled gene tree (recGeneTree)
// whose clades carry the copy's name and its events (eventsRec).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engines/event_log/records.h"
#include "front/reconciled_tree.h"
#include "model/interrupt.h"
#include "model/outcome.h"
#include "writer/worker_pool.h"

namespace vornix::front {

// The XML declaration, the opening recPhylo tag and the spTree element of the
// species tree, extinct lineages included: the part every family's document
// shares.
std::string recphylo_head(const SpeciesLayout& species);

// Appends the recGeneTree element of one family's reconciled tree.
void append_rec_gene_tree(std::string& out, std::span<const ReconciledNode> nodes, std::span<const std::string> names);

// The closing recPhylo tag.
inline constexpr std::string_view kRecPhyloTail = "</recPhylo>\n";

// The species tree's arrays as the reconciliation functions take them; the
// names index every node.
struct SpeciesInput {
    std::span<const std::int64_t> parent;
    std::uint64_t root;
    std::span<const std::string> names;
};

// A Value error unless parent, root and names describe a tree the records
// can be placed on.
std::optional<EngineError> check_species_input(const SpeciesInput& input);

// Documents of several families: family k of `families` (ascending family
// numbers of the records that have an origination) has its document in
// text[start[k] .. start[k + 1]).
struct FamilyDocuments {
    std::vector<std::uint64_t> families;
    std::string text;
    std::vector<std::uint64_t> start;
};

Outcome<FamilyDocuments> recphyloxml_documents(const event_log::Records& records,
                                               const event_log::ExtantContent& extant, const SpeciesInput& species,
                                               writer::WorkerPool& pool, Interrupt& interrupt);

// Writes <trees_dir>/<f>_reconciled.xml (f the family number plus one) for
// every family of the records that has an origination, in parallel on
// `pool`; returns how many files it wrote. Creates trees_dir when missing.
Outcome<std::uint64_t> write_recphyloxml(const event_log::Records& records, const event_log::ExtantContent& extant,
                                         const SpeciesInput& species, const std::string& trees_dir,
                                         writer::WorkerPool& pool, Interrupt& interrupt);

// The reconciled trees of every family with an origination, as columns:
// family k of `families` owns nodes[start[k] .. start[k + 1]), each tree in
// preorder with parents as indices within the family.
struct FamilyReconciliations {
    std::vector<std::uint64_t> families;
    std::vector<std::uint64_t> start;
    std::vector<ReconciledNode> nodes;
};

Outcome<FamilyReconciliations> reconciled_families(const event_log::Records& records,
                                                   const event_log::ExtantContent& extant,
                                                   const SpeciesInput& species, double total_age, Interrupt& interrupt);

}  // namespace vornix::front
