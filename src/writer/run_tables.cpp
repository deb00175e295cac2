#include "writer/run_tables.h"

#include <algorithm>

#include "writer/natural_order.h"

namespace vornix {

FamilyGroups group_by_family(const Records& records) {
    FamilyGroups g;
    const std::size_t n = records.size();
    g.start.push_back(0);
    if (n == 0) return g;

    // Dense index of each record's family among the distinct families.
    std::vector<std::uint32_t> dense(n);
    const std::uint64_t max_family = *std::max_element(records.family.begin(), records.family.end());
    if (max_family < n) {
        // Engine output: families are numbered 0, 1, 2, ... and each has a record.
        std::vector<std::uint32_t> index(max_family + 1, 0);
        for (const auto f : records.family) index[f] = 1;
        for (std::uint64_t f = 0; f <= max_family; ++f) {
            if (index[f] != 0) {
                index[f] = static_cast<std::uint32_t>(g.families.size());
                g.families.push_back(f);
            }
        }
        for (std::size_t i = 0; i < n; ++i) dense[i] = index[records.family[i]];
    } else {
        g.families = records.family;
        std::sort(g.families.begin(), g.families.end());
        g.families.erase(std::unique(g.families.begin(), g.families.end()), g.families.end());
        for (std::size_t i = 0; i < n; ++i) {
            dense[i] = static_cast<std::uint32_t>(
                std::lower_bound(g.families.begin(), g.families.end(), records.family[i]) - g.families.begin());
        }
    }

    // Counting sort of the positions by family, stable in record order.
    g.start.assign(g.families.size() + 1, 0);
    for (const auto k : dense) ++g.start[k + 1];
    for (std::size_t k = 0; k < g.families.size(); ++k) g.start[k + 1] += g.start[k];
    g.positions.resize(n);
    std::vector<std::size_t> fill(g.start.begin(), g.start.end() - 1);
    for (std::size_t i = 0; i < n; ++i) g.positions[fill[dense[i]]++] = i;
    return g;
}

ExtantTables build_extant_tables(const ExtantContent& extant, std::span<const std::string> names) {
    ExtantTables t;
    std::vector<std::uint64_t> leaves;
    std::size_t n_copies = 0;
    for (const auto& entry : extant) {
        leaves.push_back(entry.node);
        n_copies += entry.copies.size();
    }
    // Entry j of `extant` becomes species column column_of[j].
    const std::vector<std::uint32_t> order = natural_permutation(leaves, names);
    std::vector<std::uint32_t> column_of(extant.size());
    for (std::uint32_t c = 0; c < order.size(); ++c) {
        column_of[order[c]] = c;
        t.columns.push_back(leaves[order[c]]);
    }

    t.leaf_of.reset(n_copies);
    std::vector<std::pair<std::uint64_t, std::uint32_t>> cells;  // (family, column) per copy
    cells.reserve(n_copies);
    for (std::size_t j = 0; j < extant.size(); ++j) {
        for (const auto& [gene, family] : extant[j].copies) {
            t.leaf_of[gene] = extant[j].node;
            cells.push_back({family, column_of[j]});
        }
    }
    std::sort(cells.begin(), cells.end());
    t.start.push_back(0);
    for (std::size_t i = 0; i < cells.size();) {
        std::size_t j = i;
        while (j < cells.size() && cells[j] == cells[i]) ++j;
        if (t.families.empty() || t.families.back() != cells[i].first) {
            if (!t.families.empty()) t.start.push_back(t.counts.size());
            t.families.push_back(cells[i].first);
        }
        t.counts.push_back({cells[i].second, j - i});
        i = j;
    }
    if (!t.families.empty()) t.start.push_back(t.counts.size());
    return t;
}

}  // namespace vornix
