// Gene trees rebuilt from one family's event records: the complete tree of
// every copy that ever existed (lost copies end in loss leaves) and the
// extant tree of the copies that sit on extant species leaves at the end.
//
// A tree keeps its nodes in one array and a node owns its children by index,
// so that neither building, pruning, printing nor freeing a tree recurses:
// duplication chains can be hundreds of thousands of copies deep.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "writer/event_row.h"
#include "writer/id_map.h"
#include "writer/species_branches.h"

namespace vornix::writer {

inline constexpr std::uint64_t kNoSpecies = UINT64_MAX;
inline constexpr std::uint32_t kNoGNode = UINT32_MAX;

struct GNode {
    std::uint64_t species = kNoSpecies;  // extant species leaf of a surviving leaf, else kNoSpecies
    std::uint32_t children[2] = {kNoGNode, kNoGNode};
    std::uint32_t n_children = 0;  // 0 for a leaf, 2 for a split
    std::uint64_t id = 0;          // gene id of the copy
    double start = 0.0;            // when the copy comes into being
    double end = 0.0;              // its split, its loss, or the end of the run
    bool lost = false;             // a leaf that ends in a loss

    bool has_species() const { return species != kNoSpecies; }
};

// build_gnode stores every parent before its children (prune relies on
// that); prune stores children first.
struct GTree {
    std::vector<GNode> nodes;
    std::uint32_t root = kNoGNode;

    bool empty() const { return root == kNoGNode; }
    void clear() {
        nodes.clear();
        root = kNoGNode;
    }
};

// What one family's records say about one gene id, and the extant species
// leaf the copy sits on at the end of the run, if any.
struct GeneFacts {
    std::uint64_t leaf = kNoSpecies;
    double birth = 0.0;
    double end = 0.0;
    std::uint64_t child1 = 0, child2 = 0;
    NodeId branch = kNoNode;  // the species branch the copy is on, when known
    bool has_birth = false;
    bool has_end = false;
    bool has_split = false;
    bool lost = false;
};

// The per-family lookup tables (birth, end, split, lost), filled record by
// record in record order, and the family's part of the run-wide table of
// which extant leaf holds each surviving copy. Every gene id of the run
// belongs to one family, so the family's own copies are all its trees ask
// about; keeping them here spares a lookup in a run-wide table per leaf.
class FamilyIndex {
public:
    // Empties the index for a family of about n_ids gene ids, whose
    // speciations hand copies on along `branches` (which must outlive the
    // index's use; the default routes nowhere).
    void reset(std::size_t n_ids, const SpeciesBranches& branches = kNoBranches);
    // Applies the family's next record.
    void add(const EventRow& row);
    // Records that copy `gene` sits on extant leaf `leaf` (a later call for
    // the same gene wins).
    void place(std::uint64_t gene, std::uint64_t leaf) { genes_[gene].leaf = leaf; }

    const GeneFacts* find(std::uint64_t id) const { return genes_.find(id); }
    bool has_origination() const { return has_origination_; }
    std::uint64_t root_id() const { return root_id_; }  // the gene of the last O record
    std::size_t n_split_ids() const { return n_split_ids_; }
    // When copy g, which neither splits nor is lost, ends if it sits on an
    // extinct leaf; NaN when it lives to the end of the run.
    double lineage_end(const GeneFacts& g) const { return branches_->lineage_end(g.branch); }

private:
    static const SpeciesBranches kNoBranches;

    void born_on(std::uint64_t gene, double t, NodeId branch);

    IdMap<GeneFacts> genes_;
    const SpeciesBranches* branches_ = &kNoBranches;
    std::uint64_t root_id_ = 0;
    bool has_origination_ = false;
    std::size_t n_split_ids_ = 0;
};

// Builds into `out` the complete tree below copy `id`. Returns false (and
// leaves `out` unusable) when the family's split links do not form a tree,
// which records made by the engine never do.
bool build_gnode(std::uint64_t id, const FamilyIndex& index, double total_age, GTree& out);

// Builds into `out` the extant part of `complete`: leaves without a species
// are dropped, splits left with one surviving child collapse into that child
// (which takes over the split's start). `out` is empty when nothing survives.
void prune(const GTree& complete, GTree& out);

}  // namespace vornix::writer
