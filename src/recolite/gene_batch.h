// Gene trees as the likelihood functions receive them: one batch of trees
// stored one after another (tree i is entries offsets[i] .. offsets[i+1]-1),
// each in post-order with its root last and child indices local to the tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vornix::recolite {

struct GeneBatch {
    std::vector<std::uint64_t> offsets;
    std::vector<std::uint8_t> is_leaf;
    std::vector<std::int64_t> left, right, species;

    std::size_t tree_count() const { return offsets.size() < 2 ? 0 : offsets.size() - 1; }
};

// One tree of a batch: m nodes, local indices 0 .. m-1.
struct GeneTree {
    const std::uint8_t* is_leaf = nullptr;
    const std::int64_t* left = nullptr;
    const std::int64_t* right = nullptr;
    const std::int64_t* species = nullptr;
    std::size_t m = 0;

    std::size_t root() const { return m - 1; }
};

// Tree i of a batch whose offsets have been checked.
GeneTree tree_at(const GeneBatch& batch, std::size_t i);

// How the tree structure is checked before any scoring.
struct GeneTreeRules {
    // Tip species must name a species node (0 .. n_species-1).
    bool tip_species_in_range = false;
    // A node may be the child of only one node (its values are handed over).
    bool single_parent = false;
    std::uint64_t n_species = 0;
};

// Checks offsets and every tree of the batch; returns an empty string when the
// batch can be scored, else the reason it cannot.
std::string check_gene_batch(const GeneBatch& batch, const GeneTreeRules& rules);

// The same checks for one tree; `which` names it in messages.
std::string check_gene_tree(const GeneTree& tree, const GeneTreeRules& rules, const std::string& which);

}  // namespace vornix::recolite
