// Scoring gene trees with the undated engine: per gene node, a constant part
// built from its children, then in-place sweeps over the species branches
// until the largest change is below the tolerance. Each lane works through
// one tree's internal nodes in order; tips are computed once per species.
//
// When the engine has branch offsets, constant parts and root terms are
// formed in Wide numbers (undated_wide.h) and the sweeps run in the frame of
// the engine's offsets, which keeps what reaches the species root. Under
// uniform origination the gene root's value on every branch counts alike, so
// gene roots are then swept in a frame of zero offsets, in a second group of
// lanes, a batch of waiting roots at a time.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "recolite/batch_walk.h"
#include "recolite/scaled.h"
#include "recolite/undated_engine.h"
#include "recolite/undated_sweep.h"
#include "recolite/undated_wide.h"

namespace vornix::recolite {

namespace {

using undated::Frame;
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
    std::int64_t sum_scale = 0;  // with branch offsets: of the sum and changes
};

// Lanes sweeping in one frame, with their jobs.
struct LaneGroup {
    SweepTables tables;
    Lanes lanes;
    LaneState state[kLanes];
    double* pending[kLanes] = {};

    LaneGroup(const UndatedEngine& e, Frame frame) : tables(e, std::move(frame)), lanes(e, tables) {}
};

class Scorer {
public:
    explicit Scorer(const UndatedEngine& e)
        : e_(e),
          main_(e, e.offset),
          groups_(e, main_.tables),
          node_size_(e.reldated ? 2 * e.n + 1 : e.n),
          tips_(e.n, nullptr),
          tip_scales_(e.n, 0),
          scratch_(e.n),
          means_(e.reldated ? 0 : 2 * e.n) {}

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
        roots_apart_ = e_.has_offsets() && origination == 1;
        const bool roots_apart = roots_apart_;
        if (roots_apart && roots_ == nullptr) roots_ = std::make_unique<LaneGroup>(e_, Frame(e_.n, 0));
        auto next_job = [&](int l) -> bool {
            if (!walk.next_node(runs[l], begin, finish)) return false;
            start_internal(main_, l, runs[l]);
            return true;
        };
        // With roots swept apart: the trees whose next node is their root,
        // swept a lane group at a time.
        std::vector<Run> waiting;
        bool stopped = false;
        auto next_job_roots_apart = [&](int l) -> bool {
            for (;;) {
                if (stopped || !walk.next_node(runs[l], begin, finish)) return false;
                Run& run = runs[l];
                if (run.cursor != run.tree->root()) {
                    start_internal(main_, l, run);
                    return true;
                }
                waiting.push_back(std::move(run));
                run = Run{};
                if (waiting.size() == static_cast<std::size_t>(kLanes) && !score_roots(waiting, finish, interrupt)) {
                    stopped = true;
                }
            }
        };
        auto node_done = [&](int l, std::int64_t scale) {
            Run& run = runs[l];
            run.nodes[run.cursor] = {main_.pending[l], scale, true};
            ++run.cursor;
        };
        bool done = roots_apart ? sweep_until_done(main_, next_job_roots_apart, interrupt, node_done)
                                : sweep_until_done(main_, next_job, interrupt, node_done);
        if (done && !stopped && !waiting.empty()) done = score_roots(waiting, finish, interrupt);
        if (!done || stopped) return vornix::interrupted();
        return out;
    }

private:
    struct Run : TreeRun {
        std::vector<NodeValues> nodes;
        std::vector<std::uint32_t> uses;  // parents still to read each node
    };

    // Runs a group's lanes until next_job finds no more work; done(lane,
    // scale) is told of each finished job, whose values are in
    // g.pending[lane]. False when the interrupt poll asked to stop.
    template <class NextJob, class Done>
    bool sweep_until_done(LaneGroup& g, NextJob& next_job, vornix::Interrupt& interrupt, Done&& done) {
        const bool offsets = e_.has_offsets();
        // Gene roots swept apart are nobody's child.
        const bool means = e_.reldated && &g == &main_;
        for (int l = 0; l < kLanes; ++l) {
            g.state[l].busy = next_job(l);
            if (!g.state[l].busy) g.lanes.clear(l);
        }
        for (;;) {
            bool any = false;
            for (int l = 0; l < kLanes; ++l) any = any || g.state[l].busy;
            if (!any) return true;
            if (interrupt.poll_now()) return false;
            double maxd[kLanes];
            g.lanes.sweep(maxd);
            for (int l = 0; l < kLanes; ++l) {
                LaneState& s = g.state[l];
                if (!s.busy) continue;
                ++s.sweeps;
                const std::int64_t change_scale = offsets ? s.sum_scale : s.scale;
                if (!below_unscaled(maxd[l], change_scale, kFixedPointTol) && s.sweeps < kMaxSweeps) continue;
                g.lanes.unload(l, g.pending[l]);
                if (means) {
                    g.pending[l][e_.n] = 0.0;
                    groups_.means(g.tables, e_.n, g.pending[l], g.pending[l] + e_.n + 1);
                }
                done(l, s.scale);
                s.busy = next_job(l);
                if (!s.busy) g.lanes.clear(l);
            }
        }
    }

    // Sweeps the roots of the waiting trees in the frame of zero offsets and
    // finishes those trees. False when the interrupt poll asked to stop.
    template <class Finish>
    bool score_roots(std::vector<Run>& waiting, Finish& finish, vornix::Interrupt& interrupt) {
        std::size_t next = 0;
        std::size_t lane_run[kLanes] = {};
        auto next_job = [&](int l) -> bool {
            if (next == waiting.size()) return false;
            lane_run[l] = next++;
            start_internal(*roots_, l, waiting[lane_run[l]]);
            return true;
        };
        const bool done = sweep_until_done(*roots_, next_job, interrupt, [&](int l, std::int64_t scale) {
            Run& run = waiting[lane_run[l]];
            run.nodes[run.cursor] = {roots_->pending[l], scale, true};
            ++run.cursor;
            finish(run);
        });
        waiting.clear();
        return done;
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

    // Puts a job into lane l of g: its constant part c (scaled by 2^scale,
    // and rescaled here when small) and output storage.
    void load(LaneGroup& g, int l, double* c, std::int64_t scale) {
        double c_max = 0.0;
        for (std::size_t b = 0; b < e_.n; ++b) c_max = std::max(c_max, std::fabs(c[b]));
        if (c_max > 0.0 && c_max < kRescaleBelow) {
            const int k = std::min(normalising_exponent(c_max), 1000);
            const double f = pow2(k);
            for (std::size_t b = 0; b < e_.n; ++b) c[b] *= f;
            scale += k;
        }
        g.lanes.load(l, c);
        g.state[l].sweeps = 0;
        g.state[l].scale = scale;
        g.pending[l] = acquire();
    }

    // With branch offsets: puts the job whose constant part is wide_.c into
    // lane l of g, at the scales that place it in g's frame.
    void load_wide(LaneGroup& g, int l) {
        const undated::JobScales s = undated::place_constant(g.tables.offset, wide_.c, scratch_.data());
        g.lanes.load(l, scratch_.data(), s.scale, s.sum_scale);
        g.state[l].sweeps = 0;
        g.state[l].scale = s.scale;
        g.state[l].sum_scale = s.sum_scale;
        g.pending[l] = acquire();
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
            if (e_.has_offsets()) {
                wide_.c.assign(e_.n, Wide{});
                wide_.c[lane_species[l]] = e_.w_spec;
                load_wide(main_, l);
                return true;
            }
            std::fill(scratch_.begin(), scratch_.end(), 0.0);
            scratch_[lane_species[l]] = e_.p_spec;
            load(main_, l, scratch_.data(), 0);
            return true;
        };
        return sweep_until_done(main_, next_job, interrupt, [&](int l, std::int64_t scale) {
            tips_[lane_species[l]] = main_.pending[l];
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

    // Starts the run's next node in lane l of g.
    void start_internal(LaneGroup& g, int l, Run& run) {
        const std::size_t u = run.cursor;
        const std::size_t w = static_cast<std::size_t>(run.tree->left[u]);
        const std::size_t z = static_cast<std::size_t>(run.tree->right[u]);
        const double* wv = run.nodes[w].data;
        const double* zv = run.nodes[z].data;
        if (e_.has_offsets()) {
            // Children are never gene roots: both are in the main frame.
            const undated::Children children{main_.tables.offset, wv, zv, run.nodes[w].scale, run.nodes[z].scale,
                                             wv + e_.n + 1, zv + e_.n + 1, &main_.tables.recipient_shift};
            undated::wide_internal_constant(e_, children, wide_);
            load_wide(g, l);
        } else {
            const double* wm = wv + e_.n + 1;
            const double* zm = zv + e_.n + 1;
            if (!e_.reldated && e_.p_transfer > 0.0) {
                undated::means_over_others(wv, e_.n, means_.data());
                undated::means_over_others(zv, e_.n, means_.data() + e_.n);
                wm = means_.data();
                zm = means_.data() + e_.n;
            }
            undated::internal_constant(e_, g.tables, wv, wm, zv, zm, scratch_.data());
            load(g, l, scratch_.data(), run.nodes[w].scale + run.nodes[z].scale);
        }
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
        if (e_.has_offsets()) {
            // A gene root swept apart is in the frame of zero offsets; a tip
            // in the main frame.
            const bool apart = roots_apart_ && !run.tree->is_leaf[run.tree->root()];
            const Frame& frame = apart ? roots_->tables.offset : main_.tables.offset;
            return wide_log(undated::wide_root_term(e_, frame, g.data, g.scale, origination));
        }
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
    LaneGroup main_;
    std::unique_ptr<LaneGroup> roots_;  // gene roots under uniform origination, with offsets
    bool roots_apart_ = false;          // the current call sweeps gene roots in roots_
    RecipientGroups groups_;
    // A node's storage: its values, and in reldated mode a 0 (at index n) and
    // the means of its values over each branch's recipients.
    std::size_t node_size_;
    std::vector<std::unique_ptr<double[]>> storage_;
    std::vector<double*> free_;
    std::vector<double*> tips_;  // by species
    std::vector<std::int64_t> tip_scales_;
    std::vector<double> scratch_;
    std::vector<double> means_;  // undated: the children's means over the other branches
    undated::WideScratch wide_;
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
