// The member definitions of the event-log engine, for the files that
// instantiate it, one genome layout each (engine_paired.cpp,
// engine_compact.cpp): one layout per file keeps the hot loop's record
// appends inlined as they would be with a single layout.
#pragma once

#include "engines/event_log/engine.h"

#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "model/rates.h"
#include "model/usable_memory.h"

namespace vornix::event_log {

// Helpers of the member definitions below (this header is included only by
// the files that instantiate the engine).
namespace engine_body {

// Bytes one record occupies in the nine columns.
constexpr std::uint64_t kRecordBytes = 1 + 4 + 8 * 7;
// The memory budget is checked once per this many events (a power of two).
constexpr std::uint64_t kBudgetCheckPeriod = std::uint64_t{1} << 16;

// Records and copies may use an eighth of the usable memory: the columns
// grow by doubling, and turning them into Python objects takes several times
// their size again.
inline std::uint64_t default_memory_budget() { return usable_memory_bytes() / 8; }

constexpr std::int64_t kNone = -1;

inline std::int64_t as_signed(std::uint64_t id) { return static_cast<std::int64_t>(id); }

}  // namespace engine_body

using namespace engine_body;

template <class G>
BasicLogEngine<G>::BasicLogEngine(const SpeciesTree& tree, const Children& children, const LogParams& params,
                     bool record_speciation, std::uint64_t max_events, std::uint64_t memory_budget,
                     Interrupt interrupt)
    : tree_(tree),
      children_(children),
      genomes_(tree.n_nodes),
      live_(tree.n_nodes),
      sampler_(tree.n_nodes),
      scratch_(tree.n_nodes),
      mode_(params.mode),
      duplication_(params.duplication),
      origination_(params.origination),
      dup_transfer_(params.duplication + params.transfer),
      rate_per_copy_((params.duplication + params.transfer) + params.loss),
      cap_(params.cap),
      initial_size_(params.initial_size),
      track_counts_(family_counts_matter(params.cap, params.mode)),
      record_speciation_(record_speciation),
      params_(params),
      interrupt_(interrupt),
      rng_(Rng::seed_from_u64(params.seed)),
      max_events_(max_events),
      memory_budget_(memory_budget != 0 ? memory_budget : default_memory_budget()) {}

template <class G>
void BasicLogEngine<G>::activate(NodeId v) {
    live_.add(v);
    sampler_.set_weight(v, branch_rate(*genomes_[v]));
}

template <class G>
void BasicLogEngine<G>::refresh(NodeId v) { sampler_.set_weight(v, branch_rate(*genomes_[v])); }

template <class G>
void BasicLogEngine<G>::deactivate(NodeId v) { live_.remove(v); }

template <class G>
void BasicLogEngine<G>::speciate_with(NodeId v, G genome, double t) {
    const auto kids = children_.of(v);
    const NodeId left = kids[0], right = kids[1];
    const std::size_t n = genome.size();
    std::uint64_t first = 0;  // with records: the left child's copy k becomes first + 2k, the right one's + 1
    if (record_speciation_) {
        // Every copy ends here and gives way to two fresh ids. The n S
        // records are appended column by column.
        first = next_gene_;
        next_gene_ += 2 * static_cast<std::uint64_t>(n);
        Records& rec = records_;
        const std::size_t rows = rec.size() + n;
        rec.kind.resize(rows, kSpeciation);
        rec.branch.resize(rows, v);
        rec.time.resize(rows, t);
        rec.donor.resize(rows, kNone);
        rec.recipient.resize(rows, kNone);
        // A poll between blocks of copies: a huge genome takes long.
        for (std::size_t block = 0; block < n && !interrupt_.poll_now(); block += Interrupt::kStride) {
            for (std::size_t k = block; k < n && k < block + Interrupt::kStride; ++k) {
                const std::uint64_t m = first + 2 * k;
                rec.family.push_back(genome.family(k));
                rec.gene.push_back(genome.gene(k));
                rec.child1.push_back(as_signed(m));
                rec.child2.push_back(as_signed(m + 1));
            }
        }
    }
    // Both children hold the parent's families at the parent's positions.
    G l = genome;
    G r = std::move(genome);
    if (record_speciation_) {
        l.renumber(first);
        r.renumber(first + 1);
    }
    held_copies_ += n;
    genomes_[left] = std::move(l);
    genomes_[right] = std::move(r);
    activate(left);
    activate(right);
}

template <class G>
void BasicLogEngine<G>::add_copy(G& g, GeneCopy c) {
    if (track_counts_) check_positions(g);
    g.append(c, track_counts_);
    ++held_copies_;
}

template <class G>
GeneCopy BasicLogEngine<G>::remove_copy(G& g, std::size_t i) {
    --held_copies_;
    return g.swap_remove(i, track_counts_);
}

template <class G>
void BasicLogEngine<G>::check_positions(const G& g) const {
    // The family index stores positions in 32 bits.
    if (g.size() + 1 >= UINT32_MAX) {
        throw std::length_error("a branch would hold more than 2^32 gene copies");
    }
}

template <class G>
G BasicLogEngine<G>::found_root() {
    G g;
    const NodeId root = static_cast<NodeId>(tree_.root);
    for (std::uint64_t k = 0; k < initial_size_; ++k) {
        if (interrupt_.tick()) break;  // the run ends at once
        const std::uint64_t family = next_family_++;
        const std::uint64_t gene = next_gene_++;
        add_copy(g, {gene, family});
        records_.push(kOrigination, root, kNone, kNone, family, gene, kNone, now_, kNone);
    }
    return g;
}

template <class G>
typename BasicLogEngine<G>::Stop BasicLogEngine<G>::run_events(double end) {
    for (;;) {
        const double total = sampler_.total();
        if (!std::isfinite(total)) return Stop::RateOverflow;
        if (!(total > 0.0)) return Stop::Reached;
        if (interrupt_.tick()) return Stop::Interrupted;
        const double step = rng_.waiting_time(total);
        now_ = now_ + step;
        // The draw that crosses the node time is spent without an event.
        if (!std::isfinite(step) || now_ >= end) return Stop::Reached;
        if (++events_ > max_events_) return Stop::EventLimit;
        if ((events_ & (kBudgetCheckPeriod - 1)) == 0 && over_budget()) return Stop::MemoryLimit;

        const std::size_t slot = sampler_.find_live(rng_.weighted_target(total));
        // No slot has a positive rate: the total is a rounding residue and no
        // branch can have an event before the node time.
        if (slot == sampler_.size()) return Stop::Reached;
        const NodeId b = static_cast<NodeId>(slot);
        G& g = *genomes_[b];

        const double n = static_cast<double>(g.size());
        const double x = rng_.scaled_uniform(origination_ + rate_per_copy_ * n);
        if (x < duplication_ * n) {
            duplicate(b, g);
        } else if (x < dup_transfer_ * n) {
            transfer(b, g);
        } else if (x < rate_per_copy_ * n) {
            lose(b, g);
        } else {
            originate(b, g);
        }
    }
}

template <class G>
void BasicLogEngine<G>::duplicate(NodeId b, G& g) {
    const std::size_t i = rng_.index_below(g.size());
    if (cap_ >= 0 && static_cast<std::int64_t>(g.family_count(i)) >= cap_) return;
    const std::uint64_t family = g.family(i);
    const std::uint64_t m = next_gene_;
    next_gene_ += 2;
    if (track_counts_) check_positions(g);
    const std::uint64_t gene = g.gene(i);
    g.split(i, m, track_counts_);
    ++held_copies_;
    records_.push(kDuplication, b, kNone, kNone, family, gene, as_signed(m), now_, as_signed(m + 1));
    sampler_.set_weight(b, branch_rate(g));
}

template <class G>
void BasicLogEngine<G>::transfer(NodeId b, G& g) {
    const std::optional<NodeId> recipient =
        choose_recipient(rng_, live_.list(), live_.position(), b, tree_.parent, now_, tree_.time, mode_, scratch_);
    if (!recipient) return;
    const NodeId q = *recipient;
    const std::size_t i = rng_.index_below(g.size());
    const auto [gene, family] = g.copy(i);
    const std::uint64_t m = next_gene_;
    next_gene_ += 2;
    g.rename(i, m);  // the donor keeps its copy under a new id
    G& h = *genomes_[q];  // may be g itself when allow_self
    add_copy(h, {m + 1, family});
    records_.push(kTransfer, b, b, q, family, gene, as_signed(m), now_, as_signed(m + 1));
    if (track_counts_) trim_recipient(q, h, family);
    sampler_.set_weight(b, branch_rate(g));
    sampler_.set_weight(q, branch_rate(h));
}

// The arrival of a copy (the last of the recipient's list) may push the
// recipient's family over the cap, or replace a resident copy. Residents are
// removed first, the j-th resident in list order for a draw j; the newcomer
// only when none of its family is left besides it.
template <class G>
void BasicLogEngine<G>::trim_recipient(NodeId q, G& h, std::uint64_t family) {
    auto newcomer_at = static_cast<std::uint32_t>(h.size() - 1);
    bool newcomer_held = true;
    const std::uint64_t k = h.index.count(family);
    std::uint64_t removals = 0;
    // A negative cap is a huge unsigned number and never triggers.
    if (k > static_cast<std::uint64_t>(cap_)) {
        removals = k - static_cast<std::uint64_t>(cap_);
    } else if (k >= 2 && mode_.replacement > 0.0 && rng_.uniform() < mode_.replacement) {
        removals = 1;
    }
    for (; removals > 0; --removals) {
        const std::uint32_t count = h.index.count(family);
        const std::uint32_t residents = count - (newcomer_held ? 1 : 0);
        std::uint32_t at;
        if (residents > 0) {
            const auto j = static_cast<std::uint32_t>(rng_.index_below(residents));
            // Residents are the family's positions without the newcomer's;
            // while the newcomer is last in the list, all of them are below it.
            const std::uint32_t before = !newcomer_held                ? count
                                         : newcomer_at + 1 == h.size() ? count - 1
                                                                       : h.index.rank(family, newcomer_at);
            at = h.index.position(family, j < before ? j : j + 1);
        } else if (newcomer_held) {
            rng_.index_below(1);  // one candidate, but the draw is still taken
            at = newcomer_at;
        } else {
            break;  // nothing of the family left: no further removal can draw
        }
        const auto last = static_cast<std::uint32_t>(h.size() - 1);
        const GeneCopy lost = remove_copy(h, at);
        if (at == newcomer_at) {
            newcomer_held = false;
        } else if (newcomer_held && newcomer_at == last) {
            newcomer_at = at;  // the swap-remove moved it into the hole
        }
        records_.push(kLoss, q, kNone, kNone, family, lost.first, kNone, now_, kNone);
    }
}

template <class G>
void BasicLogEngine<G>::lose(NodeId b, G& g) {
    const std::size_t i = rng_.index_below(g.size());
    const GeneCopy lost = remove_copy(g, i);
    records_.push(kLoss, b, kNone, kNone, lost.second, lost.first, kNone, now_, kNone);
    sampler_.set_weight(b, branch_rate(g));
}

template <class G>
void BasicLogEngine<G>::originate(NodeId b, G& g) {
    const std::uint64_t family = next_family_++;
    const std::uint64_t gene = next_gene_++;
    add_copy(g, {gene, family});
    records_.push(kOrigination, b, kNone, kNone, family, gene, kNone, now_, kNone);
    sampler_.set_weight(b, branch_rate(g));
}

template <class G>
bool BasicLogEngine<G>::over_budget() const {
    const long double bytes = static_cast<long double>(records_.size()) * kRecordBytes +
                              static_cast<long double>(held_copies_) * copy_bytes();
    return bytes > static_cast<long double>(memory_budget_);
}

template <class G>
EngineError BasicLogEngine<G>::failure(Stop why) const {
    if (why == Stop::EventLimit) return runtime_error(kLogEventLimitMessage);
    if (why == Stop::Interrupted) return interrupted();
    if (why == Stop::RateOverflow) return value_error(rate_overflow_message(params_));
    return EngineError{ErrorKind::Memory, "the event log outgrew its memory budget (" +
                                              std::to_string(memory_budget_) + " bytes) after " +
                                              std::to_string(events_) +
                                              " events; families likely growing without bound — set max_family_size"};
}

template <class G>
Outcome<LogResult> BasicLogEngine<G>::run(std::span<const NodeId> order) {
    const NodeId root = static_cast<NodeId>(tree_.root);
    now_ = tree_.time[root];
    // The founding content alone must fit: each founding family costs a
    // record, its copy at the root and in both children, and with speciation
    // records one more record. A size beyond that is an allocation that
    // cannot succeed.
    const std::uint64_t per_family = kRecordBytes * (record_speciation_ ? 2 : 1) + 3 * copy_bytes();
    if (initial_size_ > memory_budget_ / per_family) {
        const long double need = static_cast<long double>(initial_size_) * per_family;
        return EngineError{ErrorKind::Memory, "initial_size " + std::to_string(initial_size_) +
                                                  " does not fit in memory: its founding records and copies need " +
                                                  std::to_string(static_cast<unsigned long long>(
                                                      need >= 0x1p64L ? 0x1p64L - 1 : need)) +
                                                  " bytes, more than the memory budget of " +
                                                  std::to_string(memory_budget_) + " bytes"};
    }
    speciate_with(root, found_root(), tree_.time[root]);
    if (interrupt_.stopped()) return interrupted();

    for (const NodeId v : order) {
        const double end = tree_.time[v];
        if (const Stop s = run_events(end); s != Stop::Reached) return failure(s);
        if (!genomes_[v]) {
            return value_error("invalid species tree: node " + std::to_string(v) +
                               " is reached before its branch holds genes (is it dated before its parent?)");
        }
        sampler_.set_weight(v, 0.0);
        deactivate(v);
        G genome = std::move(*genomes_[v]);
        genomes_[v].reset();
        if (tree_.extant_leaf[v]) {
            extant_.push_back({v, genome.take_pairs()});
        } else if (children_.count(v) >= 2) {
            speciate_with(v, std::move(genome), end);
            if (interrupt_.stopped()) return interrupted();
            if (over_budget()) return failure(Stop::MemoryLimit);
        } else if (children_.count(v) == 1) {
            return value_error("invalid species tree: node " + std::to_string(v) + " speciates with one child");
        } else {
            held_copies_ -= genome.size();  // extinct leaf
        }
        now_ = end;
    }
    return LogResult{std::move(records_), std::move(extant_), events_};
}

}  // namespace vornix::event_log
