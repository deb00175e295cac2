// The per-family files: gene_family_events/<f>_events.tsv and, for a family
// with an origination, gene_trees/<f>_complete.nwk and (when a copy
// survives) gene_trees/<f>_extant.nwk, where f is the family number plus one.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "writer/event_row.h"
#include "writer/files.h"
#include "writer/gene_tree.h"
#include "writer/run_tables.h"
#include "writer/species_branches.h"

namespace vornix::writer {

// What the family summary table needs from a family's records.
struct FamilySummary {
    bool has_origin = false;  // from the family's last O record
    double origin_time = 0.0;
    std::uint32_t origin_branch = 0;
    std::uint64_t n_dup = 0, n_transfer = 0, n_loss = 0, n_speciation = 0;
};

// Inputs shared read-only by every family task.
struct FamilyInputs {
    std::span<const std::string> names;
    double total_age;
    std::string events_dir;
    std::string trees_dir;
    const SpeciesBranches* branches;
};

// One worker's reusable memory, and where its time went.
struct FamilyScratch {
    FamilyIndex index;
    GTree complete, extant;
    std::string text, extant_text, path;
    double build_seconds = 0.0;  // tables, trees and text
    double write_seconds = 0.0;  // file-system calls
    bool timed = false;
};

// Writes the files of family k of `groups` and fills its summary.
IoStatus write_family_files(const FamilyInputs& in, const FamilyGroups& groups, std::size_t k, FamilySummary& summary,
                            FamilyScratch& scratch);

// The name of a species-tree node, or nothing for a negative node.
inline std::string_view node_name(std::span<const std::string> names, std::int64_t node) {
    return node < 0 ? std::string_view() : std::string_view(names[static_cast<std::size_t>(node)]);
}

// The one-letter code of an event kind.
inline char event_letter(std::uint8_t kind) { return kind < 5 ? "ODTLS"[kind] : '?'; }

}  // namespace vornix::writer
