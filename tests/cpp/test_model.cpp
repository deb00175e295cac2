// Random source, weighted sampler, recipient choice and the growable column.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <cstring>
#include <limits>
#include <vector>

#include "check.h"
#include "model/column.h"
#include "model/fenwick.h"
#include "model/recipient.h"
#include "model/rng.h"
#include "model/species_tree.h"
#include "model/usable_memory.h"

using namespace vornix;

TEST_CASE("seeding reproduces published SplitMix64 outputs") {
    const Rng a = Rng::seed_from_u64(0);
    CHECK_EQ(a.s0, 0xe220a8397b1dcdafULL);
    CHECK_EQ(a.s1, 0x6e789e6aa1b965f4ULL);
    CHECK_EQ(a.s2, 0x06c45d188009454fULL);
    CHECK_EQ(a.s3, 0xf88bb8a8724c81ecULL);
    const std::uint64_t expected[] = {6457827717110365317ULL, 3203168211198807973ULL, 9817491932198370423ULL,
                                      4593380528125082431ULL, 16408922859458223821ULL};
    for (std::uint64_t i = 0; i < 5; ++i) CHECK_EQ(split_seed(1234567, i), expected[i]);
}

TEST_CASE("stepping reproduces published xoshiro256** outputs") {
    Rng r{1, 2, 3, 4};
    const std::uint64_t expected[] = {11520ULL,
                                      0ULL,
                                      1509978240ULL,
                                      1215971899390074240ULL,
                                      1216172134540287360ULL,
                                      607988272756665600ULL,
                                      16172922978634559625ULL,
                                      8476171486693032832ULL,
                                      10595114339597558777ULL,
                                      2904607092377533576ULL};
    for (auto e : expected) CHECK_EQ(r.next_u64(), e);
}

TEST_CASE("draw primitives take one output each and stay in range") {
    // A state whose next output is all ones gives the largest uniform.
    Rng r = Rng::seed_from_u64(7);
    Rng copy = r;
    const std::uint64_t x = copy.next_u64();
    CHECK_EQ(r.uniform(), static_cast<double>(x >> 11) * 0x1.0p-53);
    CHECK(r.s0 == copy.s0 && r.s3 == copy.s3);

    CHECK(static_cast<double>(UINT64_MAX >> 11) * 0x1.0p-53 < 1.0);
    CHECK_EQ(static_cast<double>(UINT64_MAX >> 11) * 0x1.0p-53, 1.0 - 0x1.0p-53);

    Rng a = Rng::seed_from_u64(3), b = Rng::seed_from_u64(3);
    CHECK_EQ(a.index_below(1), 0u);
    b.next_u64();
    CHECK(a.s0 == b.s0 && a.s1 == b.s1 && a.s2 == b.s2 && a.s3 == b.s3);

    Rng w = Rng::seed_from_u64(11), u = w;
    CHECK_EQ(w.waiting_time(2.5), -std::log(1.0 - u.uniform()) / 2.5);
    CHECK_EQ(w.weighted_target(4.0), 4.0 * (1.0 - u.uniform()));
    CHECK_EQ(w.index_below(10), u.next_u64() % 10);
}

TEST_CASE("fenwick: ties go left and empty slots are never chosen") {
    Fenwick f(3);
    f.set_weight(0, 1.0);
    f.set_weight(2, 2.0);
    CHECK_EQ(f.total(), 3.0);
    CHECK_EQ(f.find(1e-300), 0u);
    CHECK_EQ(f.find(1.0), 0u);
    CHECK_EQ(f.find(std::nextafter(1.0, 2.0)), 2u);
    CHECK_EQ(f.find(3.0), 2u);
    for (int k = 1; k <= 300; ++k) CHECK(f.find(k / 100.0) != 1u);

    Fenwick empty(0);
    CHECK_EQ(empty.find(0.5), 0u);
    CHECK_EQ(empty.find_live(0.5), 0u);
}

TEST_CASE("fenwick: find walks every slot count correctly") {
    for (std::size_t n = 1; n <= 70; ++n) {
        Fenwick f(n);
        for (std::size_t i = 0; i < n; ++i) f.set_weight(i, static_cast<double>(i % 3));
        double cumulative = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            if (i % 3 == 0) continue;
            cumulative += static_cast<double>(i % 3);
            CHECK_EQ(f.find(cumulative), i);             // boundary: this slot
            CHECK_EQ(f.find(cumulative - 0.5), i);       // inside
        }
    }
}

TEST_CASE("fenwick: resetting a weight to its value changes nothing, not even the total") {
    Fenwick f(5);
    f.set_weight(1, 0.1);
    f.set_weight(3, 0.7);
    const double total = f.total();
    f.set_weight(3, 0.7);
    CHECK_EQ(f.total(), total);
    f.set_weight(3, 0.2);
    f.set_weight(3, 0.7);
    CHECK_EQ(f.weight(3), 0.7);
}

TEST_CASE("fenwick: the guarded find never lands on an empty or missing slot") {
    Fenwick f(4);
    f.set_weight(1, 0.1);
    f.set_weight(2, 0.2);
    f.set_weight(1, 0.0);
    f.set_weight(2, 0.0);
    f.set_weight(0, 0.3);
    // A target beyond the tree's sum (rounding) falls off the end.
    CHECK_EQ(f.find(0.3 + 1e-9), 4u);
    CHECK_EQ(f.find_live(0.3 + 1e-9), 0u);
    // A slot with positive weight is used as it is.
    CHECK_EQ(f.find_live(0.2), 0u);
    f.set_weight(0, 0.0);
    CHECK_EQ(f.find_live(0.1), 4u);  // nothing live at all
    f.set_weight(3, 1.0);
    CHECK_EQ(f.find_live(1e-300), 3u);  // empty slot 0 gives way to the live slot above
}

namespace {

// root 0 -> (1, 2); 1 -> (3, 4); 2 -> (5, 6). Times: root 0, internal 1, leaves 3.
struct Fixture {
    std::vector<std::int64_t> parent{-1, 0, 0, 1, 1, 2, 2};
    std::vector<double> time{0.0, 1.0, 1.0, 3.0, 3.0, 3.0, 3.0};
    std::vector<NodeId> active{3, 4, 5, 6};
    std::vector<NodeId> position;
    RecipientScratch scratch{7};
    Fixture() {
        position.assign(7, kNoNode);
        for (std::size_t i = 0; i < active.size(); ++i) position[active[i]] = static_cast<NodeId>(i);
    }
    std::optional<NodeId> choose(Rng& rng, NodeId donor, TransferMode mode, double t = 2.0) {
        return choose_recipient(rng, active, position, donor, parent, t, time, mode, scratch);
    }
};

bool same_state(const Rng& a, const Rng& b) { return a.s0 == b.s0 && a.s1 == b.s1 && a.s2 == b.s2 && a.s3 == b.s3; }

}  // namespace

TEST_CASE("recipient: no candidate means no draw") {
    Fixture fx;
    fx.active = {4};
    fx.position.assign(7, kNoNode);
    fx.position[4] = 0;
    for (double decay : {-1.0, 0.0, 2.0}) {
        Rng r = Rng::seed_from_u64(1), before = r;
        CHECK(!fx.choose(r, 4, {0.0, decay, false}).has_value());
        CHECK(same_state(r, before));
    }
    Rng r = Rng::seed_from_u64(1), before = r;
    CHECK_EQ(fx.choose(r, 4, {0.0, 1.0, true}).value(), 4u);
    before.next_u64();
    CHECK(same_state(r, before));
}

TEST_CASE("recipient: uniform mode skips the donor's slot") {
    Fixture fx;
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        Rng r = Rng::seed_from_u64(seed), peek = r;
        const std::uint64_t draw = peek.next_u64() % 3;  // donor 4 sits at position 1
        const NodeId got = fx.choose(r, 4, {0.0, -1.0, false}).value();
        CHECK_EQ(got, fx.active[draw < 1 ? draw : draw + 1]);
        CHECK(same_state(r, peek));

        Rng s = Rng::seed_from_u64(seed), peek2 = s;
        CHECK_EQ(fx.choose(s, 4, {0.0, -1.0, true}).value(), fx.active[peek2.next_u64() % 4]);
    }
}

TEST_CASE("recipient: distance mode weights by time back to the meeting node") {
    Fixture fx;
    // Donor 3 at t = 2: sister 4 meets at node 1 (d = 2), cousins at the root (d = 4).
    const double decay = 1.5;
    const double w_far = std::exp((4.0 - 2.0) * -decay);
    const double total = ((0.0 + 1.0) + w_far) + w_far;
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        Rng r = Rng::seed_from_u64(seed), peek = r;
        double x = total * peek.uniform();
        NodeId expected = 6;
        const double weights[] = {0.0, 1.0, w_far, w_far};
        for (int i = 0; i < 4; ++i) {
            x = x - weights[i];
            if (x <= 0.0) {
                expected = fx.active[i];
                break;
            }
        }
        CHECK_EQ(fx.choose(r, 3, {0.0, decay, false}).value(), expected);
    }
    // Very large decay: the sister wins, the cousins' weights underflow harmlessly.
    Rng r = Rng::seed_from_u64(5);
    CHECK_EQ(fx.choose(r, 3, {0.0, 1e6, false}).value(), 4u);
}

TEST_CASE("recipient: NaN decay takes the distance path and ends on the last branch") {
    Fixture fx;
    Rng r = Rng::seed_from_u64(9), before = r;
    CHECK_EQ(fx.choose(r, 3, {0.0, std::numeric_limits<double>::quiet_NaN(), false}).value(), 6u);
    before.next_u64();
    CHECK(same_state(r, before));
}

TEST_CASE("recipient: zero decay is a uniform scan that excludes the donor") {
    Fixture fx;
    int hits[7] = {};
    for (std::uint64_t seed = 0; seed < 3000; ++seed) {
        Rng r = Rng::seed_from_u64(seed);
        ++hits[fx.choose(r, 5, {0.0, 0.0, false}).value()];
    }
    CHECK_EQ(hits[5], 0);
    for (int v : {3, 4, 6}) CHECK(hits[v] > 850 && hits[v] < 1150);
}

TEST_CASE("species tree: children in node order and stable time order") {
    const std::vector<std::int64_t> parent{2, 2, -1, 1, 1};
    const std::vector<double> time{1.0, 0.5, 0.0, 1.0, 1.0};
    const Children c = build_children(5, parent);
    CHECK_EQ(c.count(2), 2u);
    CHECK_EQ(c.of(2)[0], 0u);
    CHECK_EQ(c.of(2)[1], 1u);
    const auto order = build_node_order(5, parent, time);
    const std::vector<NodeId> expected{1, 0, 3, 4};
    CHECK(order == expected);
}

TEST_CASE("usable memory: limit files parse as byte counts, anything else as no limit") {
    CHECK(vornix::parse_memory_limit("1073741824\n") == std::optional<std::uint64_t>(1073741824));
    CHECK(vornix::parse_memory_limit("18446744073709551615") ==
          std::optional<std::uint64_t>(std::numeric_limits<std::uint64_t>::max()));
    for (const char* none : {"max\n", "", "\n", "0", "18446744073709551616", "-5", "12x", "1 2", "99999999999999999999999"}) {
        CHECK(!vornix::parse_memory_limit(none).has_value());
    }
    const std::uint64_t usable = vornix::usable_memory_bytes();
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
    CHECK(usable > 0);
    CHECK(usable <= static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size));
    CHECK_EQ(vornix::usable_memory_bytes(), usable);
}

TEST_CASE("column: growth keeps every value, copies and moves are whole") {
    // Against a std::vector through pushes, resizes both ways and assigns;
    // sizes cross the C library's threshold for blocks of their own.
    std::mt19937_64 gen(3);
    Column<std::uint64_t> c;
    std::vector<std::uint64_t> want;
    for (int step = 0; step < 400; ++step) {
        const std::uint64_t op = gen() % 10;
        if (op < 7) {
            for (std::uint64_t k = gen() % 5000; k > 0; --k) {
                const std::uint64_t v = gen();
                c.push_back(v);
                want.push_back(v);
            }
        } else if (op < 9) {
            const std::size_t n = gen() % (2 * want.size() + 10);
            const std::uint64_t fill = gen();
            c.resize(n, fill);
            want.resize(n, fill);
        } else {
            Column<std::uint64_t> copy = c;
            CHECK(copy == c);
            Column<std::uint64_t> moved = std::move(copy);
            CHECK(moved == c && copy.empty());
            c = moved;
        }
        CHECK_EQ(c.size(), want.size());
        CHECK(c.empty() || std::memcmp(c.data(), want.data(), want.size() * sizeof(std::uint64_t)) == 0);
    }
    Column<std::uint64_t> assigned;
    assigned.assign(std::span<const std::uint64_t>(want));
    CHECK(assigned == c);
    assigned[0] ^= 1;
    CHECK(!(assigned == c));
}
