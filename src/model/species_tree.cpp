#include "model/species_tree.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vornix {

Children build_children(std::uint64_t n_nodes, std::span<const std::int64_t> parent) {
    Children c;
    c.start.assign(n_nodes + 1, 0);
    for (std::uint64_t i = 0; i < n_nodes; ++i) {
        if (parent[i] >= 0) ++c.start[parent[i] + 1];
    }
    for (std::uint64_t p = 0; p < n_nodes; ++p) c.start[p + 1] += c.start[p];
    c.list.resize(c.start[n_nodes]);
    std::vector<std::uint32_t> fill(c.start.begin(), c.start.end() - 1);
    for (std::uint64_t i = 0; i < n_nodes; ++i) {
        if (parent[i] >= 0) c.list[fill[parent[i]]++] = static_cast<NodeId>(i);
    }
    return c;
}

std::vector<NodeId> build_node_order(std::uint64_t n_nodes, std::span<const std::int64_t> parent,
                                     std::span<const double> time) {
    std::vector<NodeId> order;
    for (std::uint64_t i = 0; i < n_nodes; ++i) {
        if (parent[i] >= 0) order.push_back(static_cast<NodeId>(i));
    }
    std::stable_sort(order.begin(), order.end(), [&](NodeId a, NodeId b) { return time[a] < time[b]; });
    return order;
}

namespace {

std::string node_text(std::uint64_t v) { return "node " + std::to_string(v); }

std::string check_lengths(const SpeciesTree& t) {
    auto short_array = [&](const char* name, std::size_t len) -> std::string {
        if (len >= t.n_nodes) return {};
        return std::string(name) + " has " + std::to_string(len) + " entries but n_nodes is " +
               std::to_string(t.n_nodes);
    };
    if (t.n_nodes >= kNoNode) return "n_nodes " + std::to_string(t.n_nodes) + " is too large";
    for (auto msg : {short_array("parent", t.parent.size()), short_array("time", t.time.size()),
                     short_array("extant_leaf", t.extant_leaf.size())}) {
        if (!msg.empty()) return msg;
    }
    if (t.root >= t.n_nodes) {
        return "root " + std::to_string(t.root) + " is not a node index (n_nodes is " + std::to_string(t.n_nodes) + ")";
    }
    return {};
}

// Every node with a parent must lead up to the root without a cycle.
// Iterative walk with memoised states, O(n) overall.
std::string check_ancestry(const SpeciesTree& t) {
    enum : std::uint8_t { Unknown, OnPath, BelowRoot };
    std::vector<std::uint8_t> state(t.n_nodes, Unknown);
    state[t.root] = BelowRoot;
    std::vector<std::uint64_t> path;
    for (std::uint64_t start = 0; start < t.n_nodes; ++start) {
        if (t.parent[start] < 0 || state[start] == BelowRoot) continue;
        path.clear();
        std::uint64_t v = start;
        while (state[v] == Unknown) {
            state[v] = OnPath;
            path.push_back(v);
            if (t.parent[v] < 0) {
                return node_text(start) + " is not below the root " + std::to_string(t.root) + " (its ancestor " +
                       std::to_string(v) + " has no parent)";
            }
            v = static_cast<std::uint64_t>(t.parent[v]);
        }
        if (state[v] == OnPath) return "parent links form a cycle through " + node_text(v);
        for (auto u : path) state[u] = BelowRoot;
    }
    return {};
}

}  // namespace

std::string check_species_tree(const SpeciesTree& t, Speciation mode) {
    if (auto msg = check_lengths(t); !msg.empty()) return msg;
    const std::uint64_t n = t.n_nodes;
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::int64_t p = t.parent[i];
        if (p >= 0 && static_cast<std::uint64_t>(p) >= n) {
            return "parent of " + node_text(i) + " is " + std::to_string(p) + ", not a node index (n_nodes is " +
                   std::to_string(n) + ")";
        }
    }
    if (t.parent[t.root] >= 0) return "the root " + std::to_string(t.root) + " has a parent";
    if (!std::isfinite(t.time[t.root])) return "time of the root " + std::to_string(t.root) + " is not finite";
    for (std::uint64_t i = 0; i < n; ++i) {
        if (t.parent[i] >= 0 && !std::isfinite(t.time[i])) return "time of " + node_text(i) + " is not finite";
    }
    if (auto msg = check_ancestry(t); !msg.empty()) return msg;

    const Children children = build_children(n, t.parent);
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::int64_t p = t.parent[i];
        if (p >= 0 && static_cast<std::uint64_t>(p) != t.root && t.extant_leaf[p]) {
            return node_text(i) + " has parent " + std::to_string(p) +
                   ", which is marked as an extant leaf, so its branch would never receive genes";
        }
    }
    if (mode == Speciation::FirstTwo) {
        for (std::uint64_t v = 0; v < n; ++v) {
            const bool speciates = v == t.root || (t.parent[v] >= 0 && !t.extant_leaf[v] && children.count(v) > 0);
            if (!speciates) continue;
            const std::size_t k = children.count(v);
            if (k < 2) {
                return node_text(v) + " speciates but has " + std::to_string(k) +
                       (k == 1 ? " child" : " children") + "; this simulation needs two children at every speciation";
            }
            if (k > 2) {
                return node_text(v) + " has " + std::to_string(k) +
                       " children; this simulation passes genes to two children only, so child " +
                       std::to_string(children.of(v)[2]) + " would never receive genes";
            }
        }
    }
    return {};
}

Outcome<TreeWalk> prepare_tree(const SpeciesTree& tree, Speciation mode) {
    if (auto msg = check_species_tree(tree, mode); !msg.empty()) return value_error("invalid species tree: " + msg);
    TreeWalk walk;
    walk.children = build_children(tree.n_nodes, tree.parent);
    walk.order = build_node_order(tree.n_nodes, tree.parent, tree.time);
    return walk;
}

}  // namespace vornix
