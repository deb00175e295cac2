// The nucleotide engine: whole segmented genomes evolving forward in time
// along the species tree under inversion, loss, duplication, transfer and
// transposition (each at a rate per nucleotide) and origination of new units
// (at a rate per genome). Every live branch carries one genome; a speciation
// copies it into every child; extant leaves report theirs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engines/nucleotide/genome.h"
#include "model/fenwick.h"
#include "model/interrupt.h"
#include "model/live_branches.h"
#include "model/outcome.h"
#include "model/recipient.h"
#include "model/rng.h"
#include "model/species_tree.h"

namespace vornix::nucleotide {

inline constexpr std::uint64_t kNucleotideEventLimit = 2'000'000'000;
inline constexpr const char* kNucleotideLimitMessage =
    "exceeded max_events; genome growing without bound — lower duplication/transfer or raise loss";

struct NucleotideParams {
    double inversion = 0.0;
    double loss = 0.0;
    double duplication = 0.0;
    double transfer = 0.0;
    double transposition = 0.0;
    double origination = 0.0;
    std::int64_t root_length = 0;  // length of a root unit and of a unit originated into an empty genome
    double extension = 0.0;        // parameter of the geometric length of affected stretches
    std::uint64_t initial_size = 0;
    std::uint64_t seed = 0;
    TransferMode mode;
};

// One extant leaf and its genome at the end of the run.
struct NLeaf {
    NodeId node;
    std::vector<NSeg> segments;
};

struct NucleotideResult {
    std::vector<NLeaf> leaves;  // in the order the walk reached them
    std::uint64_t events = 0;   // event draws, the discarded ones at node times excluded
    std::uint32_t next_id = 0;  // the unit-id counter at the end
};

// Empty when the parameters can be simulated with, else the message of a
// ValueError: a root_length below 1 that would be used (root units or
// originations into an empty genome), a root genome longer than a 64-bit
// length, or per-nucleotide rates whose sum overflows.
std::string check_nucleotide_params(const NucleotideParams& params);

// How many segments all genomes of a run (live branches and reported leaves)
// may hold together: a share of the machine's memory (the smaller of the
// physical memory and any control-group limit). With overcommitted memory a
// runaway genome is not refused an allocation but gets the process killed,
// so the engine stops it first. The share leaves room for the Python tuples
// the leaves' segments become.
std::uint64_t default_segment_budget();

struct NucleotideLimits {
    std::uint64_t max_events = kNucleotideEventLimit;
    std::uint64_t max_segments = default_segment_budget();
};

// Runs one simulation. Fails with a Value error for a malformed tree or
// parameters or when a branch's total rate overflows, a Runtime error when
// more than `max_events` events are drawn or a genome outgrows a 64-bit
// length, a Memory error when the genomes outgrow `max_segments` or an
// allocation fails, and returns interrupted() when `interrupt` asks to stop.
Outcome<NucleotideResult> run_nucleotide(const SpeciesTree& tree, const NucleotideParams& params,
                                         const NucleotideLimits& limits = {}, Interrupt interrupt = {});

// The engine state of one run.
class NEngine {
public:
    NEngine(const SpeciesTree& tree, Children children, const NucleotideParams& params,
            const NucleotideLimits& limits, Interrupt interrupt = {});

    // Recomputes node v's genome rate from its length and updates the sampler.
    void refresh(NodeId v);
    // Gives every child of v a copy of g and makes them live.
    std::optional<EngineError> speciate(NodeId v, NGenome&& g);

    // Runs the walk along `order`; an error leaves the engine unusable.
    std::optional<EngineError> run(const std::vector<NodeId>& order);

    NucleotideResult take_result();

private:
    std::int64_t stretch_length(std::int64_t len);
    std::int64_t raw_below(std::int64_t m) { return static_cast<std::int64_t>(rng_.index_below(static_cast<std::uint64_t>(m))); }
    void activate(NodeId c);
    void end_branch(NodeId v);
    // Accounts for a change in the number of segments held.
    std::optional<EngineError> count_segments(std::size_t before, std::size_t after);
    std::optional<EngineError> event(NodeId w);
    std::optional<EngineError> transfer(NodeId w);
    std::optional<EngineError> originate(NGenome& g);
    // Counts work done on a genome of `segments` segments (edits cost about
    // the segments they touch) and polls the interrupt after every few
    // milliseconds' worth: true when asked to stop.
    bool should_stop(std::size_t segments);

    const SpeciesTree& tree_;
    Children children_;
    NucleotideParams p_;
    NucleotideLimits limits_;
    Interrupt interrupt_;
    std::uint64_t work_ = 0;  // since the last poll
    double rate_sum_;  // the five per-nucleotide rates added left to right

    std::vector<NGenome> genomes_;
    LiveBranches live_;
    Fenwick sampler_;
    RecipientScratch recipient_scratch_;
    std::vector<NSeg> transfer_buf_;  // reused by every transfer

    Rng rng_;
    std::uint32_t next_id_ = 0;
    std::uint64_t events_ = 0;
    std::uint64_t segments_held_ = 0;  // in all genome slots and reported leaves
    double now_ = 0.0;
    std::vector<NLeaf> leaves_;
};

}  // namespace vornix::nucleotide
