// The counts-only profile engine: gene families evolve along the species
// tree under origination, duplication, transfer and loss, and only the copy
// counts at the extant leaves are kept. One call of run_profile_copy is one
// complete, independent simulation from the root to the leaves.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engines/profiles/genome.h"
#include "model/family_params.h"
#include "model/fenwick.h"
#include "model/interrupt.h"
#include "model/live_branches.h"
#include "model/outcome.h"
#include "model/recipient.h"
#include "model/rng.h"
#include "model/species_tree.h"

namespace vornix::profiles {

// Most events one copy may run before it is declared a runaway.
inline constexpr std::uint64_t kEventLimit = kFamilyMaxEvents;
inline constexpr const char* kEventLimitMessage = kFamilyEventLimitMessage;

// Event kinds, in the order their rate bounds are compared.
enum EventKind : std::uint32_t { kDuplication, kTransfer, kLoss, kOrigination };

// Everything a copy needs besides the tree, its seed and its founding size.
struct ProfileParams {
    double duplication = 0.0;  // per copy per unit time
    double transfer = 0.0;     // per copy per unit time
    double loss = 0.0;         // per copy per unit time
    double origination = 0.0;  // new families per live branch per unit time
    std::int64_t cap = -1;     // most copies of one family on one branch; negative: no limit
    TransferMode mode;
    std::uint64_t max_events = kEventLimit;
    // Bytes the copy's live genomes may take (checked every few thousand
    // events); 0: no limit.
    std::uint64_t memory_budget = 0;
    // The call's origination rate when this copy runs on a share of it;
    // messages name the call's rates. Negative: `origination` itself.
    double call_origination = -1.0;
};

// What one copy leaves at the extant leaves: one entry per (leaf, family)
// pair present, by leaf ordinal, then ascending family.
struct CopyCounts {
    std::vector<std::uint32_t> leaf;    // rank of the extant leaf in the node order
    std::vector<std::uint64_t> family;
    std::vector<std::uint32_t> count;
    std::uint64_t family_count = 0;     // families numbered in this copy
    std::uint64_t events = 0;           // events run (not part of the profile)
};

// The state of one copy. The tree is borrowed and only read, so copies can
// run side by side on different threads. G is one of the genome widths
// (genome.h).
template <class G>
class Engine {
public:
    // `interrupt` is polled every few thousand events; when it asks to stop,
    // run() returns interrupted().
    Engine(const SpeciesTree& tree, const TreeWalk& walk, const ProfileParams& params, std::uint64_t seed,
           Interrupt interrupt = {});

    // Puts genome g on v's branch and makes the branch live.
    void activate(NodeId v, G g);

    Outcome<CopyCounts> run(std::uint64_t initial_size);

private:
    double rate_of(std::uint64_t copies) const { return origination_ + dtl_ * static_cast<double>(copies); }
    // Why the events up to a node time stopped.
    enum class Stop { Reached, EventLimit, MemoryLimit, Interrupted, RateOverflow };
    // Runs events until the clock passes `end`.
    Stop run_until(double end);
    Stop run_events_in_order(double end);
    Stop run_events_ahead(double end);
    // Checks shared by both loops before each event: the total rate, the
    // event limit, the memory budget, the interrupt. Reached: go on.
    Stop before_event(double total);
    EngineError failure(Stop why) const;
    std::uint64_t genome_bytes() const;
    // Carries out one event on branch b; returns the branch whose rate changed.
    std::optional<NodeId> event_on(NodeId b);
    // A transfer of copy i of branch b's genome.
    std::optional<NodeId> transfer_from(NodeId b, std::uint64_t i);
    void deactivate(NodeId v);

    // Without a cap and without replacement, no draw and no rate depends on
    // which families a genome holds, only on how many copies it has. The
    // events are then drawn a batch ahead, counting copies per branch
    // (`copies_`), and carried out on the genomes afterwards in the same
    // order, the genome fetches of the next few events started while the
    // current one is carried out. The result is the same as one by one.
    struct Step {
        NodeId branch;
        NodeId recipient;   // transfers
        std::uint32_t kind;
        bool placed;         // `place` found ahead
        std::uint64_t what;  // the copy index, or the new family of an origination
        typename G::Place place;
    };
    void carry_out(std::size_t n);
    // Starts the fetches of step k's genomes, `ahead` steps before it is
    // carried out.
    void warm(std::size_t k, std::size_t ahead);
    // Whether step j changes the genome of branch v.
    bool changes(const Step& j, NodeId v) const {
        return j.kind == kTransfer ? j.recipient == v : j.branch == v;
    }
    // A copy of g made in the storage of a dropped genome when there is one.
    G copy_of(const G& g);
    void drop(G&& g);

    const SpeciesTree& tree_;
    const TreeWalk& walk_;
    std::vector<G> genomes_;
    std::vector<std::uint8_t> present_;
    std::vector<G> spare_;  // dropped genomes whose storage is reused
    LiveBranches live_;
    Fenwick sampler_;
    RecipientScratch scratch_;
    TransferMode mode_;
    double duplication_, origination_;
    double dt_, dtl_;  // duplication + transfer, then + loss: the association of the rate
    std::uint64_t cap_;  // a negative cap becomes huge and never binds
    bool ahead_;         // events may be drawn ahead (see Step)
    std::vector<std::uint64_t> copies_;  // per live branch, as drawn ahead
    std::vector<Step> steps_;
    Rng rng_;
    std::uint64_t next_family_ = 0;
    std::uint64_t events_ = 0;
    std::uint64_t max_events_;
    std::uint64_t memory_budget_;
    ProfileParams params_;  // for messages
    Interrupt interrupt_;
    double t_ = 0.0;
    CopyCounts out_;
};

// The memory a genome of `families` founding families takes, for refusing
// founding sizes that cannot fit before allocating them.
std::uint64_t founding_genome_bytes(std::uint64_t families);

// One complete copy over a tree already checked by prepare_tree. Family
// numbers and genome totals are stored in 32 bits when every value the copy
// can reach (below initial_size + max_events) fits in 31, and the counts
// inside a chunk in 16 bits until a chunk outgrows them.
//
// Fails with a Runtime error past `max_events` events, a Value error for a
// malformed tree or a total rate that stops being finite, a Memory error when
// the genomes outgrow `memory_budget` or an allocation fails, and
// interrupted() when `interrupt` asks to stop.
Outcome<CopyCounts> run_profile_copy(const SpeciesTree& tree, const TreeWalk& walk, const ProfileParams& params,
                                     std::uint64_t seed, std::uint64_t initial_size, Interrupt interrupt = {});

}  // namespace vornix::profiles
