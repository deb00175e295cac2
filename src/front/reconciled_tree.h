// A family's complete gene tree with the history of every copy: the species
// branch it lived on, how it came there (by descent or by transfer) and the
// event that ended it. Built from the same records and the same tree builder
// as the complete Newick tree, so nodes, their order and their labels agree.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/outcome.h"
#include "model/species_tree.h"
#include "writer/event_row.h"
#include "writer/gene_tree.h"
#include "writer/id_map.h"
#include "writer/run_tables.h"

namespace vornix::front {

// How a copy ended. The values are the event codes of the records where one
// applies; a copy that neither split nor was lost ends as a leaf on an
// extant species or with its extinct lineage.
enum class CopyEnd : std::uint8_t {
    Leaf = 0,
    Duplication = 1,
    Transfer = 2,
    Loss = 3,
    Speciation = 4,
    ExtinctLineage = 5,
};

inline constexpr std::uint32_t kNoParent = UINT32_MAX;

struct ReconciledNode {
    std::uint64_t gene = 0;
    std::uint32_t parent = kNoParent;
    std::uint32_t children[2] = {kNoParent, kNoParent};
    std::uint32_t n_children = 0;
    double start = 0.0;
    double end = 0.0;
    // The branch where the copy ended: the branch of its duplication, loss or
    // extinct lineage, the donor of its transfer, the splitting node of its
    // speciation, the extant species of a surviving copy.
    std::uint64_t species = 0;
    // The branch the copy was transferred to when it arrived by transfer
    // (it then lives there), else kNoSpecies.
    std::uint64_t arrived_from_transfer = writer::kNoSpecies;
    CopyEnd ends = CopyEnd::Leaf;
};

// The species tree as the reconciliation needs it: names, and the children
// of every node in increasing node number (a speciation's first copy goes to
// the first child, its second copy to the second).
struct SpeciesLayout {
    std::span<const std::string> names;
    const Children* children = nullptr;
    std::uint64_t root = 0;
};

// One worker's reusable memory.
class ReconciliationBuilder {
public:
    // Builds into `out` (preorder: a parent before its children, the first
    // child's subtree before the second's) the tree of one family from its
    // records in record order and its surviving copies. A family without an
    // origination has no tree: `out` is left empty. A Value error comes back
    // when the records name a species node the tree lacks, split a copy at a
    // node without two children, or leave a copy without a branch.
    std::optional<EngineError> build(std::span<const writer::EventRow> rows,
                                     std::span<const writer::PlacedCopy> placed, const SpeciesLayout& species,
                                     double total_age, std::vector<ReconciledNode>& out);

private:
    struct CopyFacts {
        std::uint64_t location = writer::kNoSpecies;     // branch the copy lives on
        std::uint64_t end_branch = writer::kNoSpecies;   // branch of its D, T, S or L record
        std::uint64_t transferred_to = writer::kNoSpecies;
        CopyEnd ends = CopyEnd::Leaf;
    };

    std::optional<EngineError> note(const writer::EventRow& row, const SpeciesLayout& species);

    writer::FamilyIndex index_;
    writer::GTree tree_;
    writer::IdMap<CopyFacts> facts_;
};

// The label the complete Newick tree gives a node: the gene id of a split,
// LOSS_<id> of a lost copy, <species>_<id> of a surviving copy, the bare id
// of a copy that ended with an extinct lineage.
void append_label(std::string& out, const ReconciledNode& node, std::span<const std::string> names);

}  // namespace vornix::front
