// Gene trees in Newick form: internal nodes labelled by gene id, loss leaves
// "LOSS_<id>", surviving leaves "<species name>_<id>", other leaves "<id>";
// every node, the root included, followed by ":" and its branch length. A
// surviving leaf's label is put in single quotes (inner quotes doubled) when
// the species name holds whitespace or any of ()[]':;, which Newick readers
// would take for structure.
#pragma once

#include <span>
#include <string>

#include "writer/gene_tree.h"

namespace vornix::writer {

// Appends the text of `tree` (without the closing ";") to out. A node's
// species must index names. An empty tree appends nothing.
void to_newick(const GTree& tree, std::span<const std::string> names, std::string& out);

// The two Newick trees of a family whose records and surviving copies are in
// `index` (which must hold an origination): the complete tree, built into
// `complete`, appended to complete_text; the extant tree, pruned into
// `extant`, appended to extant_text when a copy survives. Each text ends with
// ";\n". False when the family's gene ids do not form a tree.
bool append_family_trees(const FamilyIndex& index, double total_age, std::span<const std::string> names,
                         GTree& complete, GTree& extant, std::string& complete_text, std::string& extant_text);

}  // namespace vornix::writer
