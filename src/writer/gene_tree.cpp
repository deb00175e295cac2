#include "writer/gene_tree.h"

#include <algorithm>
#include <cmath>

namespace vornix::writer {

const SpeciesBranches FamilyIndex::kNoBranches;

void FamilyIndex::reset(std::size_t n_ids, const SpeciesBranches& branches) {
    genes_.reset(n_ids);
    branches_ = &branches;
    root_id_ = 0;
    has_origination_ = false;
    n_split_ids_ = 0;
}

void FamilyIndex::add(const EventRow& row) {
    const std::uint64_t gene = row.gene;
    const double t = row.time;
    switch (row.kind) {
        case kOrigination: {
            GeneFacts& g = genes_[gene];
            if (!g.has_birth) {  // the one birth a later record does not overwrite
                g.birth = t;
                g.has_birth = true;
                g.branch = row.branch;
            }
            root_id_ = gene;
            has_origination_ = true;
            break;
        }
        case kDuplication:
        case kTransfer:
        case kSpeciation: {
            // Children are taken by the bit pattern of the signed columns.
            const auto c1 = static_cast<std::uint64_t>(row.child1);
            const auto c2 = static_cast<std::uint64_t>(row.child2);
            GeneFacts& g = genes_[gene];
            if (!g.has_split) ++n_split_ids_;
            g.has_split = true;
            g.child1 = c1;
            g.child2 = c2;
            g.end = t;
            g.has_end = true;
            // Inserting may move entries: `g` is not used past this point.
            // Both copies of a duplication stay on the branch; a transfer's
            // first copy stays on the donor branch and its second goes to the
            // recipient; a speciation's go to the branch's two children.
            NodeId b1 = row.branch, b2 = row.branch;
            if (row.kind == kTransfer) {
                b2 = row.recipient >= 0 && row.recipient < kNoNode ? static_cast<NodeId>(row.recipient) : kNoNode;
            } else if (row.kind == kSpeciation) {
                b1 = branches_->child(row.branch, 0);
                b2 = branches_->child(row.branch, 1);
            }
            born_on(c1, t, b1);
            born_on(c2, t, b2);
            break;
        }
        case kLoss: {
            GeneFacts& g = genes_[gene];
            g.lost = true;
            g.end = t;
            g.has_end = true;
            break;
        }
        default:
            break;
    }
}

void FamilyIndex::born_on(std::uint64_t gene, double t, NodeId branch) {
    GeneFacts& child = genes_[gene];
    child.birth = t;
    child.has_birth = true;
    child.branch = branch;
}

bool build_gnode(std::uint64_t id, const FamilyIndex& index, double total_age, GTree& out) {
    out.clear();
    // A tree whose splits each appear once has at most 1 + 2 * splits nodes;
    // more means a copy is reached twice (a cycle or shared child).
    const std::size_t limit = std::min<std::size_t>(1 + 2 * index.n_split_ids(), kNoGNode - 1);
    struct Frame {
        std::uint64_t id;
        std::uint32_t parent;
        std::uint32_t slot;
    };
    std::vector<Frame> stack{{id, kNoGNode, 0}};
    while (!stack.empty()) {
        const Frame f = stack.back();
        stack.pop_back();
        if (out.nodes.size() >= limit) return false;
        const auto at = static_cast<std::uint32_t>(out.nodes.size());
        GNode node;
        node.id = f.id;
        const GeneFacts* g = index.find(f.id);
        node.start = g != nullptr && g->has_birth ? g->birth : 0.0;
        if (g != nullptr && g->has_split) {
            node.end = g->end;
            node.n_children = 2;
            // Pushed right first so the left subtree is built (and stored) first.
            stack.push_back({g->child2, at, 1});
            stack.push_back({g->child1, at, 0});
        } else if (g != nullptr && g->lost) {
            node.end = g->end;
            node.lost = true;
        } else {
            node.end = total_age;
            if (g != nullptr) {
                node.species = g->leaf;
                // A copy left on an extinct leaf ends with that lineage.
                if (const double e = index.lineage_end(*g); !node.has_species() && !std::isnan(e)) node.end = e;
            }
        }
        out.nodes.push_back(node);
        if (f.parent == kNoGNode) {
            out.root = at;
        } else {
            out.nodes[f.parent].children[f.slot] = at;
        }
    }
    return true;
}

void prune(const GTree& complete, GTree& out) {
    out.clear();
    if (complete.empty()) return;
    const std::size_t n = complete.nodes.size();
    std::vector<std::uint32_t> kept(n, kNoGNode);  // node of `out` that stands for each node, if any
    // Children come after their parent, so a backward scan settles every
    // child before its parent: the collapse works bottom-up.
    for (std::size_t i = n; i-- > 0;) {
        const GNode& node = complete.nodes[i];
        if (node.n_children == 0) {
            if (node.has_species()) {
                kept[i] = static_cast<std::uint32_t>(out.nodes.size());
                out.nodes.push_back(node);
            }
            continue;
        }
        std::uint32_t survivors[2];
        std::uint32_t n_survivors = 0;
        for (std::uint32_t k = 0; k < node.n_children; ++k) {
            if (const std::uint32_t c = kept[node.children[k]]; c != kNoGNode) survivors[n_survivors++] = c;
        }
        if (n_survivors == 1) {
            out.nodes[survivors[0]].start = node.start;
            kept[i] = survivors[0];
        } else if (n_survivors == 2) {
            GNode copy = node;
            copy.children[0] = survivors[0];
            copy.children[1] = survivors[1];
            kept[i] = static_cast<std::uint32_t>(out.nodes.size());
            out.nodes.push_back(copy);
        }
    }
    out.root = kept[complete.root];
}

}  // namespace vornix::writer
