// Reading Newick text: one or more trees, each ending in ';', into flat
// per-node arrays. The reader takes standard Newick: quoted labels ('it''s'),
// unquoted labels kept exactly as written (an underscore stays an
// underscore), [comments] anywhere between tokens (not nested), whitespace
// between tokens, internal node labels, branch lengths in any decimal float
// notation, a branch length on the root. It does not judge the shape: nodes
// with one child or many are read as written. It never recurses, so depth is
// bounded by memory only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "front/column.h"
#include "model/interrupt.h"
#include "model/outcome.h"

namespace vornix::front {

// Every tree of a text, node by node in preorder (a node before its
// children, children in their left-to-right order), trees one after the
// other. Node numbers within a tree start at 0 (its root).
struct NewickForest {
    // Tree t holds the nodes [tree_offsets[t], tree_offsets[t + 1]).
    std::vector<std::int64_t> tree_offsets{0};
    // Line where tree t's first token ('(' or its only label) starts.
    std::vector<std::int64_t> tree_line;

    // Per node: its parent's number within the same tree, -1 for the root.
    Column<std::int32_t> parent;
    // Per node: its branch length, NaN where none is written.
    Column<double> length;
    // Per node: its label (quotes removed, '' unescaped), possibly empty, as
    // the bytes labels[label_begin[i], label_end[i]). The bytes are in text
    // order, so an internal node's label follows its descendants'.
    Column<std::int64_t> label_begin;
    Column<std::int64_t> label_end;
    Column<char> labels;
    // Per node: where it is written (1-based line and column in characters):
    // a leaf at the start of its label (or where its empty label stands), an
    // internal node at its closing parenthesis.
    Column<std::int64_t> line;
    Column<std::int64_t> column;

    std::size_t n_trees() const { return tree_line.size(); }
    std::size_t n_nodes() const { return parent.size(); }
    std::string_view label(std::size_t node) const {
        return std::string_view(labels.data() + label_begin[node],
                                static_cast<std::size_t>(label_end[node] - label_begin[node]));
    }
};

// Reads every tree of `text` (UTF-8; a leading byte-order mark is skipped).
// Malformed text gives a Value error "line L, column C: expected ..., found
// ...". A text without any tree is malformed; so is anything after the last
// ';' other than whitespace and comments. The poll is ticked once per token.
Outcome<NewickForest> read_newick(std::string_view text, Interrupt& interrupt);

}  // namespace vornix::front
