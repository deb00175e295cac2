#include "writer/gene_tree.h"

#include <algorithm>

namespace vornix::writer {

void FamilyIndex::reset(std::size_t n_ids) {
    genes_.reset(n_ids);
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
            for (const auto c : {c1, c2}) {
                GeneFacts& child = genes_[c];
                child.birth = t;
                child.has_birth = true;
            }
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
            if (g != nullptr) node.species = g->leaf;
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
