// Natural order of species names: names compare first by the number that all
// of their ASCII digits spell when read together, then as byte strings. The
// profile tables use it for their species columns.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vornix::writer {

using Int128 = __int128;

struct NatKey {
    Int128 number;          // 0 when the name has no digit or the digits overflow
    std::string_view name;  // the name itself, compared bytewise on a tie

    friend bool operator<(const NatKey& a, const NatKey& b) {
        if (a.number != b.number) return a.number < b.number;
        return a.name < b.name;
    }
};

// The key of one name; the key views the name, which must outlive it.
NatKey natkey(std::string_view name);

// The positions 0 .. n-1 of the given leaf node numbers, stably sorted by the
// natural order of their entries in names (every leaf must index names).
std::vector<std::uint32_t> natural_permutation(std::span<const std::uint64_t> leaves,
                                               std::span<const std::string> names);

// The given leaf node numbers, stably sorted by the natural order of their
// entries in names (every leaf must index names).
std::vector<std::uint64_t> sort_leaves_naturally(std::span<const std::uint64_t> leaves,
                                                 std::span<const std::string> names);

}  // namespace vornix::writer
