// Likelihoods of large gene trees fall far below the smallest double. Every
// gene node therefore keeps its values as doubles times 2^scale, with an
// integer scale of its own: multiplying by a power of two is exact, so the
// scaled values are bit for bit the plain ones as long as both stay in the
// normal range, and the scale only moves when a node's values grow small.
#pragma once

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vornix::recolite {

// Values are rescaled when their largest magnitude leaves [kRescaleBelow,
// kRescaleAbove], well before any value of interest could leave the normal
// range of doubles.
inline constexpr double kRescaleBelow = 0x1p-256;
inline constexpr double kRescaleAbove = 0x1p+256;

// 2^e as a double, exact for -1022 <= e <= 1023.
inline double pow2(int e) { return std::ldexp(1.0, e); }

// x * 2^e, exact unless the result leaves the normal range; e may exceed the
// exponent range of a single double factor.
inline double times_pow2(double x, std::int64_t e) {
    if (e > INT_MAX) e = INT_MAX;
    if (e < INT_MIN) e = INT_MIN;
    return std::ldexp(x, static_cast<int>(e));
}

// A power-of-two factor 2^e applied as one or two exact multiplications.
struct Pow2Factor {
    double first = 1.0, second = 1.0;
    // The same power of two split between two factors of a product (their
    // exponents add up to the whole), so that each factor can be brought near
    // its final scale before multiplying and two large factors never overflow.
    double w_part = 1.0, z_part = 1.0;
    bool active = false;

    static Pow2Factor of(std::int64_t e) {
        Pow2Factor f;
        if (e == 0) return f;
        f.active = true;
        const std::int64_t head = e > 1000 ? 1000 : (e < -1000 ? -1000 : e);
        std::int64_t tail = e - head;
        if (tail > 1000) tail = 1000;
        if (tail < -1000) tail = -1000;
        f.first = pow2(static_cast<int>(head));
        f.second = pow2(static_cast<int>(tail));
        return f;
    }
    double apply(double x) const { return active ? (x * first) * second : x; }
};

// The binary exponent e of a finite nonzero x, as frexp gives it:
// 2^(e-1) <= |x| < 2^e. Read from the bits for normal numbers.
inline int binary_exponent(double x) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &x, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    if (biased != 0) return biased - 1022;
    int e = 0;
    std::frexp(x, &e);
    return e;
}

// A value held as value * 2^-scale (the true value), as node values are.
struct Scaled {
    double value = 0.0;
    std::int64_t scale = 0;
};

// The product of a * 2^-sa and b * 2^-sb, formed from the factors'
// mantissas so that it neither overflows nor underflows on the way: its
// value is the correctly rounded product of the mantissas, so brought back
// to any scale where it is a normal double it has the bits of a * b there.
inline Scaled scaled_product(double a, std::int64_t sa, double b, std::int64_t sb) {
    if (a == 0.0 || b == 0.0 || !std::isfinite(a) || !std::isfinite(b)) return {a * b, sa + sb};
    int ea = 0, eb = 0;
    const double ma = std::frexp(a, &ea), mb = std::frexp(b, &eb);
    return {ma * mb, sa + sb - ea - eb};
}

// The value brought to another scale by an exact power of two (rounded once
// if it lands below the normal range).
inline double at_scale(const Scaled& t, std::int64_t scale) { return times_pow2(t.value, scale - t.scale); }

// The binary exponent of the true value of a finite nonzero scaled value.
inline std::int64_t true_exponent(double value, std::int64_t scale) { return binary_exponent(value) - scale; }

// The exponent k that brings max_abs (> 0, finite) to [0.5, 1) when the value
// is multiplied by 2^k.
inline int normalising_exponent(double max_abs) {
    int e = 0;
    std::frexp(max_abs, &e);
    return -e;
}

// A double with an exponent of its own: m * 2^e, with m in [0.5, 1) in
// magnitude (or m zero, infinite or NaN, and e = 0). Each operation rounds the
// mantissa once, as the same double operation rounds, so while a plain double
// computation stays in the normal range its Wide twin, brought back, has the
// same bits; beyond that range the exponent simply keeps going.
struct Wide {
    double m = 0.0;
    std::int64_t e = 0;

    // x * 2^extra. A normal x is split by its bits (as frexp would).
    static Wide of(double x, std::int64_t extra = 0) {
        Wide w;
        if (x == 0.0 || !std::isfinite(x)) {
            w.m = x;
            return w;
        }
        std::uint64_t bits = 0;
        std::memcpy(&bits, &x, sizeof bits);
        const int biased = static_cast<int>((bits >> 52) & 0x7ff);
        if (biased != 0) {
            bits = (bits & ~(std::uint64_t{0x7ff} << 52)) | (std::uint64_t{1022} << 52);
            std::memcpy(&w.m, &bits, sizeof bits);
            w.e = extra + (biased - 1022);
            return w;
        }
        int k = 0;
        w.m = std::frexp(x, &k);
        w.e = extra + k;
        return w;
    }
    bool is_zero() const { return m == 0.0; }
    // The value times 2^k as a double: exact when the result is normal,
    // rounded once below that, infinite above.
    double times(std::int64_t k) const {
        if (m == 0.0 || !std::isfinite(m)) return m;
        const std::int64_t biased = 1022 + e + k;
        if (biased >= 1 && biased <= 2046) {
            // A normal result: only the exponent bits change.
            std::uint64_t bits = 0;
            std::memcpy(&bits, &m, sizeof bits);
            bits = (bits & ~(std::uint64_t{0x7ff} << 52)) | (static_cast<std::uint64_t>(biased) << 52);
            double r = 0.0;
            std::memcpy(&r, &bits, sizeof r);
            return r;
        }
        return times_pow2(m, e + k);
    }
    // The binary exponent of the value (2^(exponent-1) <= |value| < 2^exponent);
    // meaningful for a finite nonzero value.
    std::int64_t exponent() const { return e; }
};

inline Wide operator*(const Wide& a, const Wide& b) {
    if (a.m == 0.0 || b.m == 0.0 || !std::isfinite(a.m) || !std::isfinite(b.m)) return Wide::of(a.m * b.m);
    return Wide::of(a.m * b.m, a.e + b.e);
}

inline Wide operator/(const Wide& a, const Wide& b) {
    if (a.m == 0.0 || b.m == 0.0 || !std::isfinite(a.m) || !std::isfinite(b.m)) return Wide::of(a.m / b.m);
    return Wide::of(a.m / b.m, a.e - b.e);
}

inline Wide operator+(const Wide& a, const Wide& b) {
    if (b.m == 0.0) return a.m == 0.0 ? Wide::of(a.m + b.m) : a;
    if (a.m == 0.0) return b;
    if (!std::isfinite(a.m) || !std::isfinite(b.m)) return Wide::of(a.m + b.m);
    const bool a_first = a.e >= b.e;
    const Wide& big = a_first ? a : b;
    const Wide& small = a_first ? b : a;
    // Beyond a gap of 1100 binades the smaller term lies far below the last
    // bit of the larger and cannot change its rounding.
    const std::int64_t gap = big.e - small.e;
    if (gap > 1100) return big;
    return Wide::of(big.m + std::ldexp(small.m, -static_cast<int>(gap)), big.e);
}

inline Wide operator-(const Wide& a) {
    Wide r = a;
    r.m = -a.m;
    return r;
}
inline Wide operator-(const Wide& a, const Wide& b) { return a + (-b); }

inline Wide abs(const Wide& a) {
    Wide r = a;
    r.m = std::fabs(a.m);
    return r;
}

// a < b, decided on the rounded difference as a double comparison is.
inline bool operator<(const Wide& a, const Wide& b) { return (a - b).m < 0.0; }

// log2 of a Wide value: -inf when it is not positive.
inline double wide_log2(const Wide& w) {
    if (!(w.m > 0.0)) return -std::numeric_limits<double>::infinity();
    if (!std::isfinite(w.m)) return w.m;
    return std::log2(w.m) + static_cast<double>(w.e);
}

// log(value * 2^-scale), -inf when value <= 0 and NaN for NaN. When the
// unscaled value is a normal double it is formed exactly and its logarithm
// taken directly, which is the plain computation's result; otherwise the scale
// enters as scale * ln 2, split so that the larger part is exact.
inline double scaled_log(double value, std::int64_t scale) {
    if (value != value) return value;
    if (!(value > 0.0)) return -std::numeric_limits<double>::infinity();
    if (scale == 0) return std::log(value);
    const double unscaled = times_pow2(value, -scale);
    if (unscaled >= DBL_MIN && unscaled <= DBL_MAX) return std::log(unscaled);
    constexpr double kLn2Hi = 6.93147180369123816490e-01;  // low 21 bits zero
    constexpr double kLn2Lo = 1.90821492927058770002e-10;
    const double s = static_cast<double>(scale);
    return (std::log(value) - s * kLn2Lo) - s * kLn2Hi;
}

// log of a Wide value: -inf when it is not positive, NaN for NaN.
inline double wide_log(const Wide& w) { return scaled_log(w.m, -w.e); }

// True when |difference| * 2^-scale is below tol, the comparison of the
// fixed-point tolerance in unscaled terms.
inline bool below_unscaled(double difference, std::int64_t scale, double tol) {
    if (scale == 0) return difference < tol;
    return times_pow2(difference, -scale) < tol;
}

}  // namespace vornix::recolite
