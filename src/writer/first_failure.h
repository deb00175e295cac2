// The outcome of a loop run on a WorkerPool that ends at its first failure:
// an iteration that fails reports it with fail(), and every iteration that
// starts after stopped() turns true returns at once. Only the first failure
// reported is kept.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <utility>

#include "model/outcome.h"

namespace vornix::writer {

class FirstFailure {
public:
    void fail(EngineError error) {
        std::lock_guard lock(mutex_);
        if (!first_) first_ = std::move(error);
        stop();
    }
    // Ends the loop without a failure (the caller says why afterwards).
    void stop() { stop_.store(true, std::memory_order_relaxed); }
    bool stopped() const { return stop_.load(std::memory_order_relaxed); }
    // The first failure, once the loop is over.
    std::optional<EngineError> take() { return std::move(first_); }

private:
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::optional<EngineError> first_;
};

}  // namespace vornix::writer
