#include "writer/worker_pool.h"

#include <unistd.h>

#include <system_error>

namespace vornix::writer {

WorkerPool::WorkerPool(unsigned n_workers) {
    threads_.reserve(n_workers);
    for (unsigned i = 0; i < n_workers; ++i) {
        try {
            threads_.emplace_back([this, lane = i + 1] { worker_loop(lane); });
        } catch (const std::system_error&) {
            break;  // run with the threads we have; the caller always helps
        }
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
}

void WorkerPool::work(Job& job, unsigned lane) {
    for (;;) {
        const std::size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job.n) return;
        try {
            (*job.body)(i, lane);
        } catch (...) {
            std::lock_guard lock(job.error_mutex);
            if (!job.error) job.error = std::current_exception();
        }
    }
}

void WorkerPool::worker_loop(unsigned lane) {
    std::uint64_t seen = 0;
    for (;;) {
        Job* job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            job = job_;
        }
        work(*job, lane);
        {
            std::lock_guard lock(mutex_);
            if (--busy_ == 0) done_.notify_one();
        }
    }
}

void WorkerPool::for_each(std::size_t n, const Body& body) {
    if (n == 0) return;
    std::lock_guard run(run_mutex_);
    Job job;
    job.n = n;
    job.body = &body;
    if (!threads_.empty()) {
        {
            std::lock_guard lock(mutex_);
            job_ = &job;
            busy_ = workers();
            ++generation_;
        }
        wake_.notify_all();
    }
    work(job, 0);
    if (!threads_.empty()) {
        // Every worker takes part in every loop, so none can still be
        // looking at `job` once busy_ is back to 0.
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return busy_ == 0; });
        job_ = nullptr;
    }
    if (job.error) std::rethrow_exception(job.error);
}

WorkerPool& default_pool() {
    static std::mutex mutex;
    static WorkerPool* pool = nullptr;
    static pid_t owner = 0;
    std::lock_guard lock(mutex);
    if (pool == nullptr || owner != ::getpid()) {
        // Never freed: worker threads must not be joined during process exit.
        // In a forked child the parent's pool is left as it is: its threads
        // do not exist here, and its locks may have been copied held.
        const unsigned hw = std::thread::hardware_concurrency();
        pool = new WorkerPool(hw > 1 ? hw - 1 : 0);
        owner = ::getpid();
    }
    return *pool;
}

}  // namespace vornix::writer
