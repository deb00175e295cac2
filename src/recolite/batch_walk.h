// The walk both scorers make through a batch: several trees in flight, one
// per slot, each taken internal node by internal node in index order; a tree
// whose nodes are done is finished (its root term) and the slot takes the
// next tree of the batch.
#pragma once

#include <cstddef>
#include <vector>

#include "recolite/gene_batch.h"

namespace vornix::recolite {

// Where one slot stands: its tree (none when idle), the tree's place in the
// batch and the next node to compute.
struct TreeRun {
    const GeneTree* tree = nullptr;
    std::size_t index = 0;
    std::size_t cursor = 0;
};

// The trees of a batch, cut out once.
inline std::vector<GeneTree> batch_trees(const GeneBatch& batch) {
    std::vector<GeneTree> trees;
    trees.reserve(batch.tree_count());
    for (std::size_t i = 0; i < batch.tree_count(); ++i) trees.push_back(tree_at(batch, i));
    return trees;
}

class BatchWalk {
public:
    explicit BatchWalk(const std::vector<GeneTree>& trees) : trees_(trees) {}

    // Moves `run` (a TreeRun or a type derived from it) to the next internal
    // node of its tree. A tree with none left goes to finish(run); a slot
    // without a tree gets the next one of the batch through begin(run).
    // False when the batch holds no more work for this slot.
    template <class Run, class Begin, class Finish>
    bool next_node(Run& run, Begin&& begin, Finish&& finish) {
        for (;;) {
            if (run.tree != nullptr) {
                while (run.cursor < run.tree->m && run.tree->is_leaf[run.cursor]) ++run.cursor;
                if (run.cursor < run.tree->m) return true;
                finish(run);
                run.tree = nullptr;
            }
            if (next_ == trees_.size()) return false;
            run.tree = &trees_[next_];
            run.index = next_;
            run.cursor = 0;
            ++next_;
            begin(run);
        }
    }

private:
    const std::vector<GeneTree>& trees_;
    std::size_t next_ = 0;
};

}  // namespace vornix::recolite
