#include "writer/natural_order.h"

#include <algorithm>
#include <numeric>

namespace vornix::writer {

NatKey natkey(std::string_view name) {
    constexpr Int128 kMax = static_cast<Int128>((static_cast<unsigned __int128>(1) << 127) - 1);
    Int128 number = 0;  // also the value of a name without digits
    for (const char c : name) {
        if (c < '0' || c > '9') continue;  // letters, signs, separators, every non-ASCII byte
        const int digit = c - '0';
        if (number > (kMax - digit) / 10) return {0, name};  // above the largest signed 128-bit value
        number = number * 10 + digit;
    }
    return {number, name};
}

std::vector<std::uint32_t> natural_permutation(std::span<const std::uint64_t> leaves,
                                               std::span<const std::string> names) {
    // Keys are made once; the order is that of comparing them afresh.
    std::vector<NatKey> keys;
    keys.reserve(leaves.size());
    for (const auto leaf : leaves) keys.push_back(natkey(names[leaf]));
    std::vector<std::uint32_t> perm(leaves.size());
    std::iota(perm.begin(), perm.end(), 0u);
    std::stable_sort(perm.begin(), perm.end(), [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
    return perm;
}

std::vector<std::uint64_t> sort_leaves_naturally(std::span<const std::uint64_t> leaves,
                                                 std::span<const std::string> names) {
    std::vector<std::uint64_t> sorted;
    sorted.reserve(leaves.size());
    for (const auto i : natural_permutation(leaves, names)) sorted.push_back(leaves[i]);
    return sorted;
}

}  // namespace vornix::writer
