// Checks of a simulate-and-write request that must pass before anything is
// simulated or written: names that would break the tables or be ambiguous in
// them, and an end of the run that comes before the tree ends.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "model/outcome.h"
#include "model/species_tree.h"

namespace vornix::writer {

// A Value error when one of the first n_nodes names holds a tab, newline or
// carriage return (it would shift the table columns), when two extant leaves
// share a name (their profile columns could not be told apart), or when
// total_age is not finite or earlier than the latest time of a node below
// the root. The tree must have passed check_species_tree and names must have
// at least n_nodes entries.
std::optional<EngineError> check_output_request(const SpeciesTree& tree, std::span<const std::string> names,
                                                double total_age);

}  // namespace vornix::writer
