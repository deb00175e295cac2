#include "engines/profiles/engine.h"

#include <cmath>
#include <string>
#include <utility>

namespace vornix::profiles {

namespace {

enum class Kind { Duplication, Transfer, Loss, Origination };

// Speciations copy genomes and leaves drop them, interleaved in time; a few
// dropped genomes are kept so that copies reuse their storage instead of
// allocating. Few are kept, so memory stays that of the live genomes.
constexpr std::size_t kSpareGenomes = 8;

}  // namespace

template <class G>
Engine<G>::Engine(const SpeciesTree& tree, const TreeWalk& walk, const ProfileParams& params, std::uint64_t seed)
    : tree_(tree),
      walk_(walk),
      genomes_(tree.n_nodes),
      present_(tree.n_nodes, 0),
      position_(tree.n_nodes, kNoNode),
      sampler_(tree.n_nodes),
      scratch_(tree.n_nodes),
      mode_(params.mode),
      duplication_(params.duplication),
      origination_(params.origination),
      dt_(params.duplication + params.transfer),
      dtl_(dt_ + params.loss),
      cap_(static_cast<std::uint64_t>(params.cap)),
      rng_(Rng::seed_from_u64(seed)),
      max_events_(params.max_events) {}

template <class G>
void Engine<G>::activate(NodeId v, G g) {
    genomes_[v] = std::move(g);
    present_[v] = 1;
    position_[v] = static_cast<NodeId>(active_.size());
    active_.push_back(v);
    sampler_.set_weight(v, rate_of(genomes_[v]));
}

template <class G>
void Engine<G>::deactivate(NodeId v) {
    sampler_.set_weight(v, 0.0);
    const NodeId k = position_[v];
    const NodeId last = active_.back();
    active_[k] = last;
    if (last != v) position_[last] = k;
    active_.pop_back();
    position_[v] = kNoNode;
}

template <class G>
G Engine<G>::copy_of(const G& g) {
    if (spare_.empty()) return G(g);
    G copy = std::move(spare_.back());
    spare_.pop_back();
    copy = g;
    return copy;
}

template <class G>
void Engine<G>::drop(G&& g) {
    if (spare_.size() < kSpareGenomes) spare_.push_back(std::move(g));
}

template <class G>
bool Engine<G>::run_until(double end) {
    for (;;) {
        const double total = sampler_.total();
        if (!(total > 0.0)) return true;
        const double dt = rng_.waiting_time(total);
        t_ = t_ + dt;
        if (!std::isfinite(dt) || t_ >= end) return true;  // the draw is spent, no event
        if (++events_ > max_events_) return false;
        const std::size_t b = sampler_.find_live(rng_.weighted_target(total));
        // No branch has a positive rate: the total is only a rounding residue
        // of rates that all went back to 0, so nothing can happen any more.
        if (b >= sampler_.size()) return true;
        if (const auto changed = event_on(static_cast<NodeId>(b))) {
            sampler_.set_weight(*changed, rate_of(genomes_[*changed]));
        }
    }
}

template <class G>
std::optional<NodeId> Engine<G>::event_on(NodeId b) {
    G& g = genomes_[b];
    g.prefetch_index();
    const double c = static_cast<double>(g.copies());
    const double x = rng_.scaled_uniform(origination_ + dtl_ * c);
    const Kind kind = x < duplication_ * c ? Kind::Duplication
                      : x < dt_ * c       ? Kind::Transfer
                      : x < dtl_ * c      ? Kind::Loss
                                          : Kind::Origination;
    if (kind == Kind::Origination) {
        g.add_copy_of(next_family_++);
        return b;
    }
    const std::uint64_t i = rng_.index_below(g.copies());
    if (kind == Kind::Transfer) return transfer_from(b, i);
    const typename G::Slot s = g.family_at(i, kind == Kind::Loss);
    if (kind == Kind::Loss) {
        g.remove_copies(s, 1);
    } else if (g.count(s) >= cap_) {
        return std::nullopt;  // a duplication at the cap changes nothing
    } else {
        g.add_copy(s);
    }
    return b;
}

template <class G>
std::optional<NodeId> Engine<G>::transfer_from(NodeId b, std::uint64_t i) {
    // The copy index was drawn first; the recipient draw follows. The
    // recipient does not depend on which family the copy belongs to, so it
    // is chosen before the donor's genome is searched, and the fetches of
    // both genomes overlap.
    const auto q = choose_recipient(rng_, active_, position_, b, tree_.parent, t_, tree_.time, mode_, scratch_);
    if (!q) return std::nullopt;
    G& r = genomes_[*q];
    r.prefetch_lookup();
    const G& g = genomes_[b];
    const typename G::Slot at = r.add_copy_of(g.family(g.family_at(i, true)));
    const std::uint64_t k = r.count(at);
    if (k > cap_) {
        r.remove_copies(at, static_cast<std::uint32_t>(k - cap_));
    } else if (k >= 2 && mode_.replacement > 0.0 && rng_.bernoulli(mode_.replacement)) {
        r.remove_copies(at, 1);  // the arriving copy replaces a resident one
    }
    return *q;
}

template <class G>
Outcome<CopyCounts> Engine<G>::run(std::uint64_t initial_size) {
    next_family_ = initial_size;
    const auto root_children = walk_.children.of(tree_.root);
    if (!root_children.empty()) {
        G root = G::founding(initial_size);
        for (std::size_t k = 0; k + 1 < root_children.size(); ++k) activate(root_children[k], copy_of(root));
        activate(root_children.back(), std::move(root));
    }
    t_ = tree_.time[tree_.root];

    std::uint32_t ordinal = 0;
    for (const NodeId v : walk_.order) {
        if (!run_until(tree_.time[v])) return runtime_error(kEventLimitMessage);
        if (!present_[v]) {
            return value_error("invalid species tree: node " + std::to_string(v) +
                               " is reached before its branch received genes (is it dated before its parent?)");
        }
        deactivate(v);
        G g = std::move(genomes_[v]);
        genomes_[v] = G();
        present_[v] = 0;
        if (tree_.extant_leaf[v]) {
            g.for_each([&](std::uint64_t family, std::uint32_t count) {
                out_.leaf.push_back(ordinal);
                out_.family.push_back(family);
                out_.count.push_back(count);
            });
            ++ordinal;
            drop(std::move(g));
        } else {
            const auto kids = walk_.children.of(v);
            if (kids.empty()) drop(std::move(g));  // an extinct leaf
            for (std::size_t k = 0; k < kids.size(); ++k) {
                activate(kids[k], k + 1 < kids.size() ? copy_of(g) : std::move(g));
            }
        }
        t_ = tree_.time[v];
    }
    out_.family_count = next_family_;
    out_.events = events_;
    return std::move(out_);
}

template class Engine<NarrowGenome>;
template class Engine<CompactGenome>;
template class Engine<Genome>;

Outcome<CopyCounts> run_profile_copy(const SpeciesTree& tree, const TreeWalk& walk, const ProfileParams& params,
                                     std::uint64_t seed, std::uint64_t initial_size) {
    // Every family number and every copy beyond the founding ones comes
    // from an event, so initial_size + max_events bounds both.
    constexpr std::uint64_t kCompactRange = std::uint64_t{1} << 31;
    if (params.max_events < kCompactRange && initial_size < kCompactRange - params.max_events) {
        try {
            return Engine<NarrowGenome>(tree, walk, params, seed).run(initial_size);
        } catch (const CountsOverflow&) {
            // Some chunk of some branch outgrew 16-bit counts: the same copy
            // again with 32-bit counts (the draws, and so the result, are
            // the same).
            return Engine<CompactGenome>(tree, walk, params, seed).run(initial_size);
        }
    }
    return Engine<Genome>(tree, walk, params, seed).run(initial_size);
}

}  // namespace vornix::profiles
