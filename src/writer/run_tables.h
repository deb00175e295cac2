// The run-wide tables the writer builds before writing any file: what each
// family task reads (its records, and which extant leaf holds each of its
// surviving copies), and the extant side of the profile tables (the species
// columns in natural name order and the per-family counts on each column).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "writer/log_input.h"
#include "writer/event_row.h"

namespace vornix::writer {

// A surviving copy and the extant leaf that holds it.
struct PlacedCopy {
    std::uint64_t gene;
    std::uint64_t leaf;
};

// Records and surviving copies grouped by family: family k of `families`
// (ascending) owns rows[start[k] .. start[k + 1]), in record order, and
// placed[placed_start[k] .. placed_start[k + 1]), in the order of the
// engine's list of final genome contents.
struct FamilyGroups {
    std::vector<std::uint64_t> families;
    std::vector<std::size_t> start;
    std::vector<EventRow> rows;
    std::vector<std::size_t> placed_start;
    std::vector<PlacedCopy> placed;

    std::size_t size() const { return families.size(); }
    std::span<const EventRow> of(std::size_t k) const { return {rows.data() + start[k], rows.data() + start[k + 1]}; }
    std::span<const PlacedCopy> placed_of(std::size_t k) const {
        return {placed.data() + placed_start[k], placed.data() + placed_start[k + 1]};
    }
};

// Copies of families without records belong to no gene tree and are left out
// of `placed`.
FamilyGroups group_by_family(const Records& records, const ExtantContent& extant);

// One non-zero count of a family on one species column.
struct ColumnCount {
    std::uint32_t column;
    std::uint64_t count;
};

struct ExtantTables {
    std::vector<std::uint64_t> columns;  // extant leaf nodes in natural name order
    // Families with at least one extant copy, ascending; family k of
    // `families` has its counts in counts[start[k] .. start[k + 1]), by
    // ascending column.
    std::vector<std::uint64_t> families;
    std::vector<std::size_t> start;
    std::vector<ColumnCount> counts;

    std::span<const ColumnCount> of(std::size_t k) const {
        return {counts.data() + start[k], counts.data() + start[k + 1]};
    }
};

// Every leaf of `extant` must index names.
ExtantTables build_extant_tables(const ExtantContent& extant, std::span<const std::string> names);

}  // namespace vornix::writer
