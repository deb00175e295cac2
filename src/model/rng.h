// The run's random source: xoshiro256** seeded by a SplitMix64 expansion of
// the 64-bit seed, and the draw primitives built on one 64-bit output each.
#pragma once

#include <cmath>
#include <cstdint>

namespace vornix {

inline constexpr std::uint64_t kGoldenGamma = 0x9E3779B97F4A7C15ULL;

// The SplitMix64 output function.
inline constexpr std::uint64_t splitmix_mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Seed of independent copy i (0-based): the i-th output of a SplitMix64
// generator started at `seed`. Copy 0 does not reuse `seed` itself.
inline constexpr std::uint64_t split_seed(std::uint64_t seed, std::uint64_t i) {
    return splitmix_mix(seed + (i + 1) * kGoldenGamma);
}

inline constexpr std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

struct Rng {
    std::uint64_t s0, s1, s2, s3;

    static constexpr Rng seed_from_u64(std::uint64_t seed) {
        return Rng{split_seed(seed, 0), split_seed(seed, 1), split_seed(seed, 2), split_seed(seed, 3)};
    }

    constexpr std::uint64_t next_u64() {
        const std::uint64_t result = rotl(s1 * 5, 7) * 9;
        const std::uint64_t t = s1 << 17;
        s2 ^= s0;
        s3 ^= s1;
        s1 ^= s2;
        s0 ^= s3;
        s2 ^= t;
        s3 = rotl(s3, 45);
        return result;
    }

    // Top 53 bits scaled exactly into [0, 1).
    double uniform() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

    // Exponential waiting time at total rate `rate`; 1 - u keeps the log finite.
    double waiting_time(double rate) { return -std::log(1.0 - uniform()) / rate; }

    // Target for a weighted search over a sampler of total `total`: in (0, total].
    double weighted_target(double total) { return total * (1.0 - uniform()); }

    // u * sum, compared by callers against cumulative bounds with strict <.
    double scaled_uniform(double sum) { return uniform() * sum; }

    bool bernoulli(double p) { return uniform() < p; }

    // Whole 64-bit output reduced modulo m (m >= 1), no rejection step.
    std::uint64_t index_below(std::uint64_t m) { return next_u64() % m; }
};

}  // namespace vornix
