// Branch-free counts and updates over one cache line (or two) of a profile
// genome: how many of N sorted entries are <= x (or < x), and adding d to
// the entries from a given place on. With SSE2, part of every x86-64, 32-
// and 16-bit entries go four or eight at a time; the callers keep every
// stored value below the signed maximum of its width, so the signed vector
// compares order them. Elsewhere, and for 64-bit entries, plain loops do
// the same.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vornix::profiles::lanes {

#if defined(__SSE2__)
namespace detail {

template <class W>
inline __m128i splat(W x) {
    if constexpr (sizeof(W) == 4) return _mm_set1_epi32(static_cast<std::int32_t>(x));
    return _mm_set1_epi16(static_cast<std::int16_t>(x));
}

// All-ones lanes where a > b.
template <class W>
inline __m128i greater(__m128i a, __m128i b) {
    if constexpr (sizeof(W) == 4) return _mm_cmpgt_epi32(a, b);
    return _mm_cmpgt_epi16(a, b);
}

template <class W>
inline __m128i plus(__m128i a, __m128i b) {
    if constexpr (sizeof(W) == 4) return _mm_add_epi32(a, b);
    return _mm_add_epi16(a, b);
}

// Sum of the lanes, each between -4 and 0 (sums of up to four masks).
template <class W>
inline std::int32_t lane_sum(__m128i v) {
    if constexpr (sizeof(W) == 2) v = _mm_madd_epi16(v, _mm_set1_epi16(1));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(v);
}

// Negated number of entries above x (mode 0) or below x (mode 1), over N
// entries at e (16-byte aligned), four vectors summed at a time.
template <int Below, std::uint32_t N, class W>
inline std::int32_t negated_count(const W* e, W x) {
    constexpr std::uint32_t per = 16 / sizeof(W);
    static_assert(N % (4 * per) == 0);
    const __m128i v = splat(x);
    const auto* p = reinterpret_cast<const __m128i*>(e);
    std::int32_t total = 0;
    for (std::uint32_t g = 0; g < N / per; g += 4) {
        __m128i m[4];
        for (std::uint32_t k = 0; k < 4; ++k) {
            const __m128i lane = _mm_load_si128(p + g + k);
            m[k] = Below ? greater<W>(v, lane) : greater<W>(lane, v);
        }
        total += lane_sum<W>(plus<W>(plus<W>(m[0], m[1]), plus<W>(m[2], m[3])));
    }
    return total;
}

// 128 zero bytes, then 128 all-ones bytes: the bytes starting at
// 128 - from * sizeof(W) mask entries from.. of a row of up to 128 bytes.
struct Ramp {
    alignas(64) std::int8_t bytes[256];
    constexpr Ramp() : bytes() {
        for (int k = 128; k < 256; ++k) bytes[k] = -1;
    }
};
inline constexpr Ramp kRamp{};

}  // namespace detail

template <class W>
inline constexpr bool kVector = sizeof(W) == 4 || sizeof(W) == 2;
#else
template <class W>
inline constexpr bool kVector = false;
#endif

// Number of the N entries at e that are <= x. For running totals this is the
// rank of the first one above x.
template <std::uint32_t N, class W>
inline std::uint32_t count_at_most(const W* e, W x) {
#if defined(__SSE2__)
    if constexpr (kVector<W>) return static_cast<std::uint32_t>(static_cast<std::int32_t>(N) + detail::negated_count<0, N>(e, x));
#endif
    std::uint32_t n = 0;
    for (std::uint32_t k = 0; k < N; ++k) n += e[k] <= x ? 1u : 0u;
    return n;
}

// Number of the N entries at e that are < x.
template <std::uint32_t N, class W>
inline std::uint32_t count_below(const W* e, W x) {
#if defined(__SSE2__)
    if constexpr (kVector<W>) return static_cast<std::uint32_t>(-detail::negated_count<1, N>(e, x));
#endif
    std::uint32_t n = 0;
    for (std::uint32_t k = 0; k < N; ++k) n += e[k] < x ? 1u : 0u;
    return n;
}

// Adds d to entries from..N-1 of e (modular, so a negated d subtracts).
template <std::uint32_t N, class W>
inline void add_from(W* e, std::uint32_t from, W d) {
#if defined(__SSE2__)
    if constexpr (kVector<W>) {
        constexpr std::uint32_t per = 16 / sizeof(W);
        static_assert(N * sizeof(W) <= 128);
        const __m128i dv = detail::splat(d);
        const auto* mask = reinterpret_cast<const __m128i*>(detail::kRamp.bytes + 128 - from * sizeof(W));
        auto* p = reinterpret_cast<__m128i*>(e);
        for (std::uint32_t k = 0; k < N / per; ++k) {
            const __m128i add = _mm_and_si128(dv, _mm_loadu_si128(mask + k));
            _mm_store_si128(p + k, detail::plus<W>(_mm_load_si128(p + k), add));
        }
        return;
    }
#endif
    for (std::uint32_t k = 0; k < N; ++k) e[k] += k >= from ? d : W{0};
}

}  // namespace vornix::profiles::lanes
