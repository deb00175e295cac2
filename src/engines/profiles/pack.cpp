#include "engines/profiles/pack.h"

#include <utility>

namespace vornix::profiles {

std::vector<std::uint32_t> extant_leaves(const SpeciesTree& tree, std::span<const NodeId> order) {
    std::vector<std::uint32_t> leaves;
    for (const NodeId v : order) {
        if (tree.extant_leaf[v]) leaves.push_back(v);
    }
    return leaves;
}

ProfileCooBuf pack_coo(std::vector<std::uint32_t> leaves, std::vector<CopyCounts> copies) {
    ProfileCooBuf out;
    out.leaves = std::move(leaves);
    if (copies.size() == 1) {
        // A single copy is already in its final form (offset 0).
        out.rows = std::move(copies[0].leaf);
        out.cols = std::move(copies[0].family);
        out.vals = std::move(copies[0].count);
        return out;
    }
    std::size_t entries = 0;
    for (const CopyCounts& c : copies) entries += c.leaf.size();
    out.rows.reserve(entries);
    out.cols.reserve(entries);
    out.vals.reserve(entries);
    std::uint64_t offset = 0;
    for (CopyCounts& c : copies) {
        out.rows.insert(out.rows.end(), c.leaf.begin(), c.leaf.end());
        for (const std::uint64_t f : c.family) out.cols.push_back(f + offset);
        out.vals.insert(out.vals.end(), c.count.begin(), c.count.end());
        offset += c.family_count;
        c = CopyCounts();  // release each copy as soon as it is merged
    }
    return out;
}

}  // namespace vornix::profiles
