// Four doubles processed together with the compiler's vector extension; on
// a target without wide registers the compiler splits each operation. Every
// lane undergoes exactly the operations of the scalar code, so results are
// the same bit for bit.
#pragma once

#include <cstring>

// The vector helpers are internal to the engine, so the ABI of passing wide
// vectors between functions does not matter.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace recolite {

typedef double Vec4 __attribute__((vector_size(32)));

inline Vec4 load4(const double* p) {
    Vec4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store4(double* p, Vec4 v) { std::memcpy(p, &v, sizeof v); }

}  // namespace recolite
