// The process's CPU time, for the engine-only timing programs: less
// disturbed than wall time when other work shares the machine.
#pragma once

#include <ctime>

namespace bench {

inline double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace bench
