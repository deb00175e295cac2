// Choice of the branch that receives a transferred copy, among the branches
// live at the moment of the transfer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "model/rng.h"
#include "model/species_tree.h"

namespace vornix {

struct TransferMode {
    double replacement = 0.0;     // read by the engines, not by the choice
    double distance_decay = -1.0; // negative: uniform; otherwise (or NaN) distance-weighted
    bool allow_self = false;      // may the donor receive its own transfer
};

// Scratch space for the distance-weighted choice, owned by the engine so that
// a transfer allocates nothing. Ancestor marks use a generation stamp, so
// clearing them costs nothing.
class RecipientScratch {
public:
    explicit RecipientScratch(std::size_t n_nodes = 0) : mark_(n_nodes, 0) {}

private:
    friend std::optional<NodeId> choose_recipient(Rng&, std::span<const NodeId>, std::span<const NodeId>, NodeId,
                                                  std::span<const std::int64_t>, double, std::span<const double>,
                                                  const TransferMode&, RecipientScratch&);
    std::vector<std::uint32_t> mark_;
    std::uint32_t generation_ = 0;
    std::vector<double> distance_;
};

// `active` lists the live branches in the engine's order; `position[v]` is
// v's index in it. Takes at most one draw from `rng`; none when there is no
// candidate. Returns no value when the transfer has no recipient.
std::optional<NodeId> choose_recipient(Rng& rng, std::span<const NodeId> active, std::span<const NodeId> position,
                                       NodeId donor, std::span<const std::int64_t> parent, double t,
                                       std::span<const double> time, const TransferMode& mode,
                                       RecipientScratch& scratch);

}  // namespace vornix
