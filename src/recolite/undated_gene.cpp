// The undated gene-tree recursion: per gene node, a constant part C built
// from its children, then in-place sweeps over the species branches until the
// largest change is below the tolerance.
//
// A sweep is a chain of dependent operations (a running sum feeds a division
// that feeds the running sum), so one node at a time is bound by latency.
// kLanes gene nodes, one from each of kLanes trees, are therefore swept
// together, their values interleaved branch by branch; each lane undergoes
// exactly the operations of a lone sweep, and each stops after its own last
// sweep.
#include <algorithm>
#include <cstring>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "recolite/scaled.h"
#include "recolite/simd.h"
#include "recolite/undated_engine.h"

namespace recolite {

namespace {

constexpr int kLanes = 16;

// Per-branch constants of the sweeps, fixed for the whole call.
struct SweepTables {
    std::vector<double> denominator;    // 1 - 2 p_dup E[b] - p_transfer mean E
    std::vector<double> transfer_in;    // p_transfer E[b]
    std::vector<double> ext_l, ext_r;   // E of the species children
    std::vector<std::uint32_t> child_l, child_r;
    std::vector<double> recipient_count;  // reldated: list lengths as doubles

    explicit SweepTables(const UndatedEngine& e) {
        const std::size_t n = e.n;
        double SE = 0.0;
        for (const double x : e.ext) SE += x;
        denominator.resize(n);
        transfer_in.resize(n);
        ext_l.assign(n, 0.0);
        ext_r.assign(n, 0.0);
        child_l.assign(n, 0);
        child_r.assign(n, 0);
        recipient_count.assign(n, 0.0);
        for (std::size_t b = 0; b < n; ++b) {
            double ebar = 0.0;
            if (e.reldated) {
                const std::size_t count = e.recipient_count(b);
                recipient_count[b] = static_cast<double>(count);
                if (count > 0) {
                    double s = 0.0;
                    for (std::size_t r = e.recipient_start[b]; r < e.recipient_start[b + 1]; ++r) {
                        s += e.ext[e.recipient_list[r]];
                    }
                    ebar = s / recipient_count[b];
                }
            } else if (n > 1) {
                ebar = (SE - e.ext[b]) / (static_cast<double>(n) - 1.0);
            }
            denominator[b] = (1.0 - (2.0 * e.p_dup) * e.ext[b]) - e.p_transfer * ebar;
            transfer_in[b] = e.p_transfer * e.ext[b];
            if (!e.is_leaf[b]) {
                child_l[b] = static_cast<std::uint32_t>(e.left[b]);
                child_r[b] = static_cast<std::uint32_t>(e.right[b]);
                ext_l[b] = e.ext[e.left[b]];
                ext_r[b] = e.ext[e.right[b]];
            }
        }
    }
};

// Means over recipient lists in reldated mode, eight lists at a time so that
// eight running sums advance together. The lists of branches 8i .. 8i+7 are
// interleaved and padded at their ends with the index n, whose value is 0:
// adding 0 to a sum that started at +0 leaves it unchanged, so each mean is
// the plain left-to-right one.
struct RecipientGroups {
    static constexpr int kWidth = 8;
    std::vector<std::size_t> start;    // group i: index[start[i] .. start[i+1]), kWidth per step
    std::vector<std::uint32_t> index;

    explicit RecipientGroups(const UndatedEngine& e) {
        if (!e.reldated) return;
        const std::size_t n = e.n;
        start.push_back(0);
        for (std::size_t b0 = 0; b0 < n; b0 += kWidth) {
            std::size_t longest = 0;
            for (std::size_t b = b0; b < std::min(n, b0 + kWidth); ++b) longest = std::max(longest, e.recipient_count(b));
            for (std::size_t k = 0; k < longest; ++k) {
                for (std::size_t i = 0; i < kWidth; ++i) {
                    const std::size_t b = b0 + i;
                    const bool real = b < n && k < e.recipient_count(b);
                    index.push_back(real ? e.recipient_list[e.recipient_start[b] + k] : static_cast<std::uint32_t>(n));
                }
            }
            start.push_back(index.size());
        }
    }

    // mean[b] = mean of x over b's recipients (0 for none); x[n] must be 0.
    void means(const SweepTables& t, std::size_t n, const double* x, double* mean) const {
        for (std::size_t g = 0; g + 1 < start.size(); ++g) {
            double acc[kWidth] = {};
            for (std::size_t at = start[g]; at < start[g + 1]; at += kWidth) {
                for (int i = 0; i < kWidth; ++i) acc[i] += x[index[at + i]];
            }
            for (std::size_t i = 0; i < kWidth && g * kWidth + i < n; ++i) {
                const std::size_t b = g * kWidth + i;
                mean[b] = t.recipient_count[b] == 0.0 ? 0.0 : acc[i] / t.recipient_count[b];
            }
        }
    }
};

// The constant part of an internal gene node with children values w and z
// (both at their own scales): duplication on b (both orders), speciation at
// b, and one child transferred in from another branch. In reldated mode wm
// and zm are the children's means over each branch's recipients.
void internal_constant(const UndatedEngine& e, const SweepTables& t, const double* w, const double* wm,
                       const double* z, const double* zm, double* c) {
    const std::size_t n = e.n;
    double sw = 0.0, sz = 0.0;
    if (!e.reldated) {
        for (std::size_t b = 0; b < n; ++b) sw += w[b];
        for (std::size_t b = 0; b < n; ++b) sz += z[b];
    }
    const double dup2 = 2.0 * e.p_dup;
    const double nm1 = static_cast<double>(n) - 1.0;
    for (std::size_t b = 0; b < n; ++b) {
        double v = (dup2 * w[b]) * z[b];
        if (!e.is_leaf[b]) {
            const std::uint32_t l = t.child_l[b], r = t.child_r[b];
            v = v + e.p_spec * (w[l] * z[r] + w[r] * z[l]);
        }
        if (e.p_transfer > 0.0) {
            double w_other = 0.0, z_other = 0.0;
            if (e.reldated) {
                w_other = wm[b];
                z_other = zm[b];
            } else if (n > 1) {
                w_other = (sw - w[b]) / nm1;
                z_other = (sz - z[b]) / nm1;
            }
            v = v + e.p_transfer * (z[b] * w_other + w[b] * z_other);
        }
        c[b] = v;
    }
}

constexpr int kGroups = kLanes / 4;

inline Vec4 abs4(Vec4 x) { return x < 0.0 ? -x : x; }

// One sweep over every branch for all lanes (values p and constant parts c,
// branch-major: entry b * kLanes + lane); stores each lane's largest change.
// Compiled for two instruction sets; vectors cross the call through memory
// only, since the two pass them differently.
template <bool Reldated>
RECOLITE_DISPATCH void sweep_lanes(const UndatedEngine& e, const SweepTables& t,
                                                                   double* p, const double* c,
                                                                   double* largest_change) {
    const std::size_t n = e.n;
    const double nm1 = static_cast<double>(n) - 1.0;
    const double p_spec = e.p_spec;
    Vec4 sp[kGroups] = {}, maxd[kGroups] = {};
    if (!Reldated) {
        for (std::size_t b = 0; b < n; ++b) {
            for (int g = 0; g < kGroups; ++g) sp[g] += load4(p + b * kLanes + 4 * g);
        }
    }
    for (std::size_t b = 0; b < n; ++b) {
        double* const pb = p + b * kLanes;
        Vec4 pbar[kGroups] = {};
        if (Reldated) {
            const std::size_t rs = e.recipient_start[b], re = e.recipient_start[b + 1];
            if (rs != re) {
                Vec4 acc[kGroups] = {};
                for (std::size_t r = rs; r < re; ++r) {
                    const double* q = p + std::size_t{e.recipient_list[r]} * kLanes;
                    for (int g = 0; g < kGroups; ++g) acc[g] += load4(q + 4 * g);
                }
                for (int g = 0; g < kGroups; ++g) pbar[g] = acc[g] / t.recipient_count[b];
            }
        } else if (n > 1) {
            for (int g = 0; g < kGroups; ++g) pbar[g] = (sp[g] - load4(pb + 4 * g)) / nm1;
        }
        Vec4 sl[kGroups] = {};
        if (!e.is_leaf[b]) {
            const double* pl = p + std::size_t{t.child_l[b]} * kLanes;
            const double* pr = p + std::size_t{t.child_r[b]} * kLanes;
            const double er = t.ext_r[b], el = t.ext_l[b];
            for (int g = 0; g < kGroups; ++g) sl[g] = p_spec * (load4(pl + 4 * g) * er + load4(pr + 4 * g) * el);
        }
        const double* cb = c + b * kLanes;
        const double ti = t.transfer_in[b], den = t.denominator[b];
        for (int g = 0; g < kGroups; ++g) {
            const Vec4 old = load4(pb + 4 * g);
            const Vec4 next = ((sl[g] + load4(cb + 4 * g)) + pbar[g] * ti) / den;
            store4(pb + 4 * g, next);
            const Vec4 d = next - old;
            if (!Reldated) sp[g] = sp[g] + d;
            const Vec4 ad = abs4(d);
            maxd[g] = ad > maxd[g] ? ad : maxd[g];
        }
    }
    for (int g = 0; g < kGroups; ++g) store4(largest_change + 4 * g, maxd[g]);
}

// kLanes nodes in flight: their values and constant parts, branch-major.
class Lanes {
public:
    Lanes(const UndatedEngine& e, const SweepTables& t) : e_(e), t_(t), p_(e.n * kLanes), c_(e.n * kLanes) {}

    void load(int lane, const double* c) {
        for (std::size_t b = 0; b < e_.n; ++b) {
            p_[b * kLanes + lane] = 0.0;
            c_[b * kLanes + lane] = c[b];
        }
    }

    void unload(int lane, double* out) const {
        for (std::size_t b = 0; b < e_.n; ++b) out[b] = p_[b * kLanes + lane];
    }

    void sweep(double* largest_change) {
        if (e_.reldated) {
            sweep_lanes<true>(e_, t_, p_.data(), c_.data(), largest_change);
        } else {
            sweep_lanes<false>(e_, t_, p_.data(), c_.data(), largest_change);
        }
    }

private:
    const UndatedEngine& e_;
    const SweepTables& t_;
    std::vector<double> p_, c_;  // branch-major: entry b * kLanes + lane
};

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

    std::vector<double> score(const std::vector<GeneTree>& trees, std::uint8_t origination) {
        compute_tips(trees);
        std::vector<double> out(trees.size(), 0.0);
        std::vector<Run> runs(kLanes);
        std::size_t next_tree = 0;
        // Each lane works through one tree's internal nodes in order; a tree
        // whose nodes are done is scored and the lane takes the next tree.
        auto next_job = [&](int l) -> bool {
            Run& run = runs[l];
            for (;;) {
                if (run.tree != nullptr) {
                    while (run.cursor < run.tree->m && run.tree->is_leaf[run.cursor]) ++run.cursor;
                    if (run.cursor < run.tree->m) {
                        start_internal(l, run);
                        return true;
                    }
                    out[run.index] = root_loglik(run, origination);
                    finish(run);
                }
                if (next_tree == trees.size()) return false;
                begin(run, trees[next_tree], next_tree);
                ++next_tree;
            }
        };
        sweep_until_done(next_job, [&](int l, const double*, std::int64_t) {
            Run& run = runs[l];
            run.nodes[run.cursor] = {pending_[l], state_[l].scale, true};
            ++run.cursor;
        });
        return out;
    }

private:
    struct Run {
        const GeneTree* tree = nullptr;
        std::size_t index = 0;
        std::size_t cursor = 0;
        std::vector<NodeValues> nodes;
        std::vector<std::uint32_t> uses;  // parents still to read each node
    };

    // Runs lanes until next_job finds no more work; done(lane, values, scale)
    // is told of each finished job, whose values are in pending_[lane].
    template <class NextJob, class Done>
    void sweep_until_done(NextJob& next_job, Done&& done) {
        for (int l = 0; l < kLanes; ++l) state_[l].busy = next_job(l);
        for (;;) {
            bool any = false;
            for (int l = 0; l < kLanes; ++l) any = any || state_[l].busy;
            if (!any) return;
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
    void compute_tips(const std::vector<GeneTree>& trees) {
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
        sweep_until_done(next_job, [&](int l, const double* values, std::int64_t scale) {
            tips_[lane_species[l]] = const_cast<double*>(values);
            tip_scales_[lane_species[l]] = scale;
        });
    }

    void begin(Run& run, const GeneTree& tree, std::size_t index) {
        run.tree = &tree;
        run.index = index;
        run.cursor = 0;
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
        internal_constant(e_, tables_, wv, wv + e_.n + 1, zv, zv + e_.n + 1, scratch_.data());
        load(l, scratch_.data(), run.nodes[w].scale + run.nodes[z].scale);
        // The children are read once per naming parent; the root's vector
        // stays for the root term.
        for (const std::size_t c : {w, z}) {
            if (--run.uses[c] == 0) release(run.nodes[c]);
        }
    }

    void finish(Run& run) {
        for (NodeValues& v : run.nodes) release(v);
        run.tree = nullptr;
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
    return scorer.score({tree}, origination)[0];
}

std::vector<double> UndatedEngine::batch_loglik(const GeneBatch& batch, std::uint8_t origination) const {
    std::vector<GeneTree> trees;
    trees.reserve(batch.tree_count());
    for (std::size_t i = 0; i < batch.tree_count(); ++i) trees.push_back(tree_at(batch, i));
    Scorer scorer(*this);
    return scorer.score(trees, origination);
}

}  // namespace recolite
