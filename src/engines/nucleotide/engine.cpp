#include "engines/nucleotide/engine.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "model/usable_memory.h"

namespace vornix::nucleotide {

namespace {

constexpr std::int64_t kMaxLength = std::numeric_limits<std::int64_t>::max();

// A genome about to grow by `add` nucleotides must still have a 64-bit length.
std::optional<EngineError> check_growth(std::int64_t length, std::int64_t add) {
    if (add <= kMaxLength - length) return std::nullopt;
    return runtime_error("genome length overflow: a genome grew beyond 9223372036854775807 nucleotides");
}

// A double holding an integer value, converted with saturation (NaN gives 0).
std::int64_t saturating_i64(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775808.0) return kMaxLength;
    if (x < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(x);
}

// A failed allocation: a plain MemoryError.
EngineError out_of_memory() { return EngineError{ErrorKind::Memory, {}}; }

// Events cost on the order of a microsecond plus about the segments they
// touch: this much work is a few milliseconds.
constexpr std::uint64_t kPollWork = 4096;
constexpr std::size_t kSegmentsPerWork = 256;

constexpr const char* kRateOverflowMessage =
    "the event rates overflow: a branch's total rate ((inversion + loss + duplication + transfer + "
    "transposition) times the genome length, plus origination) or the sum over the live branches is not finite; "
    "lower these rates";

}  // namespace

std::uint64_t default_segment_budget() {
    // A segment costs 24 bytes natively, up to about twice that with chunk
    // slack and genome copies in flight, and about 150 bytes as a Python
    // tuple of four ints.
    static const std::uint64_t budget = std::max<std::uint64_t>(usable_memory_bytes() / 512, 1u << 20);
    return budget;
}

std::string check_nucleotide_params(const NucleotideParams& p) {
    const double per_nucleotide = (((p.inversion + p.loss) + p.duplication) + p.transfer) + p.transposition;
    if (!std::isfinite(per_nucleotide)) {
        return "the per-nucleotide rates inversion + loss + duplication + transfer + transposition add up to "
               "more than the largest double";
    }
    const bool root_length_used = p.initial_size > 0 || p.origination > 0.0;
    if (root_length_used && p.root_length < 1) {
        return "root_length must be at least 1 when initial_size or origination is above 0, got " +
               std::to_string(p.root_length);
    }
    if (p.initial_size > 0 && (p.initial_size > static_cast<std::uint64_t>(kMaxLength) ||
                               p.root_length > kMaxLength / static_cast<std::int64_t>(p.initial_size))) {
        return "a root genome of " + std::to_string(p.initial_size) + " units of root_length " +
               std::to_string(p.root_length) + " is longer than 9223372036854775807 nucleotides";
    }
    return {};
}

NEngine::NEngine(const SpeciesTree& tree, Children children, const NucleotideParams& params,
                 const NucleotideLimits& limits, Interrupt interrupt)
    : tree_(tree),
      children_(std::move(children)),
      p_(params),
      limits_(limits),
      interrupt_(interrupt),
      rate_sum_((((params.inversion + params.loss) + params.duplication) + params.transfer) + params.transposition),
      genomes_(tree.n_nodes),
      live_(tree.n_nodes),
      sampler_(tree.n_nodes),
      recipient_scratch_(tree.n_nodes),
      rng_(Rng::seed_from_u64(params.seed)) {}

void NEngine::refresh(NodeId v) {
    // Fenwick::set_weight ignores a weight equal to the stored one.
    sampler_.set_weight(v, p_.origination + rate_sum_ * static_cast<double>(genomes_[v].length()));
}

void NEngine::activate(NodeId c) {
    live_.add(c);
    refresh(c);
}

std::optional<EngineError> NEngine::count_segments(std::size_t before, std::size_t after) {
    segments_held_ = segments_held_ + after - before;
    if (segments_held_ <= limits_.max_segments) return std::nullopt;
    if (events_ == 0) {
        return EngineError{ErrorKind::Memory, "initial_size " + std::to_string(p_.initial_size) +
                                                  " does not fit in memory at every branch of the tree"};
    }
    return EngineError{ErrorKind::Memory, "the genomes outgrew their memory budget (" +
                                              std::to_string(limits_.max_segments) + " segments) after " +
                                              std::to_string(events_) +
                                              " events; genome growing without bound — lower duplication/transfer, "
                                              "keep extension below 1, or raise loss"};
}

std::optional<EngineError> NEngine::speciate(NodeId v, NGenome&& g) {
    const auto kids = children_.of(v);
    if (kids.empty()) return count_segments(g.count(), 0);
    // Every child but the last gets a copy; the last takes g itself.
    for (std::size_t i = 0; i < kids.size(); ++i) {
        const NodeId c = kids[i];
        if (i + 1 < kids.size()) {
            if (auto err = count_segments(0, g.count())) return err;
            genomes_[c] = g;
        } else {
            genomes_[c] = std::move(g);
        }
        activate(c);
    }
    return std::nullopt;
}

void NEngine::end_branch(NodeId v) {
    sampler_.set_weight(v, 0.0);
    live_.remove(v);
}

std::int64_t NEngine::stretch_length(std::int64_t len) {
    if (len <= 1) return 1;
    if (p_.extension >= 1.0) return len;
    const double u = rng_.uniform();
    const std::int64_t k = saturating_i64(std::ceil(std::log(std::max(u, 1e-300)) / std::log(p_.extension)));
    return std::min(std::max(k, std::int64_t{1}), len);
}

bool NEngine::should_stop(std::size_t segments) {
    work_ += 1 + segments / kSegmentsPerWork;
    if (work_ < kPollWork) return false;
    work_ = 0;
    return interrupt_.poll_now();
}

std::optional<EngineError> NEngine::run(const std::vector<NodeId>& order) {
    // The root genome: initial_size whole units, ids 0, 1, ...
    if (auto err = count_segments(0, p_.initial_size)) return err;
    std::vector<NSeg> root_units(p_.initial_size);
    for (std::uint64_t k = 0; k < p_.initial_size; ++k) {
        root_units[k] = NSeg{0, p_.root_length, static_cast<std::uint32_t>(k), 1};
    }
    next_id_ = static_cast<std::uint32_t>(p_.initial_size);
    now_ = tree_.time[tree_.root];
    if (auto err = speciate(static_cast<NodeId>(tree_.root), NGenome(std::move(root_units)))) return err;

    for (const NodeId v : order) {
        const double node_time = tree_.time[v];
        for (;;) {
            // Every weight change since the last check is in the total: a
            // branch rate that overflowed made it infinite or NaN.
            const double rate = sampler_.total();
            if (!std::isfinite(rate)) return value_error(kRateOverflowMessage);
            if (!(rate > 0.0)) break;
            const double dt = rng_.waiting_time(rate);
            if (!std::isfinite(dt) || now_ + dt >= node_time) break;  // the drawn event is discarded
            now_ = now_ + dt;
            if (++events_ > limits_.max_events) return runtime_error(kNucleotideLimitMessage);
            // find_live returns the slot count only when rounding left a total
            // above zero with no live genome holding a positive rate: no
            // genome can host an event before the node time, so the branch
            // loop ends (the draw has counted as an event).
            const std::size_t w = sampler_.find_live(rng_.weighted_target(rate));
            if (w >= sampler_.size()) break;
            const std::size_t before = genomes_[w].count();
            if (auto err = event(static_cast<NodeId>(w))) return err;
            if (auto err = count_segments(before, genomes_[w].count())) return err;
            if (should_stop(genomes_[w].count())) return interrupted();
        }
        now_ = node_time;
        if (should_stop(genomes_[v].count() * children_.count(v))) return interrupted();

        if (!live_.contains(v)) {
            return value_error("invalid species tree: node " + std::to_string(v) +
                               " is reached before its branch holds a genome (is it dated before its parent?)");
        }
        end_branch(v);
        NGenome g = std::move(genomes_[v]);
        genomes_[v] = NGenome();
        if (tree_.extant_leaf[v]) {
            leaves_.push_back(NLeaf{v, g.release()});
        } else if (children_.count(v) > 0) {
            if (auto err = speciate(v, std::move(g))) return err;
        } else {
            (void)count_segments(g.count(), 0);  // an extinct leaf's genome is dropped
        }
    }
    return std::nullopt;
}

std::optional<EngineError> NEngine::event(NodeId w) {
    NGenome& g = genomes_[w];
    const std::int64_t len = g.length();
    const double x_len = static_cast<double>(len);
    // Cumulative bounds of the kinds, summed differently from the sampler weight.
    const double c1 = p_.inversion * x_len;
    const double c2 = c1 + p_.loss * x_len;
    const double c3 = c2 + p_.duplication * x_len;
    const double c4 = c3 + p_.transfer * x_len;
    const double c5 = c4 + p_.transposition * x_len;
    const double rate = p_.origination + c5;
    if (!std::isfinite(rate)) return value_error(kRateOverflowMessage);
    if (rate <= 0.0) return std::nullopt;
    const double x = rng_.scaled_uniform(rate);

    if (x < c1) {
        const std::int64_t a = raw_below(len);
        invert_arc(g, a, stretch_length(len));
    } else if (x < c2) {
        const std::int64_t a = raw_below(len);
        delete_arc(g, a, stretch_length(len));
    } else if (x < c3) {
        const std::int64_t a = raw_below(len);
        const std::int64_t b = stretch_length(len);
        if (auto err = check_growth(len, b)) return err;
        duplicate_arc(g, a, b);
    } else if (x < c4) {
        return transfer(w);
    } else if (x < c5) {
        if (len < 2) return std::nullopt;
        const std::int64_t a = raw_below(len);
        const std::int64_t b = std::min(stretch_length(len), len - 1);
        const std::int64_t q = raw_below(len) % (len - b + 1);
        transpose_arc(g, a, b, q);
    } else if (auto err = originate(g)) {
        return err;
    }
    refresh(w);
    return std::nullopt;
}

std::optional<EngineError> NEngine::transfer(NodeId w) {
    const std::optional<NodeId> recipient =
        choose_recipient(rng_, live_.list(), live_.position(), w, tree_.parent, now_, tree_.time, p_.mode, recipient_scratch_);
    if (!recipient) return std::nullopt;
    NGenome& donor = genomes_[w];
    const std::int64_t len = donor.length();
    const std::int64_t a = raw_below(len);
    const std::int64_t b = stretch_length(len);
    transfer_buf_.clear();
    copy_arc(donor, a, b, transfer_buf_);  // the donor may be cut or rotated, never changed in content
    if (transfer_buf_.empty()) return std::nullopt;
    NGenome& target = genomes_[*recipient];
    const std::int64_t target_len = target.length();
    const std::int64_t q = static_cast<std::int64_t>(rng_.index_below(static_cast<std::uint64_t>(target_len) + 1));
    if (auto err = check_growth(target_len, b)) return err;
    const std::size_t before = target.count();
    insert_segments(target, q, transfer_buf_);
    // The donor's own change is counted by the caller.
    if (*recipient != w) {
        if (auto err = count_segments(before, target.count())) return err;
    }
    refresh(w);
    refresh(*recipient);
    return std::nullopt;
}

std::optional<EngineError> NEngine::originate(NGenome& g) {
    const std::uint32_t id = next_id_++;  // taken even by an empty genome
    const std::int64_t len = g.length();
    if (len == 0) {
        const NSeg unit{0, p_.root_length, id, 1};
        insert_segments(g, 0, {&unit, 1});
        return std::nullopt;
    }
    // The new unit's length comes before its position.
    const std::int64_t n = stretch_length(len);
    const std::int64_t q = static_cast<std::int64_t>(rng_.index_below(static_cast<std::uint64_t>(len) + 1));
    if (auto err = check_growth(len, n)) return err;
    const NSeg unit{0, n, id, 1};
    insert_segments(g, q, {&unit, 1});
    return std::nullopt;
}

NucleotideResult NEngine::take_result() { return NucleotideResult{std::move(leaves_), events_, next_id_}; }

Outcome<NucleotideResult> run_nucleotide(const SpeciesTree& tree, const NucleotideParams& params,
                                         const NucleotideLimits& limits, Interrupt interrupt) {
    Outcome<TreeWalk> walk = prepare_tree(tree, Speciation::AllChildren);
    if (!walk.ok()) return walk.error();
    if (auto msg = check_nucleotide_params(params); !msg.empty()) return value_error(std::move(msg));
    try {
        NEngine engine(tree, std::move(walk.value().children), params, limits, interrupt);
        if (auto err = engine.run(walk.value().order)) return std::move(*err);
        return engine.take_result();
    } catch (const std::bad_alloc&) {
        // Genomes can outgrow memory long before the event limit; the state
        // built so far is freed on the way out.
        return out_of_memory();
    } catch (const std::length_error&) {
        return out_of_memory();
    }
}

}  // namespace vornix::nucleotide
