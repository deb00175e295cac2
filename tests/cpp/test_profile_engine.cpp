// Paths of the profile engines that Python cannot reach cheaply: the event
// limit, a worker pool that cannot start, failures and exceptions inside the
// parallel map, and the packing of several copies.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "check.h"
#include "engines/profiles/pack.h"
#include "engines/profiles/pool.h"
#include "engines/profiles/run.h"

using namespace vornix;
using namespace vornix::profiles;

namespace {

SpeciesTree make_tree(std::vector<std::int64_t> parent, std::vector<double> time, std::vector<std::uint8_t> extant,
                      std::uint64_t root) {
    SpeciesTree t;
    t.n_nodes = parent.size();
    t.parent = std::move(parent);
    t.time = std::move(time);
    t.extant_leaf = std::move(extant);
    t.root = root;
    return t;
}

// Root 1 with one child 0, an extant leaf: a single live branch, so no
// transfer ever finds a recipient when self is not allowed.
SpeciesTree single_branch() { return make_tree({1, -1}, {5.0, 0.0}, {1, 0}, 1); }

// Root 4 over internal node 1 and extinct leaf 3; node 1 over leaves 0, 2.
SpeciesTree small_tree() { return make_tree({1, 4, 1, 4, -1}, {3.0, 1.0, 3.0, 2.0, 0.0}, {1, 0, 1, 0, 0}, 4); }

ProfileParams busy_params() {
    ProfileParams p;
    p.duplication = 0.6;
    p.transfer = 0.5;
    p.loss = 0.4;
    p.origination = 0.8;
    return p;
}

}  // namespace

TEST_CASE("transfers without a recipient change nothing but count towards the limit") {
    const SpeciesTree tree = single_branch();
    const TreeWalk walk = prepare_profile_tree(tree).value();
    ProfileParams p;
    p.transfer = 3.0;
    auto free = run_profile_copy(tree, walk, p, 7, 4);
    CHECK(free.ok());
    const std::uint64_t events = free.value().events;
    CHECK(events > 20);
    CHECK(free.value().family == std::vector<std::uint64_t>({0, 1, 2, 3}));
    CHECK(free.value().count == std::vector<std::uint32_t>({1, 1, 1, 1}));

    p.max_events = events;
    CHECK(run_profile_copy(tree, walk, p, 7, 4).ok());
    p.max_events = events - 1;
    auto stopped = run_profile_copy(tree, walk, p, 7, 4);
    CHECK(!stopped.ok());
    CHECK(stopped.error().kind == ErrorKind::Runtime);
    CHECK_EQ(stopped.error().message, std::string(kEventLimitMessage));
}

TEST_CASE("the event limit reaches both entry points; the lowest failed copy is reported") {
    const SpeciesTree tree = small_tree();
    ProfileParams p = busy_params();
    p.max_events = 3;
    auto serial = run_profiles(tree, p, 1, 10);
    CHECK(!serial.ok() && serial.error().kind == ErrorKind::Runtime);
    for (std::uint64_t threads : {1, 2, 5}) {
        auto parallel = run_profiles_parallel(tree, p, 1, 40, 16, threads);
        CHECK(!parallel.ok());
        CHECK_EQ(parallel.error().message, std::string(kEventLimitMessage));
    }
}

TEST_CASE("32-bit and 64-bit family storage give the same copy") {
    // A budget above 2^32 events forces 64-bit family numbers.
    const SpeciesTree tree = small_tree();
    const TreeWalk walk = prepare_profile_tree(tree).value();
    ProfileParams compact = busy_params(), wide = busy_params();
    wide.max_events = (std::uint64_t{1} << 32) + 1;
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        const CopyCounts a = run_profile_copy(tree, walk, compact, seed, 300).value();
        const CopyCounts b = run_profile_copy(tree, walk, wide, seed, 300).value();
        CHECK(a.leaf == b.leaf && a.family == b.family && a.count == b.count);
        CHECK_EQ(a.events, b.events);
        CHECK(a.events > 100);
    }
}

TEST_CASE("a family outgrowing 16-bit counts reruns the copy with wider counts, same result") {
    // One branch, duplications only: family 0 grows past 2^15 copies.
    const SpeciesTree tree = make_tree({1, -1}, {11.0, 0.0}, {1, 0}, 1);
    const TreeWalk walk = prepare_profile_tree(tree).value();
    ProfileParams p;
    p.duplication = 1.0;
    p.origination = 0.5;
    for (const std::int64_t cap : {std::int64_t{-1}, std::int64_t{1} << 40}) {  // both event loops
        p.cap = cap;
        bool overflow = false;
        try {
            Engine<NarrowGenome>(tree, walk, p, 3).run(1);
        } catch (const CountsOverflow&) {
            overflow = true;
        }
        CHECK(overflow);
        const CopyCounts wide = Engine<CompactGenome>(tree, walk, p, 3).run(1).value();
        std::uint64_t copies = 0;
        for (const std::uint32_t c : wide.count) copies += c;
        CHECK(copies > 32768u);
        const CopyCounts got = run_profile_copy(tree, walk, p, 3, 1).value();
        CHECK(got.family == wide.family && got.count == wide.count);
        CHECK_EQ(got.events, wide.events);
    }
}

TEST_CASE("genomes outgrowing the memory budget stop the copy with a memory error") {
    // Originations only: families pile up on both branches of a long tree.
    const SpeciesTree tree = make_tree({-1, 0, 0}, {0.0, 1e6, 1e6}, {0, 1, 1}, 0);
    const TreeWalk walk = prepare_profile_tree(tree).value();
    ProfileParams p;
    p.origination = 1.0;
    p.memory_budget = 1 << 20;
    for (const std::int64_t cap : {std::int64_t{-1}, std::int64_t{7}}) {  // both event loops
        p.cap = cap;
        auto out = run_profile_copy(tree, walk, p, 5, 0);
        CHECK(!out.ok());
        CHECK(out.error().kind == ErrorKind::Memory);
        CHECK(out.error().message.find("outgrew their memory budget (1048576 bytes)") != std::string::npos);
    }
}

TEST_CASE("a pool whose workers cannot all start runs nothing and reports why") {
    std::atomic<int> started{0}, ran{0};
    const ThreadStarter flaky = [&](std::function<void()> body) {
        if (started++ == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    };
    const IndexedTask count = [&](std::size_t) { return ++ran, true; };
    auto failure = parallel_map(100, 4, count, flaky);
    CHECK(failure.has_value());
    CHECK_EQ(ran.load(), 0);

    started = 0;
    auto out = run_profiles_parallel(small_tree(), busy_params(), 1, 10, 8, 4, flaky);
    CHECK(!out.ok());
    CHECK(out.error().kind == ErrorKind::Runtime);
    CHECK_EQ(out.error().message.rfind("rayon pool: ", 0), 0u);
}

TEST_CASE("the parallel map runs every task once, stops after a failure, carries exceptions") {
    std::vector<std::atomic<int>> hits(2000);
    CHECK(!parallel_map(hits.size(), 3, [&](std::size_t i) { return ++hits[i], true; }).has_value());
    bool once = true;
    for (auto& h : hits) once = once && h.load() == 1;
    CHECK(once);

    // One worker takes tasks in order: nothing after the failed task starts.
    std::vector<int> order;
    parallel_map(10, 1, [&](std::size_t i) { return order.push_back(static_cast<int>(i)), i != 3; });
    CHECK(order == std::vector<int>({0, 1, 2, 3}));

    bool thrown = false;
    try {
        parallel_map(50, 2, [](std::size_t i) -> bool {
            if (i == 7) throw std::runtime_error("boom");
            return true;
        });
    } catch (const std::runtime_error& e) {
        thrown = std::string(e.what()) == "boom";
    }
    CHECK(thrown);
}

TEST_CASE("an interrupt polled while waiting stops the map: running tasks are cancelled, no task starts") {
    struct Polls {
        std::atomic<int> count{0};
        static bool third(void* self) { return ++static_cast<Polls*>(self)->count >= 3; }
    } polls;
    Interrupt interrupt(&Polls::third, &polls);
    std::atomic<bool> cancel{false};
    std::atomic<int> started{0};
    const IndexedTask wait_for_cancel = [&](std::size_t) {
        ++started;
        Interrupt task_poll(&cancel_requested, &cancel);
        while (!task_poll.poll_now()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return false;  // stopped early
    };
    CHECK(!parallel_map(100, 2, wait_for_cancel, {}, MapStop{&interrupt, &cancel}).has_value());
    CHECK(interrupt.stopped() && cancel.load());
    CHECK(started.load() <= 2);
    CHECK(polls.count.load() == 3);

    // A whole copy stops as well, and the call reports the interruption.
    polls.count = 0;
    ProfileParams p = busy_params();
    p.duplication = p.loss = 50.0;
    const SpeciesTree long_tree = make_tree({-1, 0, 0}, {0.0, 1e9, 1e9}, {0, 1, 1}, 0);
    auto out = run_profiles_parallel(long_tree, p, 1, 20, 4, 2, {}, Interrupt(&Polls::third, &polls));
    CHECK(!out.ok() && out.error().kind == ErrorKind::Interrupted);
}

TEST_CASE("pack_coo shifts each copy's families past those of the copies before it") {
    CopyCounts a{{0, 1}, {2, 0}, {5, 1}, 3, 0};
    CopyCounts b{{1}, {1}, {7}, 4, 0};
    CopyCounts c{{}, {}, {}, 2, 0};
    CopyCounts d{{0}, {0}, {1}, 1, 0};
    std::vector<CopyCounts> copies;
    for (auto* x : {&a, &b, &c, &d}) copies.push_back(*x);
    const ProfileCooBuf out = pack_coo({10, 11}, std::move(copies));
    CHECK(out.leaves == std::vector<std::uint32_t>({10, 11}));
    CHECK(out.rows == std::vector<std::uint32_t>({0, 1, 1, 0}));
    CHECK(out.cols == std::vector<std::uint64_t>({2, 0, 4, 9}));
    CHECK(out.vals == std::vector<std::uint32_t>({5, 1, 7, 1}));
}
