// Scoring gene trees with the undated engine: per gene node, a constant part
// built from its children, then in-place sweeps over the species branches
// until the largest change is below the tolerance. Each lane works through
// one tree's internal nodes in order; tips are computed once per species.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "recolite/batch_walk.h"
#include "recolite/scaled.h"
#include "recolite/undated_engine.h"
#include "recolite/undated_sweep.h"

namespace vornix::recolite {

namespace {

using undated::kLanes;
using undated::Lanes;
using undated::RecipientGroups;
using undated::SweepTables;

// A computed gene node: its values (n entries) and scale.
struct NodeValues {
    double* data = nullptr;
    std::int64_t scale = 0;
    bool owned = false;  // false for the shared values of a tip
};

// A job for one lane: the constant part is in place, the values start at 0.
struct LaneState {
    bool busy = false;
    int sweeps = 0;
    std::int64_t scale = 0;
};

class Scorer {
public:
    explicit Scorer(const UndatedEngine& e)
        : e_(e),
          tables_(e),
          groups_(e),
          lanes_(e, tables_),
          node_size_(e.reldated ? 2 * e.n + 1 : e.n),
          tips_(e.n, nullptr),
          tip_scales_(e.n, 0),
          scratch_(e.n) {}

    // The scores of the trees in order; interrupted() when the poll asks to
    // stop (checked before every sweep).
    vornix::Outcome<std::vector<double>> score(const std::vector<GeneTree>& trees, std::uint8_t origination,
                                               vornix::Interrupt& interrupt) {
        if (!compute_tips(trees, interrupt)) return vornix::interrupted();
        std::vector<double> out(trees.size(), 0.0);
        std::vector<Run> runs(kLanes);
        BatchWalk walk(trees);
        auto begin = [&](Run& run) { this->begin(run); };
        auto finish = [&](Run& run) {
            out[run.index] = root_loglik(run, origination);
            release_all(run);
        };
        auto next_job = [&](int l) -> bool {
            if (!walk.next_node(runs[l], begin, finish)) return false;
            start_internal(l, runs[l]);
            return true;
        };
        const bool done = sweep_until_done(next_job, interrupt, [&](int l, const double*, std::int64_t) {
            Run& run = runs[l];
            run.nodes[run.cursor] = {pending_[l], state_[l].scale, true};
            ++run.cursor;
        });
        if (!done) return vornix::interrupted();
        return out;
    }

private:
    struct Run : TreeRun {
        std::vector<NodeValues> nodes;
        std::vector<std::uint32_t> uses;  // parents still to read each node
    };

    // Runs lanes until next_job finds no more work; done(lane, values, scale)
    // is told of each finished job, whose values are in pending_[lane].
    // False when the interrupt poll asked to stop.
    template <class NextJob, class Done>
    bool sweep_until_done(NextJob& next_job, vornix::Interrupt& interrupt, Done&& done) {
        for (int l = 0; l < kLanes; ++l) {
            state_[l].busy = next_job(l);
            if (!state_[l].busy) lanes_.clear(l);
        }
        for (;;) {
            bool any = false;
            for (int l = 0; l < kLanes; ++l) any = any || state_[l].busy;
            if (!any) return true;
            if (interrupt.poll_now()) return false;
            double maxd[kLanes];
            lanes_.sweep(maxd);
            for (int l = 0; l < kLanes; ++l) {
                LaneState& s = state_[l];
                if (!s.busy) continue;
                ++s.sweeps;
                if (!below_unscaled(maxd[l], s.scale, kFixedPointTol) && s.sweeps < kMaxSweeps) continue;
                lanes_.unload(l, pending_[l]);
                if (e_.reldated) {
                    pending_[l][e_.n] = 0.0;
                    groups_.means(tables_, e_.n, pending_[l], pending_[l] + e_.n + 1);
                }
                done(l, pending_[l], s.scale);
                s.busy = next_job(l);
                if (!s.busy) lanes_.clear(l);
            }
        }
    }

    double* acquire() {
        if (!free_.empty()) {
            double* d = free_.back();
            free_.pop_back();
            return d;
        }
        storage_.push_back(std::make_unique<double[]>(node_size_));
        return storage_.back().get();
    }

    void release(NodeValues& v) {
        if (v.owned && v.data != nullptr) free_.push_back(v.data);
        v = NodeValues{};
    }

    // Puts a job into lane l: its constant part c (scaled by 2^scale, and
    // rescaled here when small) and output storage.
    void load(int l, double* c, std::int64_t scale) {
        double c_max = 0.0;
        for (std::size_t b = 0; b < e_.n; ++b) c_max = std::max(c_max, std::fabs(c[b]));
        if (c_max > 0.0 && c_max < kRescaleBelow) {
            const int k = std::min(normalising_exponent(c_max), 1000);
            const double f = pow2(k);
            for (std::size_t b = 0; b < e_.n; ++b) c[b] *= f;
            scale += k;
        }
        lanes_.load(l, c);
        state_[l].sweeps = 0;
        state_[l].scale = scale;
        pending_[l] = acquire();
    }

    // The values of a tip in each species of the batch, computed once.
    bool compute_tips(const std::vector<GeneTree>& trees, vornix::Interrupt& interrupt) {
        std::vector<std::uint32_t> wanted;
        std::vector<std::uint8_t> seen(e_.n, 0);
        for (const GeneTree& tree : trees) {
            for (std::size_t u = 0; u < tree.m; ++u) {
                if (!tree.is_leaf[u]) continue;
                const std::size_t s = static_cast<std::size_t>(tree.species[u]);
                if (!seen[s]) {
                    seen[s] = 1;
                    wanted.push_back(static_cast<std::uint32_t>(s));
                }
            }
        }
        std::size_t next = 0;
        std::uint32_t lane_species[kLanes] = {};
        auto next_job = [&](int l) -> bool {
            if (next == wanted.size()) return false;
            lane_species[l] = wanted[next++];
            std::fill(scratch_.begin(), scratch_.end(), 0.0);
            scratch_[lane_species[l]] = e_.p_spec;
            load(l, scratch_.data(), 0);
            return true;
        };
        return sweep_until_done(next_job, interrupt, [&](int l, const double* values, std::int64_t scale) {
            tips_[lane_species[l]] = const_cast<double*>(values);
            tip_scales_[lane_species[l]] = scale;
        });
    }

    void begin(Run& run) {
        const GeneTree& tree = *run.tree;
        run.nodes.assign(tree.m, NodeValues{});
        run.uses.assign(tree.m, 0);
        for (std::size_t u = 0; u < tree.m; ++u) {
            if (tree.is_leaf[u]) {
                const std::size_t s = static_cast<std::size_t>(tree.species[u]);
                run.nodes[u] = {tips_[s], tip_scales_[s], false};
            } else {
                ++run.uses[tree.left[u]];
                ++run.uses[tree.right[u]];
            }
        }
    }

    void start_internal(int l, Run& run) {
        const std::size_t u = run.cursor;
        const std::size_t w = static_cast<std::size_t>(run.tree->left[u]);
        const std::size_t z = static_cast<std::size_t>(run.tree->right[u]);
        const double* wv = run.nodes[w].data;
        const double* zv = run.nodes[z].data;
        undated::internal_constant(e_, tables_, wv, wv + e_.n + 1, zv, zv + e_.n + 1, scratch_.data());
        load(l, scratch_.data(), run.nodes[w].scale + run.nodes[z].scale);
        // The children are read once per naming parent; the root's vector
        // stays for the root term.
        for (const std::size_t c : {w, z}) {
            if (--run.uses[c] == 0) release(run.nodes[c]);
        }
    }

    void release_all(Run& run) {
        for (NodeValues& v : run.nodes) release(v);
    }

    double root_loglik(const Run& run, std::uint8_t origination) const {
        const NodeValues& g = run.nodes[run.tree->root()];
        double L;
        if (origination == 1) {
            double sum = 0.0;
            for (std::size_t b = 0; b < e_.n; ++b) sum += g.data[b];
            L = sum / static_cast<double>(e_.n);
        } else {
            L = g.data[e_.root];
        }
        return scaled_log(L, g.scale);
    }

    const UndatedEngine& e_;
    SweepTables tables_;
    RecipientGroups groups_;
    Lanes lanes_;
    // A node's storage: its values, and in reldated mode a 0 (at index n)
    // and the means of its values over each branch's recipients.
    std::size_t node_size_;
    LaneState state_[kLanes];
    double* pending_[kLanes] = {};
    std::vector<std::unique_ptr<double[]>> storage_;
    std::vector<double*> free_;
    std::vector<double*> tips_;  // by species
    std::vector<std::int64_t> tip_scales_;
    std::vector<double> scratch_;
};

}  // namespace

double UndatedEngine::gene_loglik(const GeneTree& tree, std::uint8_t origination) const {
    Scorer scorer(*this);
    vornix::Interrupt never;
    return scorer.score({tree}, origination, never).value()[0];
}

vornix::Outcome<std::vector<double>> UndatedEngine::batch_loglik(const GeneBatch& batch, std::uint8_t origination,
                                                                 vornix::Interrupt& interrupt) const {
    const std::vector<GeneTree> trees = batch_trees(batch);
    Scorer scorer(*this);
    return scorer.score(trees, origination, interrupt);
}

}  // namespace vornix::recolite
