// A way for the caller to stop a long computation early (Ctrl-C in Python).
// Engines know nothing about Python: the binding hands them a poll, which
// they call every few thousand steps of their longest loops (a millisecond
// of work or less) from the calling thread only. When it answers true the
// engine frees what it holds and returns interrupted().
#pragma once

#include <cstdint>

#include "model/outcome.h"

namespace vornix {

class Interrupt {
public:
    using Poll = bool (*)(void* context);

    // Steps between two polls in `tick` (a power of two).
    static constexpr std::uint32_t kStride = 4096;

    Interrupt() = default;  // never asks to stop
    Interrupt(Poll poll, void* context) : poll_(poll), context_(context) {}

    // Called once per step of a hot loop: polls every kStride calls. Once a
    // poll has answered true, every later call answers true without polling.
    bool tick() {
        if (++steps_ % kStride != 0) return stopped_;
        return poll_now();
    }

    // Polls at once (for loops whose steps are long, such as one per gene
    // tree or per family, and for threads waiting on workers).
    bool poll_now() {
        if (!stopped_ && poll_ != nullptr && poll_(context_)) stopped_ = true;
        return stopped_;
    }

    bool stopped() const { return stopped_; }

private:
    Poll poll_ = nullptr;
    void* context_ = nullptr;
    std::uint32_t steps_ = 0;
    bool stopped_ = false;
};

// The error an engine returns after its poll asked it to stop. The binding
// raises whatever exception the poll left pending (KeyboardInterrupt for
// Ctrl-C).
inline EngineError interrupted() { return {ErrorKind::Interrupted, "interrupted"}; }

}  // namespace vornix
