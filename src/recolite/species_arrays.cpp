#include "recolite/species_arrays.h"

#include <limits>

namespace vornix::recolite {

std::string check_species_children(std::uint64_t n, const SpeciesArrays& sp) {
    if (n > std::numeric_limits<std::uint32_t>::max()) return "too many species nodes";
    for (std::uint64_t i = 0; i < n; ++i) {
        if (sp.is_leaf[i]) continue;
        for (const std::int64_t c : {sp.left[i], sp.right[i]}) {
            if (c < 0 || static_cast<std::uint64_t>(c) >= n) {
                return "species node " + std::to_string(i) + " has child " + std::to_string(c) +
                       ", outside the species nodes 0.." + std::to_string(n - 1);
            }
        }
    }
    return {};
}

}  // namespace vornix::recolite
