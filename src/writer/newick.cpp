#include "writer/newick.h"

#include <array>
#include <string_view>
#include <utility>
#include <vector>

#include "writer/fmt_g.h"
#include "writer/text.h"

namespace vornix::writer {

namespace {

// ":" and the branch length, 6 significant digits; a negative or undefined
// length prints as 0.
void append_length(std::string& out, const GNode& node) {
    const double len = node.end - node.start;
    out.push_back(':');
    append_fmt_g(out, len > 0.0 ? len : 0.0, 6);
}

// The bytes that make a label need quotes: whitespace and Newick's
// punctuation.
constexpr std::array<bool, 256> kQuoted = [] {
    std::array<bool, 256> table{};
    for (const unsigned char c : std::string_view(" \t\n\v\f\r()[]':;,")) table[c] = true;
    return table;
}();

bool needs_quotes(std::string_view name) {
    for (const char c : name) {
        if (kQuoted[static_cast<unsigned char>(c)]) return true;
    }
    return false;
}

void append_leaf(std::string& out, const GNode& node, std::span<const std::string> names) {
    if (node.lost) {
        out.append("LOSS_");
    } else if (node.has_species()) {
        const std::string& name = names[node.species];
        if (needs_quotes(name)) {
            out.push_back('\'');
            for (const char c : name) {
                if (c == '\'') out.push_back('\'');
                out.push_back(c);
            }
            out.push_back('_');
            append_int(out, node.id);
            out.push_back('\'');
            append_length(out, node);
            return;
        }
        out.append(name);
        out.push_back('_');
    }
    append_int(out, node.id);
    append_length(out, node);
}

}  // namespace

void to_newick(const GTree& tree, std::span<const std::string> names, std::string& out) {
    if (tree.empty()) return;
    // (node, number of its children already opened)
    std::vector<std::pair<std::uint32_t, std::uint32_t>> stack{{tree.root, 0}};
    while (!stack.empty()) {
        const auto [v, opened] = stack.back();
        const GNode& node = tree.nodes[v];
        if (node.n_children == 0) {
            append_leaf(out, node, names);
            stack.pop_back();
        } else if (opened < node.n_children) {
            out.push_back(opened == 0 ? '(' : ',');
            stack.back().second = opened + 1;
            stack.push_back({node.children[opened], 0});
        } else {
            out.push_back(')');
            append_int(out, node.id);
            append_length(out, node);
            stack.pop_back();
        }
    }
}

bool append_family_trees(const FamilyIndex& index, double total_age, std::span<const std::string> names,
                         GTree& complete, GTree& extant, std::string& complete_text, std::string& extant_text) {
    if (!build_gnode(index.root_id(), index, total_age, complete)) return false;
    to_newick(complete, names, complete_text);
    complete_text.append(";\n");
    prune(complete, extant);
    if (!extant.empty()) {
        to_newick(extant, names, extant_text);
        extant_text.append(";\n");
    }
    return true;
}

}  // namespace vornix::writer
