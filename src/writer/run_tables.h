// The run-wide tables the writer builds before writing any file: records
// grouped by family, and the extant side (which leaf holds each surviving
// copy, the species columns in natural name order, and the per-family counts
// on each column).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engines/log_records.h"
#include "writer/gene_tree.h"

namespace vornix {

// Record positions grouped by family: family k of `families` (ascending) owns
// positions[start[k] .. start[k + 1]), in record order.
struct FamilyGroups {
    std::vector<std::uint64_t> families;
    std::vector<std::size_t> start;
    std::vector<std::size_t> positions;

    std::size_t size() const { return families.size(); }
    std::span<const std::size_t> of(std::size_t k) const {
        return {positions.data() + start[k], positions.data() + start[k + 1]};
    }
};

FamilyGroups group_by_family(const Records& records);

// One non-zero count of a family on one species column.
struct ColumnCount {
    std::uint32_t column;
    std::uint64_t count;
};

struct ExtantTables {
    LeafOf leaf_of;                       // gene id -> extant leaf node
    std::vector<std::uint64_t> columns;   // extant leaf nodes in natural name order
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

}  // namespace vornix
