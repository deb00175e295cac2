// The vector counts and tail additions of the profile genome against plain
// loops, for every width and length the genome uses, over values up to the
// largest the genome may store (where a signed compare would go wrong if a
// width were mixed up) and every starting place of an addition.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <type_traits>

#include "check.h"
#include "engines/profiles/lanes.h"

namespace lanes = vornix::profiles::lanes;

namespace {

template <class W, std::uint32_t N>
void against_plain_loops(std::mt19937_64& gen) {
    const W top = std::numeric_limits<std::make_signed_t<W>>::max();
    alignas(64) W e[N];
    for (int round = 0; round < 2000; ++round) {
        // Sorted entries, often repeated, some at the top of the range.
        for (std::uint32_t k = 0; k < N; ++k) {
            const std::uint64_t pick = gen() % 4;
            e[k] = pick == 0 ? top : static_cast<W>(gen() % (pick == 1 ? 8 : static_cast<std::uint64_t>(top)));
        }
        std::sort(e, e + N);
        for (int probe = 0; probe < 4; ++probe) {
            const W x = probe == 0 ? e[gen() % N] : probe == 1 ? top : static_cast<W>(gen() % (std::uint64_t{top} + 1));
            std::uint32_t at_most = 0, below = 0;
            for (std::uint32_t k = 0; k < N; ++k) {
                at_most += e[k] <= x;
                below += e[k] < x;
            }
            CHECK_EQ(lanes::count_at_most<N>(e, x), at_most);
            CHECK_EQ(lanes::count_below<N>(e, x), below);
        }
        const auto from = static_cast<std::uint32_t>(gen() % (N + 1));
        const W d = gen() % 2 ? W{1} : static_cast<W>(W{0} - W{3});  // an addition or a removal
        W want[N];
        for (std::uint32_t k = 0; k < N; ++k) want[k] = static_cast<W>(e[k] + (k >= from ? d : W{0}));
        lanes::add_from<N>(e, from, d);
        CHECK(std::equal(e, e + N, want));
    }
}

}  // namespace

TEST_CASE("vector counts and tail additions agree with plain loops in every width") {
    std::mt19937_64 gen(17);
    against_plain_loops<std::uint16_t, 32>(gen);
    against_plain_loops<std::uint32_t, 16>(gen);
    against_plain_loops<std::uint32_t, 32>(gen);
    against_plain_loops<std::uint64_t, 16>(gen);
    against_plain_loops<std::uint64_t, 32>(gen);
}
