#include "front/gene_rooting.h"

#include <array>
#include <string>

namespace vornix::front {

namespace {

struct Span {
    std::uint64_t begin;
    std::uint64_t size;
};

Span tree_span(const GeneForest& f, std::uint64_t t) {
    const auto b = static_cast<std::uint64_t>(f.offsets[t]);
    return {b, static_cast<std::uint64_t>(f.offsets[t + 1]) - b};
}

// The unrooted view of one tree: up to three neighbours per node, children
// first (in order), then the node above. For a rooted tree the root is left
// out and its two children are each other's node above.
class Unrooted {
public:
    void load(const GeneForest& f, std::uint64_t t) {
        const Span s = tree_span(f, t);
        m_ = s.size;
        parent_ = f.parent.subspan(s.begin, m_);
        species_ = f.species.subspan(s.begin, m_);
        degree_.assign(m_, 0);
        nb_.resize(m_);
        for (std::uint64_t v = 1; v < m_; ++v) {
            const auto p = static_cast<std::uint64_t>(parent_[v]);
            nb_[p][degree_[p]++] = static_cast<std::int64_t>(v);
        }
        root_children_ = m_ == 0 ? 0 : degree_[0];
        rooted_ = root_children_ == 2;
        for (std::uint64_t v = 1; v < m_; ++v) {
            std::int64_t up = parent_[v];
            if (rooted_ && up == 0) up = nb_[0][0] == static_cast<std::int64_t>(v) ? nb_[0][1] : nb_[0][0];
            nb_[v][degree_[v]++] = up;
        }
    }

    std::uint64_t size() const { return m_; }
    bool rooted() const { return rooted_; }
    std::uint64_t edge_count() const {
        if (m_ <= 1) return 0;
        return rooted_ ? m_ - 2 : m_ - 1;
    }

    // The two ends (below, above) of edge e.
    std::array<std::int64_t, 2> edge(std::uint64_t e) const {
        if (!rooted_) return {static_cast<std::int64_t>(e + 1), parent_[e + 1]};
        const std::int64_t a = nb_[0][0], b = nb_[0][1];
        if (e == 0) return {a, b};
        // Edge e >= 1 is the e-th non-root node in pre-order other than a and b.
        std::uint64_t v = e;  // nodes 1 .. e+? skipping a and b
        if (v >= static_cast<std::uint64_t>(a)) ++v;
        if (v >= static_cast<std::uint64_t>(b)) ++v;
        return {static_cast<std::int64_t>(v), parent_[v]};
    }

    std::uint8_t degree(std::int64_t v) const { return degree_[static_cast<std::uint64_t>(v)]; }
    std::int64_t neighbour(std::int64_t v, std::uint8_t k) const { return nb_[static_cast<std::uint64_t>(v)][k]; }
    std::int64_t species(std::int64_t v) const { return species_[static_cast<std::uint64_t>(v)]; }

private:
    std::uint64_t m_ = 0;
    std::span<const std::int64_t> parent_;
    std::span<const std::int64_t> species_;
    std::vector<std::uint8_t> degree_;
    std::vector<std::array<std::int64_t, 3>> nb_;
    std::uint8_t root_children_ = 0;
    bool rooted_ = false;
};

// Appends the subtree of x seen from its neighbour `from` in post-order and
// returns its local index; child links are local to `base`.
class PostorderWriter {
public:
    explicit PostorderWriter(CoreBatch& out, bool with_origin) : out_(out), with_origin_(with_origin) {}

    std::int64_t subtree(const Unrooted& u, std::int64_t x, std::int64_t from, std::uint64_t base) {
        stack_.clear();
        stack_.push_back({x, from, 0, {-1, -1}, 0});
        std::int64_t last = -1;
        while (!stack_.empty()) {
            Frame& f = stack_.back();
            if (f.next < u.degree(f.node)) {
                const std::int64_t y = u.neighbour(f.node, f.next++);
                if (y != f.from) stack_.push_back({y, f.node, 0, {-1, -1}, 0});
                continue;
            }
            const auto idx = static_cast<std::int64_t>(out_.is_leaf.size() - base);
            if (f.n_kids == 0) {
                push(1, -1, -1, u.species(f.node), f.node);
            } else {
                push(0, f.kids[0], f.kids[1], -1, f.node);
            }
            stack_.pop_back();
            if (stack_.empty()) {
                last = idx;
            } else {
                Frame& p = stack_.back();
                p.kids[p.n_kids++] = idx;
            }
        }
        return last;
    }

    void push(std::uint8_t leaf, std::int64_t l, std::int64_t r, std::int64_t sp, std::int64_t origin) {
        out_.is_leaf.push_back(leaf);
        out_.left.push_back(l);
        out_.right.push_back(r);
        out_.species.push_back(sp);
        if (with_origin_) out_.origin.push_back(origin);
    }

private:
    struct Frame {
        std::int64_t node;
        std::int64_t from;
        std::uint8_t next;
        std::int64_t kids[2];
        std::uint8_t n_kids;
    };
    CoreBatch& out_;
    bool with_origin_;
    std::vector<Frame> stack_;
};

}  // namespace

std::optional<ForestFault> check_forest(const GeneForest& f) {
    using K = ForestFault::Kind;
    if (f.offsets.empty() || f.offsets[0] != 0) return ForestFault{K::Offsets, 0, -1, 0};
    const std::uint64_t n_trees = f.offsets.size() - 1;
    const std::uint64_t n = f.parent.size();
    if (f.species.size() != n) return ForestFault{K::Offsets, 0, -1, 0};
    std::vector<std::uint64_t> kids;
    for (std::uint64_t t = 0; t < n_trees; ++t) {
        if (f.offsets[t + 1] <= f.offsets[t] || static_cast<std::uint64_t>(f.offsets[t + 1]) > n) {
            return ForestFault{K::Offsets, t, -1, 0};
        }
        const Span s = tree_span(f, t);
        kids.assign(s.size, 0);
        for (std::uint64_t v = 0; v < s.size; ++v) {
            const std::int64_t p = f.parent[s.begin + v];
            const bool ok = v == 0 ? p == -1 : (p >= 0 && static_cast<std::uint64_t>(p) < v);
            if (!ok) return ForestFault{K::Parent, t, static_cast<std::int64_t>(v), 0};
            if (v > 0) ++kids[static_cast<std::uint64_t>(p)];
        }
        for (std::uint64_t v = 0; v < s.size; ++v) {
            const std::uint64_t k = kids[v];
            const std::uint64_t most = v == 0 ? 3 : 2;
            if (k == 1) return ForestFault{K::Unary, t, static_cast<std::int64_t>(v), k};
            if (k > most) return ForestFault{K::Polytomy, t, static_cast<std::int64_t>(v), k};
        }
    }
    if (static_cast<std::uint64_t>(f.offsets[n_trees]) != n) return ForestFault{K::Offsets, n_trees, -1, 0};
    return std::nullopt;
}

std::uint64_t rooting_count(const GeneForest& f, std::uint64_t t) {
    Unrooted u;
    u.load(f, t);
    return u.edge_count() == 0 ? 1 : u.edge_count();
}

bool is_unrooted(const GeneForest& f, std::uint64_t t) {
    const Span s = tree_span(f, t);
    std::uint64_t k = 0;
    for (std::uint64_t v = 1; v < s.size; ++v) k += f.parent[s.begin + v] == 0;
    return k == 3;
}

Outcome<CoreBatch> rootings(const GeneForest& f, std::span<const RootingRange> ranges, bool with_origin,
                            Interrupt& interrupt) {
    if (check_forest(f)) return value_error("gene trees are malformed");
    const std::uint64_t n_trees = f.offsets.size() - 1;
    CoreBatch out;
    PostorderWriter writer(out, with_origin);
    Unrooted u;
    std::uint64_t loaded = n_trees;
    for (const RootingRange& r : ranges) {
        if (r.tree >= n_trees) return value_error("tree " + std::to_string(r.tree) + " is out of range");
        if (loaded != r.tree) {
            u.load(f, r.tree);
            loaded = r.tree;
        }
        const std::uint64_t count = u.edge_count() == 0 ? 1 : u.edge_count();
        if (r.first > r.last || r.last > count) {
            return value_error("rootings " + std::to_string(r.first) + ".." + std::to_string(r.last) + " of tree " +
                               std::to_string(r.tree) + " are out of range");
        }
        for (std::uint64_t e = r.first; e < r.last; ++e) {
            if (interrupt.poll_now()) return interrupted();
            const std::uint64_t base = out.is_leaf.size();
            if (u.edge_count() == 0) {
                writer.push(1, -1, -1, u.species(0), 0);  // a single tip
            } else {
                const auto [x, y] = u.edge(e);
                const std::int64_t l = writer.subtree(u, x, y, base);
                const std::int64_t rr = writer.subtree(u, y, x, base);
                writer.push(0, l, rr, -1, u.rooted() && e == 0 ? 0 : -1);
            }
            out.offsets.push_back(out.is_leaf.size());
        }
    }
    return out;
}

Outcome<PreorderBatch> rerooted(const GeneForest& f, std::span<const std::uint64_t> trees,
                                std::span<const std::uint64_t> edges, Interrupt& interrupt) {
    if (check_forest(f)) return value_error("gene trees are malformed");
    if (trees.size() != edges.size()) return value_error("one edge per tree is needed");
    const std::uint64_t n_trees = f.offsets.size() - 1;
    PreorderBatch out;
    Unrooted u;
    struct Item {
        std::int64_t node, from, parent;
    };
    std::vector<Item> stack;
    for (std::size_t i = 0; i < trees.size(); ++i) {
        if (interrupt.poll_now()) return interrupted();
        if (trees[i] >= n_trees) return value_error("tree " + std::to_string(trees[i]) + " is out of range");
        u.load(f, trees[i]);
        const std::uint64_t count = u.edge_count() == 0 ? 1 : u.edge_count();
        if (edges[i] >= count) {
            return value_error("edge " + std::to_string(edges[i]) + " of tree " + std::to_string(trees[i]) +
                               " is out of range");
        }
        const auto base = static_cast<std::int64_t>(out.parent.size());
        if (u.edge_count() == 0) {
            out.parent.push_back(-1);
            out.origin.push_back(0);
        } else {
            const auto [x, y] = u.edge(edges[i]);
            out.parent.push_back(-1);
            out.origin.push_back(u.rooted() && edges[i] == 0 ? 0 : -1);
            // Pre-order: the x side, then the y side; children in neighbour order.
            stack.clear();
            stack.push_back({y, x, 0});
            stack.push_back({x, y, 0});
            while (!stack.empty()) {
                const Item it = stack.back();
                stack.pop_back();
                const auto idx = static_cast<std::int64_t>(out.parent.size()) - base;
                out.parent.push_back(it.parent);
                out.origin.push_back(it.node);
                for (int k = u.degree(it.node) - 1; k >= 0; --k) {
                    const std::int64_t z = u.neighbour(it.node, static_cast<std::uint8_t>(k));
                    if (z != it.from) stack.push_back({z, it.node, idx});
                }
            }
        }
        out.offsets.push_back(static_cast<std::int64_t>(out.parent.size()));
    }
    return out;
}

}  // namespace vornix::front
