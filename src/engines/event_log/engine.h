// The event-log engine: per-branch gene content, the sampler of branch rates,
// the live-branch list and the event record, and the operations that change
// them. run_log (run.h) drives it along the species tree.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engines/event_log/genome.h"
#include "engines/event_log/run.h"
#include "model/fenwick.h"
#include "model/interrupt.h"
#include "model/live_branches.h"
#include "model/recipient.h"
#include "model/rng.h"
#include "model/species_tree.h"

namespace vornix::event_log {

// G is one of the genome layouts (genome.h): LogGenome or CompactLogGenome,
// instantiated in engine_paired.cpp and engine_compact.cpp.
template <class G>
class BasicLogEngine {
public:
    // `tree` must have passed check_species_tree(tree, Speciation::FirstTwo)
    // and `children` must be built from it; the engine keeps references to the
    // tree arrays, which must outlive it.
    BasicLogEngine(const SpeciesTree& tree, const Children& children, const LogParams& params,
                   bool record_speciation, std::uint64_t max_events, std::uint64_t memory_budget,
                   Interrupt interrupt = {});

    // Makes v live: appends it to the active list and gives its slot its rate.
    void activate(NodeId v);
    // Sets v's slot to the rate of its current content.
    void refresh(NodeId v);
    // Hands `genome`, the content of v whose branch ended at t, to v's first
    // two children and makes them live (left, then right).
    void speciate_with(NodeId v, G genome, double t);

    // The whole run: founding, root speciation, then the walk in node order.
    Outcome<LogResult> run(std::span<const NodeId> order);

    // Inspection, for tests.
    const G* genome(NodeId v) const { return genomes_[v] ? &*genomes_[v] : nullptr; }
    const Records& records() const { return records_; }
    std::span<const NodeId> active() const { return live_.list(); }
    double rate(NodeId v) const { return sampler_.weight(v); }
    // True when the family counts are kept (cap or replacement in force).
    bool track_counts() const { return track_counts_; }

private:
    enum class Stop { Reached, EventLimit, MemoryLimit, Interrupted, RateOverflow };

    double branch_rate(const G& g) const {
        return origination_ + rate_per_copy_ * static_cast<double>(g.size());
    }
    G found_root();
    Stop run_events(double end);
    void duplicate(NodeId b, G& g);
    void transfer(NodeId b, G& g);
    void trim_recipient(NodeId q, G& h, std::uint64_t family);
    void lose(NodeId b, G& g);
    void originate(NodeId b, G& g);
    void add_copy(G& g, GeneCopy c);
    GeneCopy remove_copy(G& g, std::size_t i);
    void check_positions(const G& g) const;
    void deactivate(NodeId v);
    // Bytes one held copy costs: its list entry, and its position in the
    // family index when that is kept.
    std::uint64_t copy_bytes() const { return sizeof(GeneCopy) + (track_counts_ ? sizeof(std::uint32_t) : 0); }
    bool over_budget() const;
    EngineError failure(Stop why) const;

    const SpeciesTree& tree_;
    const Children& children_;
    std::vector<std::optional<G>> genomes_;
    LiveBranches live_;
    Fenwick sampler_;
    RecipientScratch scratch_;
    Records records_;
    ExtantContent extant_;

    TransferMode mode_;
    double duplication_, origination_;
    double dup_transfer_;   // d + t
    double rate_per_copy_;  // (d + t) + l
    std::int64_t cap_;
    std::uint64_t initial_size_;
    bool track_counts_;
    bool record_speciation_;

    LogParams params_;  // for messages
    Interrupt interrupt_;
    Rng rng_;
    double now_ = 0.0;
    std::uint64_t next_gene_ = 0;
    std::uint64_t next_family_ = 0;
    std::uint64_t events_ = 0;
    std::uint64_t max_events_;
    std::uint64_t memory_budget_;
    std::uint64_t held_copies_ = 0;  // copies in genomes and extant content
};

using LogEngine = BasicLogEngine<LogGenome>;

}  // namespace vornix::event_log
