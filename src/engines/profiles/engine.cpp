#include "engines/profiles/engine.h"

#include <cmath>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace vornix::profiles {

namespace {

EventKind kind_of(double x, double c, double duplication, double dt, double dtl) {
    return x < duplication * c ? kDuplication : x < dt * c ? kTransfer : x < dtl * c ? kLoss : kOrigination;
}

// Events drawn ahead at most, and how many events ahead the genome fetches
// start: the index of the branch, then the chunk of the copy, then (for a
// transfer) the recipient's chunk.
constexpr std::size_t kBatch = 256;
constexpr std::size_t kWarmIndex = 6, kWarmChunk = 3, kWarmRecipient = 1;

// The memory budget is checked once per this many events (a power of two).
constexpr std::uint64_t kBudgetCheckPeriod = std::uint64_t{1} << 16;

// Speciations copy genomes and leaves drop them, interleaved in time; a few
// dropped genomes are kept so that copies reuse their storage instead of
// allocating. Few are kept, so memory stays that of the live genomes.
constexpr std::size_t kSpareGenomes = 8;

}  // namespace

template <class G>
Engine<G>::Engine(const SpeciesTree& tree, const TreeWalk& walk, const ProfileParams& params, std::uint64_t seed,
                  Interrupt interrupt)
    : tree_(tree),
      walk_(walk),
      genomes_(tree.n_nodes),
      present_(tree.n_nodes, 0),
      live_(tree.n_nodes),
      sampler_(tree.n_nodes),
      scratch_(tree.n_nodes),
      mode_(params.mode),
      duplication_(params.duplication),
      origination_(params.origination),
      dt_(params.duplication + params.transfer),
      dtl_(dt_ + params.loss),
      cap_(static_cast<std::uint64_t>(params.cap)),
      ahead_(!family_counts_matter(params.cap, params.mode)),
      copies_(tree.n_nodes, 0),
      rng_(Rng::seed_from_u64(seed)),
      max_events_(params.max_events),
      memory_budget_(params.memory_budget),
      params_(params),
      interrupt_(interrupt) {
    if (ahead_) steps_.resize(kBatch);
}

template <class G>
void Engine<G>::activate(NodeId v, G g) {
    genomes_[v] = std::move(g);
    present_[v] = 1;
    live_.add(v);
    copies_[v] = genomes_[v].copies();
    sampler_.set_weight(v, rate_of(copies_[v]));
}

template <class G>
void Engine<G>::deactivate(NodeId v) {
    sampler_.set_weight(v, 0.0);
    live_.remove(v);
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
typename Engine<G>::Stop Engine<G>::run_until(double end) {
    return ahead_ ? run_events_ahead(end) : run_events_in_order(end);
}

template <class G>
typename Engine<G>::Stop Engine<G>::before_event(double total) {
    if (!std::isfinite(total)) return Stop::RateOverflow;
    if (interrupt_.tick()) return Stop::Interrupted;
    if (memory_budget_ != 0 && (events_ & (kBudgetCheckPeriod - 1)) == 0 && genome_bytes() > memory_budget_) {
        return Stop::MemoryLimit;
    }
    return Stop::Reached;
}

template <class G>
typename Engine<G>::Stop Engine<G>::run_events_in_order(double end) {
    for (;;) {
        const double total = sampler_.total();
        if (const Stop s = before_event(total); s != Stop::Reached) return s;
        if (!(total > 0.0)) return Stop::Reached;
        const double dt = rng_.waiting_time(total);
        t_ = t_ + dt;
        if (!std::isfinite(dt) || t_ >= end) return Stop::Reached;  // the draw is spent, no event
        if (++events_ > max_events_) return Stop::EventLimit;
        const std::size_t b = sampler_.find_live(rng_.weighted_target(total));
        // No branch has a positive rate: the total is only a rounding residue
        // of rates that all went back to 0, so nothing can happen any more.
        if (b >= sampler_.size()) return Stop::Reached;
        if (const auto changed = event_on(static_cast<NodeId>(b))) {
            copies_[*changed] = genomes_[*changed].copies();
            sampler_.set_weight(*changed, rate_of(copies_[*changed]));
        }
    }
}

// The same draws as run_events_in_order and event_on, in the same order; a
// batch of events is drawn, then carried out.
template <class G>
typename Engine<G>::Stop Engine<G>::run_events_ahead(double end) {
    for (;;) {
        std::size_t n = 0;
        Stop stop = Stop::Reached;
        bool reached = false;
        while (n < kBatch) {
            const double total = sampler_.total();
            if ((stop = before_event(total)) != Stop::Reached) return stop;
            if (!(total > 0.0)) {
                reached = true;
                break;
            }
            const double dt = rng_.waiting_time(total);
            t_ = t_ + dt;
            if (!std::isfinite(dt) || t_ >= end) {
                reached = true;
                break;
            }
            if (++events_ > max_events_) return Stop::EventLimit;
            const std::size_t found = sampler_.find_live(rng_.weighted_target(total));
            if (found >= sampler_.size()) {
                reached = true;
                break;
            }
            const auto b = static_cast<NodeId>(found);
            const std::uint64_t copies = copies_[b];
            const double c = static_cast<double>(copies);
            const EventKind kind = kind_of(rng_.scaled_uniform(origination_ + dtl_ * c), c, duplication_, dt_, dtl_);
            Step& step = steps_[n];
            step.branch = b;
            step.kind = kind;
            step.placed = false;
            NodeId changed = b;
            if (kind == kOrigination) {
                step.what = next_family_++;
                ++copies_[b];
            } else {
                step.what = rng_.index_below(copies);
                if (kind == kTransfer) {
                    const auto q =
                        choose_recipient(rng_, live_.list(), live_.position(), b, tree_.parent, t_, tree_.time, mode_, scratch_);
                    if (!q) continue;  // nothing happens
                    step.recipient = changed = *q;
                    ++copies_[*q];
                } else if (kind == kDuplication) {
                    ++copies_[b];
                } else {
                    --copies_[b];
                }
            }
            sampler_.set_weight(changed, rate_of(copies_[changed]));
            ++n;
        }
        carry_out(n);
        if (reached) return Stop::Reached;
    }
}

template <class G>
std::uint64_t Engine<G>::genome_bytes() const {
    std::uint64_t bytes = (out_.leaf.capacity() + out_.count.capacity()) * sizeof(std::uint32_t) +
                          out_.family.capacity() * sizeof(std::uint64_t);
    for (const NodeId v : live_.list()) bytes += genomes_[v].memory();
    for (const G& g : spare_) bytes += g.memory();
    return bytes;
}

template <class G>
EngineError Engine<G>::failure(Stop why) const {
    switch (why) {
        case Stop::EventLimit:
            return runtime_error(kEventLimitMessage);
        case Stop::Interrupted:
            return interrupted();
        case Stop::RateOverflow: {
            FamilyParams rates;
            rates.duplication = params_.duplication;
            rates.transfer = params_.transfer;
            rates.loss = params_.loss;
            rates.origination = params_.call_origination < 0.0 ? params_.origination : params_.call_origination;
            return value_error(rate_overflow_message(rates));
        }
        default:
            return EngineError{ErrorKind::Memory, "the profile genomes outgrew their memory budget (" +
                                                      std::to_string(memory_budget_) + " bytes) after " +
                                                      std::to_string(events_) +
                                                      " events; families likely growing without bound"};
    }
}

template <class G>
void Engine<G>::warm(std::size_t k, std::size_t ahead) {
    Step& step = steps_[k];
    const G& g = genomes_[step.branch];
    const bool transfer = step.kind == kTransfer;
    if (ahead == kWarmIndex) {
        g.prefetch_index();
        if (transfer) genomes_[step.recipient].prefetch_lookup();
    } else if (step.kind == kOrigination) {
        // A new family goes to the end of the last chunk.
        if (ahead == kWarmChunk) g.prefetch_family_slot(step.what);
    } else if (ahead == kWarmChunk) {
        // The steps before this one may still take copies away.
        if (step.what < g.copies()) {
            step.place = g.place(step.what, transfer);
            step.placed = true;
        }
    } else if (transfer && step.placed) {
        genomes_[step.recipient].prefetch_family_slot(g.peek_family(step.place));
    }
}

template <class G>
void Engine<G>::carry_out(std::size_t n) {
    static_assert(kWarmRecipient < kWarmChunk && kWarmChunk < kWarmIndex);
    for (std::size_t k = 0; k < n; ++k) {
        if (k + kWarmIndex < n) warm(k + kWarmIndex, kWarmIndex);
        if (k + kWarmChunk < n) warm(k + kWarmChunk, kWarmChunk);
        if (k + kWarmRecipient < n) warm(k + kWarmRecipient, kWarmRecipient);
        const Step& step = steps_[k];
        G& g = genomes_[step.branch];
        if (step.kind == kOrigination) {
            g.add_copy_of(step.what);
            continue;
        }
        // The place found ahead still holds when none of the steps carried
        // out since changed this genome.
        bool fresh = step.placed;
        for (std::size_t j = k - kWarmChunk; fresh && j < k; ++j) fresh = !changes(steps_[j], step.branch);
        const typename G::Slot s = fresh ? g.slot(step.place) : g.family_at(step.what);
        switch (step.kind) {
            case kDuplication:
                g.add_copy(s);
                break;
            case kLoss:
                g.remove_copies(s, 1);
                break;
            default:
                genomes_[step.recipient].add_copy_of(g.family(s));
                break;
        }
    }
}

template <class G>
std::optional<NodeId> Engine<G>::event_on(NodeId b) {
    G& g = genomes_[b];
    g.prefetch_index();
    const double c = static_cast<double>(g.copies());
    const double x = rng_.scaled_uniform(origination_ + dtl_ * c);
    const EventKind kind = kind_of(x, c, duplication_, dt_, dtl_);
    if (kind == kOrigination) {
        g.add_copy_of(next_family_++);
        return b;
    }
    const std::uint64_t i = rng_.index_below(g.copies());
    if (kind == kTransfer) return transfer_from(b, i);
    const typename G::Slot s = g.family_at(i, kind == kLoss);
    if (kind == kLoss) {
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
    const auto q = choose_recipient(rng_, live_.list(), live_.position(), b, tree_.parent, t_, tree_.time, mode_, scratch_);
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
        if (const Stop s = run_until(tree_.time[v]); s != Stop::Reached) return failure(s);
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

std::uint64_t founding_genome_bytes(std::uint64_t families) { return NarrowGenome::bytes_for(families); }

namespace {

template <class G>
Outcome<CopyCounts> run_copy(const SpeciesTree& tree, const TreeWalk& walk, const ProfileParams& params,
                             std::uint64_t seed, std::uint64_t initial_size, Interrupt interrupt) {
    return Engine<G>(tree, walk, params, seed, interrupt).run(initial_size);
}

}  // namespace

Outcome<CopyCounts> run_profile_copy(const SpeciesTree& tree, const TreeWalk& walk, const ProfileParams& params,
                                     std::uint64_t seed, std::uint64_t initial_size, Interrupt interrupt) {
    try {
        // Every family number and every copy beyond the founding ones comes
        // from an event, so initial_size + max_events bounds both.
        constexpr std::uint64_t kCompactRange = std::uint64_t{1} << 31;
        if (params.max_events < kCompactRange && initial_size < kCompactRange - params.max_events) {
            try {
                return run_copy<NarrowGenome>(tree, walk, params, seed, initial_size, interrupt);
            } catch (const CountsOverflow&) {
                // Some chunk of some branch outgrew 16-bit counts: the same
                // copy again with 32-bit counts (the draws, and so the
                // result, are the same).
                return run_copy<CompactGenome>(tree, walk, params, seed, initial_size, interrupt);
            }
        }
        return run_copy<Genome>(tree, walk, params, seed, initial_size, interrupt);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return EngineError{ErrorKind::Memory, "out of memory in the profile engine: the genomes of a copy with " +
                                              std::to_string(initial_size) +
                                              " founding families outgrew the memory available"};
}

}  // namespace vornix::profiles
