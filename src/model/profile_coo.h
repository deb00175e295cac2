// A sparse copy-number profile of the extant leaves in coordinate form:
// entry k says that leaf node leaves[rows[k]] holds vals[k] copies of family
// cols[k]. Leaves without copies appear in `leaves` only.
#pragma once

#include <cstdint>
#include <vector>

namespace vornix {

struct ProfileCooBuf {
    std::vector<std::uint32_t> leaves;
    std::vector<std::uint32_t> rows;
    std::vector<std::uint64_t> cols;
    std::vector<std::uint32_t> vals;
};

}  // namespace vornix
