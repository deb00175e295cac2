// Scoring gene trees with the dated engine: tip values computed once per
// species, node storage recycled, up to kLanes trees advancing together, and
// the root term.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "recolite/batch_walk.h"
#include "recolite/dated_engine.h"
#include "recolite/dated_kernel.h"
#include "recolite/scaled.h"

namespace vornix::recolite {

namespace {

using dated::kLanes;
using dated::Lane;
using dated::NodeBuffer;
using dated::NodeView;
using dated::Tables;

// A computed gene node.
struct NodeValues {
    NodeBuffer* buffer = nullptr;
    bool uniform = true;  // one scale for all its values (then every slice's)
    bool owned = false;   // false for the shared values of a tip
};

// The scale at which the largest of the terms (in true terms) is near 1; the
// first term's scale when none is a finite nonzero value.
std::int64_t common_scale(const std::vector<Scaled>& terms) {
    bool any = false;
    std::int64_t largest = 0;  // binary exponent of the largest true value
    for (const Scaled& t : terms) {
        if (t.value == 0.0 || !std::isfinite(t.value)) continue;
        const std::int64_t e = true_exponent(t.value, t.scale);
        if (!any || e > largest) largest = e;
        any = true;
    }
    return any ? -largest : (terms.empty() ? 0 : terms.front().scale);
}

// Scores trees against one engine: tip values are computed once per species,
// node storage is recycled, and up to kLanes trees advance together.
class Scorer {
public:
    explicit Scorer(const Engine& e) : e_(e), tables_(e), tips_(e.n + 1) {}

    // The scores of the trees in order; interrupted() when the poll asks to
    // stop (checked before every round of up to kLanes nodes).
    vornix::Outcome<std::vector<double>> score(const std::vector<GeneTree>& trees, std::uint8_t origination,
                                               vornix::Interrupt& interrupt) {
        std::vector<double> out(trees.size(), 0.0);
        BatchWalk walk(trees);
        Run slots[kLanes];
        Lane lanes[kLanes];
        Run* lane_run[kLanes];
        auto begin = [&](Run& run) { start(run); };
        auto finish = [&](Run& run) {
            out[run.index] = root_loglik(run, origination);
            release_all(run);
        };
        for (;;) {
            int count = 0;
            for (Run& run : slots) {
                if (!walk.next_node(run, begin, finish)) continue;
                lane_run[count] = &run;
                prepare(lanes[count], run);
                ++count;
            }
            if (count == 0) break;
            // Everything held lives in the scorer and goes with it.
            if (interrupt.poll_now()) return vornix::interrupted();
            dated::run_lanes(tables_, lanes, count, true);
            for (int l = 0; l < count; ++l) complete(*lane_run[l], lanes[l]);
        }
        return out;
    }

private:
    struct Run : TreeRun {
        std::vector<NodeValues> nodes;
    };

    NodeView view(NodeBuffer* b) const {
        NodeView v;
        v.grid = b->values.get();
        v.sums = v.grid + tables_.grid_size;
        v.top = v.sums + tables_.sum_size;
        v.row_scale = b->scales.get();
        v.top_scale = v.row_scale + tables_.row_count;
        return v;
    }

    // Fresh storage with all tops at 0 (a branch in no slice keeps 0), and
    // every top's scale at the node's starting one: while the node keeps one
    // scale, top scales are not written.
    NodeBuffer* acquire(std::int64_t base_scale) {
        NodeBuffer* b;
        if (!free_.empty()) {
            b = free_.back();
            free_.pop_back();
        } else {
            storage_.push_back(std::make_unique<NodeBuffer>());
            b = storage_.back().get();
            b->values = std::make_unique<double[]>(tables_.grid_size + tables_.sum_size + tables_.top_size);
            b->scales = std::make_unique<std::int64_t[]>(tables_.row_count + tables_.top_size);
        }
        const NodeView v = view(b);
        std::fill(v.top, v.top + tables_.top_size, 0.0);
        std::fill(v.top_scale, v.top_scale + tables_.top_size, base_scale);
        return b;
    }

    void release(NodeValues& v) {
        if (v.owned && v.buffer != nullptr) free_.push_back(v.buffer);
        v = NodeValues{};
    }

    // The values of a tip in species s, computed on first use.
    NodeValues tip(std::int64_t s) {
        const std::int64_t key = (s >= 0 && static_cast<std::uint64_t>(s) < e_.n && e_.is_leaf[s]) ? s : -1;
        NodeValues& slot = tips_[static_cast<std::size_t>(key + 1)];
        if (slot.buffer == nullptr) {
            slot.buffer = acquire(0);
            Lane lane;
            lane.buffer = slot.buffer;
            lane.out = view(slot.buffer);
            lane.species = key;
            dated::run_lanes(tables_, &lane, 1, false);
            slot.uniform = lane.uniform;
        }
        return slot;
    }

    void start(Run& run) {
        const GeneTree& tree = *run.tree;
        run.nodes.assign(tree.m, NodeValues{});
        for (std::size_t u = 0; u < tree.m; ++u) {
            if (tree.is_leaf[u]) run.nodes[u] = tip(tree.species[u]);
        }
    }

    void prepare(Lane& lane, Run& run) {
        const std::size_t u = run.cursor;
        const NodeValues& w = run.nodes[run.tree->left[u]];
        const NodeValues& z = run.nodes[run.tree->right[u]];
        lane = Lane{};
        lane.w = view(w.buffer);
        lane.z = view(z.buffer);
        lane.children_uniform = w.uniform && z.uniform;
        lane.scale = tables_.slices.empty() ? 0 : lane.w.row_scale[0] + lane.z.row_scale[0];
        lane.buffer = acquire(lane.scale);
        lane.out = view(lane.buffer);
    }

    void complete(Run& run, const Lane& lane) {
        const std::size_t u = run.cursor;
        run.nodes[u] = {lane.buffer, lane.uniform, true};
        if (u != run.tree->root()) {
            // The children's values are needed by no one else; the root's
            // children stay for the root term.
            release(run.nodes[run.tree->left[u]]);
            release(run.nodes[run.tree->right[u]]);
        }
        ++run.cursor;
    }

    void release_all(Run& run) {
        for (NodeValues& v : run.nodes) release(v);
    }

    double root_loglik(const Run& run, std::uint8_t origination) const {
        const GeneTree& tree = *run.tree;
        const std::size_t g = tree.root();
        const NodeValues& gv = run.nodes[g];
        const NodeView G = view(gv.buffer);
        const bool internal = !tree.is_leaf[g];
        NodeView W, Z;
        bool uniform = gv.uniform;
        if (internal) {
            W = view(run.nodes[tree.left[g]].buffer);
            Z = view(run.nodes[tree.right[g]].buffer);
            uniform = uniform && run.nodes[tree.left[g]].uniform && run.nodes[tree.right[g]].uniform;
        }
        if (origination == 1) {
            const double count = static_cast<double>(tables_.uniform_branches.size());
            if (uniform) {
                double sum = 0.0;
                for (const std::uint32_t b : tables_.uniform_branches) sum += G.top[b];
                return scaled_log(sum / count, base_scale(G));
            }
            std::vector<Scaled> terms;
            for (const std::uint32_t b : tables_.uniform_branches) terms.push_back({G.top[b], G.top_scale[b]});
            const std::int64_t common = common_scale(terms);
            double sum = 0.0;
            for (const Scaled& t : terms) sum += at_scale(t, common);
            return scaled_log(sum / count, common);
        }
        const std::size_t l = static_cast<std::size_t>(e_.left[e_.root]);
        const std::size_t s = static_cast<std::size_t>(e_.right[e_.root]);
        if (uniform) {
            double L = e_.ext_top[s] * G.top[l] + e_.ext_top[l] * G.top[s];
            if (internal) L = L + (W.top[l] * Z.top[s] + W.top[s] * Z.top[l]);
            return scaled_log(L, base_scale(G));
        }
        // Each product at its own scale, summed in the same order at a common
        // one: (a + b) + (c + d).
        std::vector<Scaled> parts = {scaled_product(e_.ext_top[s], 0, G.top[l], G.top_scale[l]),
                                     scaled_product(e_.ext_top[l], 0, G.top[s], G.top_scale[s])};
        if (internal) {
            parts.push_back(scaled_product(W.top[l], W.top_scale[l], Z.top[s], Z.top_scale[s]));
            parts.push_back(scaled_product(W.top[s], W.top_scale[s], Z.top[l], Z.top_scale[l]));
        }
        const std::int64_t common = common_scale(parts);
        double L = at_scale(parts[0], common) + at_scale(parts[1], common);
        if (internal) L = L + (at_scale(parts[2], common) + at_scale(parts[3], common));
        return scaled_log(L, common);
    }

    // The scale of a node with one scale throughout.
    std::int64_t base_scale(const NodeView& v) const { return tables_.slices.empty() ? 0 : v.row_scale[0]; }

    const Engine& e_;
    Tables tables_;
    std::vector<std::unique_ptr<NodeBuffer>> storage_;
    std::vector<NodeBuffer*> free_;
    std::vector<NodeValues> tips_;  // by species + 1
};

}  // namespace

double Engine::gene_loglik(const GeneTree& tree, std::uint8_t origination) const {
    Scorer scorer(*this);
    vornix::Interrupt never;
    return scorer.score({tree}, origination, never).value()[0];
}

vornix::Outcome<std::vector<double>> Engine::batch_loglik(const GeneBatch& batch, std::uint8_t origination,
                                                          vornix::Interrupt& interrupt) const {
    const std::vector<GeneTree> trees = batch_trees(batch);
    Scorer scorer(*this);
    return scorer.score(trees, origination, interrupt);
}

}  // namespace vornix::recolite
