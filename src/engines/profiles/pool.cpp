#include "engines/profiles/pool.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <vector>

namespace vornix::profiles {

namespace {

enum Gate : int { kWait, kGo, kAbort };

// How often the calling thread polls while it waits for the workers.
constexpr std::chrono::milliseconds kPollEvery{5};

struct MapState {
    std::size_t n = 0;
    const IndexedTask* task = nullptr;
    std::atomic<int> gate{kWait};
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex error_mutex;
    std::exception_ptr error;
    // Workers that have left work(), for the waiting calling thread.
    std::mutex exit_mutex;
    std::condition_variable exit_signal;
    std::size_t exited = 0;

    void open(Gate g) {
        gate.store(g);
        gate.notify_all();
    }

    void work() {
        run();
        {
            const std::lock_guard<std::mutex> lock(exit_mutex);
            ++exited;
        }
        exit_signal.notify_one();
    }

    void run() {
        gate.wait(kWait);
        if (gate.load() == kAbort) return;
        while (!stop.load()) {
            const std::size_t i = next.fetch_add(1);
            if (i >= n) return;
            bool ok = false;
            try {
                ok = (*task)(i);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(error_mutex);
                if (!error) error = std::current_exception();
            }
            if (!ok) stop.store(true);
        }
    }

    // Waits until `workers` have exited, polling the caller's interrupt.
    void wait_for(std::size_t workers, const MapStop& caller) {
        std::unique_lock<std::mutex> lock(exit_mutex);
        while (exited < workers) {
            exit_signal.wait_for(lock, kPollEvery);
            if (exited < workers && !stop.load()) {
                lock.unlock();
                if (caller.interrupt->poll_now()) {
                    stop.store(true);
                    if (caller.cancel != nullptr) caller.cancel->store(true);
                }
                lock.lock();
            }
        }
    }
};

// Owns the started workers: whatever happens, they are let go (or told to
// abort if the map never started) and joined before the state goes away.
class Workers {
public:
    explicit Workers(MapState& state) : state_(state) {}
    ~Workers() {
        if (state_.gate.load() == kWait) state_.open(kAbort);
        for (std::thread& t : threads_) {
            if (t.joinable()) t.join();
        }
    }
    std::vector<std::thread>& threads() { return threads_; }

private:
    MapState& state_;
    std::vector<std::thread> threads_;
};

}  // namespace

bool cancel_requested(void* cancel) { return static_cast<std::atomic<bool>*>(cancel)->load(std::memory_order_relaxed); }

std::optional<std::string> parallel_map(std::size_t n, std::size_t threads, const IndexedTask& task,
                                        const ThreadStarter& start, MapStop stop) {
    MapState state;
    state.n = n;
    state.task = &task;
    {
        Workers workers(state);
        const std::size_t count = threads == 0 ? 1 : threads;
        workers.threads().reserve(count);
        try {
            for (std::size_t k = 0; k < count; ++k) {
                std::function<void()> body = [&state] { state.work(); };
                workers.threads().push_back(start ? start(std::move(body)) : std::thread(std::move(body)));
            }
        } catch (const std::system_error& e) {
            return std::string(e.what());  // the workers abort on the way out
        }
        state.open(kGo);
        if (stop.interrupt != nullptr) state.wait_for(count, stop);
    }  // joins every worker
    if (state.error) std::rethrow_exception(state.error);
    return std::nullopt;
}

}  // namespace vornix::profiles
