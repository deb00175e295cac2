// The interrupt poll the binding hands to engines: runs Python's pending
// signal handlers (the calls hold the interpreter lock throughout), so Ctrl-C
// raises KeyboardInterrupt in the middle of a long call.
#pragma once

#include "model/interrupt.h"
#include "py/ref.h"

namespace vornix::py {

inline bool signals_pending(void*) { return PyErr_CheckSignals() != 0; }

// A poll for engines running on the calling thread (which holds the lock).
inline Interrupt interrupt() { return Interrupt(&signals_pending, nullptr); }

}  // namespace vornix::py
