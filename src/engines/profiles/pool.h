// A pool of worker threads built for one parallel map and released before
// the map returns, on every path.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "model/interrupt.h"

namespace vornix::profiles {

// Runs one task; returns false when the task failed.
using IndexedTask = std::function<bool(std::size_t)>;
// Starts one worker thread (replaceable so that a failing start can be tested).
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

// How the calling thread may stop a map early: it polls `interrupt` every
// few milliseconds while the workers run; once that asks to stop, no further
// task starts and `cancel` is set for the tasks already running to see
// (they poll it themselves); the map returns when every worker has exited.
struct MapStop {
    Interrupt* interrupt = nullptr;
    std::atomic<bool>* cancel = nullptr;
};

// Runs task(0) ... task(n - 1) on `threads` workers (at least one). Workers
// claim the next unclaimed index one at a time, so uneven tasks balance out
// and tasks start in increasing index order. Once a task has failed (or
// thrown), no further task starts; tasks already running finish.
//
// All workers are started before any task runs. If a worker cannot be
// started, no task runs and the result is the reason. An exception thrown by
// a task is rethrown on the calling thread once every worker has exited.
std::optional<std::string> parallel_map(std::size_t n, std::size_t threads, const IndexedTask& task,
                                        const ThreadStarter& start = {}, MapStop stop = {});

// A poll for tasks on worker threads: answers whether `cancel` (a
// std::atomic<bool>) is set.
bool cancel_requested(void* cancel);

}  // namespace vornix::profiles
