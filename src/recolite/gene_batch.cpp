#include "recolite/gene_batch.h"

#include <string>

namespace vornix::recolite {

GeneTree tree_at(const GeneBatch& batch, std::size_t i) {
    const std::size_t a = batch.offsets[i], e = batch.offsets[i + 1];
    return {batch.is_leaf.data() + a, batch.left.data() + a, batch.right.data() + a, batch.species.data() + a, e - a};
}

std::string check_gene_tree(const GeneTree& tree, const GeneTreeRules& rules, const std::string& which) {
    if (tree.m == 0) return which + " is empty";
    // owner[c]: 1 + the node that took c as a child, 0 while none has.
    std::vector<std::size_t> owner;
    if (rules.single_parent) owner.assign(tree.m, 0);
    for (std::size_t u = 0; u < tree.m; ++u) {
        if (tree.is_leaf[u]) {
            if (rules.tip_species_in_range) {
                const std::int64_t s = tree.species[u];
                if (s < 0 || static_cast<std::uint64_t>(s) >= rules.n_species) {
                    return which + ": tip " + std::to_string(u) + " maps to species " + std::to_string(s) +
                           ", not a species node (0.." + std::to_string(rules.n_species) + "-1)";
                }
            }
            continue;
        }
        const std::int64_t children[2] = {tree.left[u], tree.right[u]};
        for (int side = 0; side < 2; ++side) {
            const std::int64_t c = children[side];
            if (c < 0 || static_cast<std::uint64_t>(c) >= u) {
                return which + ": node " + std::to_string(u) + " has " + (side == 0 ? "left" : "right") +
                       " child " + std::to_string(c) +
                       ", which is not a lower index of the same tree (children come before their parent)";
            }
        }
        if (rules.single_parent) {
            for (const std::int64_t c : children) {
                if (owner[c] != 0 && owner[c] != u + 1) {
                    return which + ": node " + std::to_string(c) + " is the child of more than one node";
                }
                owner[c] = u + 1;
            }
        }
    }
    return {};
}

std::string check_gene_batch(const GeneBatch& batch, const GeneTreeRules& rules) {
    const struct {
        const char* name;
        std::size_t size;
    } arrays[] = {{"gt_is_leaf", batch.is_leaf.size()},
                  {"gt_left", batch.left.size()},
                  {"gt_right", batch.right.size()},
                  {"gt_species", batch.species.size()}};
    for (std::size_t i = 0; i < batch.tree_count(); ++i) {
        const std::uint64_t a = batch.offsets[i], e = batch.offsets[i + 1];
        if (a > e) {
            return "gt_offsets decrease at tree " + std::to_string(i) + " (" + std::to_string(a) + " then " +
                   std::to_string(e) + ")";
        }
        for (const auto& arr : arrays) {
            if (e > arr.size) {
                return "gene tree " + std::to_string(i) + " ends at entry " + std::to_string(e) + ", past the end of " +
                       arr.name + " (" + std::to_string(arr.size) + " entries)";
            }
        }
        const std::string msg = check_gene_tree(tree_at(batch, i), rules, "gene tree " + std::to_string(i));
        if (!msg.empty()) return msg;
    }
    return {};
}

}  // namespace vornix::recolite
