#include "engines/log_profile.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vornix {

ProfileCooBuf extant_profile(const ExtantContent& extant) {
    ProfileCooBuf coo;
    coo.leaves.reserve(extant.size());
    std::vector<std::uint64_t> families;  // one leaf's families, sorted to count runs
    for (std::size_t j = 0; j < extant.size(); ++j) {
        const ExtantLeaf& leaf = extant[j];
        coo.leaves.push_back(static_cast<std::uint32_t>(leaf.node));
        families.clear();
        for (const GeneCopy& c : leaf.copies) families.push_back(c.second);
        std::sort(families.begin(), families.end());
        for (std::size_t a = 0; a < families.size();) {
            std::size_t b = a + 1;
            while (b < families.size() && families[b] == families[a]) ++b;
            coo.rows.push_back(static_cast<std::uint32_t>(j));
            coo.cols.push_back(families[a]);
            coo.vals.push_back(static_cast<std::uint32_t>(b - a));
            a = b;
        }
    }
    return coo;
}

}  // namespace vornix
