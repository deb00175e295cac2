// A fixed set of worker threads that run the iterations of a loop in
// parallel; the calling thread takes iterations too, so the loop finishes
// even when no worker thread could be started.
//
// default_pool() is the process-wide pool of the output writer: created on
// first use, sized to the machine, never destroyed. After fork() the child
// holds none of the parent's threads, so a child gets a pool of its own the
// first time it asks (the parent's pool object is abandoned, untouched).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vornix::writer {

class WorkerPool {
public:
    // Body of a loop: (iteration, lane); lane 0 is the calling thread, lanes
    // 1 .. workers() the pool's threads, so per-lane scratch needs lanes().
    using Body = std::function<void(std::size_t, unsigned)>;

    // Starts up to n_workers threads (fewer if the system refuses some).
    explicit WorkerPool(unsigned n_workers);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    unsigned workers() const { return static_cast<unsigned>(threads_.size()); }
    unsigned lanes() const { return workers() + 1; }

    // Runs body(i, lane) for every i in [0, n), in any order and in parallel,
    // and returns when all are done. An exception thrown by the body is
    // rethrown here (the first one; the other iterations still run). Loops
    // from different threads run one after the other.
    void for_each(std::size_t n, const Body& body);

private:
    struct Job {
        std::size_t n = 0;
        const Body* body = nullptr;
        std::atomic<std::size_t> next{0};
        std::mutex error_mutex;
        std::exception_ptr error;
    };

    void worker_loop(unsigned lane);
    static void work(Job& job, unsigned lane);

    std::vector<std::thread> threads_;
    std::mutex run_mutex_;  // one loop at a time
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    Job* job_ = nullptr;
    std::uint64_t generation_ = 0;
    unsigned busy_ = 0;
    bool stopping_ = false;
};

// The process-wide pool (one lane per hardware thread, the caller's included).
WorkerPool& default_pool();

}  // namespace vornix::writer
