// Four doubles processed together with the compiler's vector extension; on
// a target without wide registers the compiler splits each operation. Every
// lane undergoes exactly the operations of the scalar code, so results are
// the same bit for bit.
#pragma once

#include <cstring>

// The vector helpers are internal to the engine, so the ABI of passing wide
// vectors between functions does not matter.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vornix::recolite {

typedef double Vec4 __attribute__((vector_size(32)));

// Hot kernels are compiled twice, for AVX2 and for the baseline, and picked
// at load time; the arithmetic is the same operation for operation (no fused
// multiply-add), so the choice never changes a result. Defining
// RECOLITE_BASELINE_ONLY builds the baseline alone (to test it).
#if defined(RECOLITE_BASELINE_ONLY)
#define RECOLITE_DISPATCH
#else
#define RECOLITE_DISPATCH __attribute__((target_clones("avx2", "default")))
#endif

inline Vec4 load4(const double* p) {
    Vec4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store4(double* p, Vec4 v) { std::memcpy(p, &v, sizeof v); }

}  // namespace vornix::recolite
