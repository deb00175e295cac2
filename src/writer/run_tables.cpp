#include "writer/run_tables.h"

#include <algorithm>
#include <span>
#include <stdexcept>

#include "writer/natural_order.h"

namespace vornix::writer {

namespace {

constexpr std::uint32_t kAbsent = UINT32_MAX;

// Family number -> position among the distinct families of the records.
class FamilyNumbering {
public:
    explicit FamilyNumbering(std::span<const std::uint64_t> family) {
        if (family.empty()) return;
        const std::uint64_t max_family = *std::max_element(family.begin(), family.end());
        if (max_family < family.size()) {
            // Engine output: families are numbered 0, 1, 2, ... and each has a record.
            dense_.assign(max_family + 1, kAbsent);
            for (const auto f : family) dense_[f] = 0;
            for (std::uint64_t f = 0; f <= max_family; ++f) {
                if (dense_[f] == 0) {
                    dense_[f] = static_cast<std::uint32_t>(families_.size());
                    families_.push_back(f);
                }
            }
        } else {
            families_.assign(family.begin(), family.end());
            std::sort(families_.begin(), families_.end());
            families_.erase(std::unique(families_.begin(), families_.end()), families_.end());
        }
        if (families_.size() >= kAbsent) throw std::length_error("too many gene families");
    }

    std::uint32_t operator()(std::uint64_t f) const {
        if (!dense_.empty()) return f < dense_.size() ? dense_[f] : kAbsent;
        const auto it = std::lower_bound(families_.begin(), families_.end(), f);
        return it != families_.end() && *it == f ? static_cast<std::uint32_t>(it - families_.begin()) : kAbsent;
    }

    std::vector<std::uint64_t> families_;  // ascending

private:
    std::vector<std::uint32_t> dense_;  // used when the numbers are small
};

// Stable counting sort: item i goes to group key[i] (kAbsent: dropped).
// Returns the group starts; put(i, slot) stores item i at slot.
template <class Put>
std::vector<std::size_t> group_stably(const std::vector<std::uint32_t>& key, std::size_t n_groups, Put put) {
    std::vector<std::size_t> start(n_groups + 1, 0);
    for (const auto k : key) {
        if (k != kAbsent) ++start[k + 1];
    }
    for (std::size_t k = 0; k < n_groups; ++k) start[k + 1] += start[k];
    std::vector<std::size_t> fill(start.begin(), start.end() - 1);
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (key[i] != kAbsent) put(i, fill[key[i]]++);
    }
    return start;
}

}  // namespace

FamilyGroups group_by_family(const Records& records, const ExtantContent& extant) {
    FamilyGroups g;
    FamilyNumbering number(records.family);
    // Sparse family numbers are looked up in number.families_: copy them.
    g.families = number.families_;

    std::vector<std::uint32_t> key(records.size());
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = number(records.family[i]);
    g.rows.resize(records.size());
    g.start = group_stably(key, g.families.size(), [&](std::size_t i, std::size_t at) {
        g.rows[at] = event_row(records, i);
    });

    std::vector<PlacedCopy> copies;
    key.clear();
    for (const auto& entry : extant) {
        for (const auto& [gene, family] : entry.copies) {
            copies.push_back({gene, entry.node});
            key.push_back(number(family));
        }
    }
    g.placed.resize(std::count_if(key.begin(), key.end(), [](std::uint32_t k) { return k != kAbsent; }));
    g.placed_start = group_stably(key, g.families.size(), [&](std::size_t i, std::size_t at) {
        g.placed[at] = copies[i];
    });
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

    std::vector<std::pair<std::uint64_t, std::uint32_t>> cells;  // (family, column) per copy
    cells.reserve(n_copies);
    for (std::size_t j = 0; j < extant.size(); ++j) {
        for (const auto& copy : extant[j].copies) cells.push_back({copy.second, column_of[j]});
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

}  // namespace vornix::writer
