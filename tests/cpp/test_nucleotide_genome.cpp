// Segment edits of the nucleotide genomes: the documented small cases, and
// random edit sequences checked nucleotide by nucleotide against a plain
// expansion of the genome after every edit.
#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

#include "check.h"
#include "engines/nucleotide/genome.h"
#include "model/rng.h"

using namespace vornix;
using namespace vornix::nucleotide;

namespace {

NSeg fwd(std::int64_t s, std::int64_t e, std::uint32_t id) { return NSeg{s, e, id, 1}; }
NSeg rev(std::int64_t s, std::int64_t e, std::uint32_t id) { return NSeg{s, e, id, -1}; }

bool same(const NGenome& g, const std::vector<NSeg>& expected) { return g.segments() == expected; }

// Three units of 10: [0,10) id 0, [0,10) id 1 reversed, [0,10) id 2.
NGenome three_units() { return NGenome({fwd(0, 10, 0), rev(0, 10, 1), fwd(0, 10, 2)}); }

// One nucleotide: the unit it comes from, its coordinate there, its strand.
using Base = std::tuple<std::uint32_t, std::int64_t, int>;
using Bases = std::vector<Base>;

Bases expand(const std::vector<NSeg>& segs) {
    Bases out;
    for (const NSeg& s : segs) {
        for (std::int64_t i = 0; i < s.length(); ++i) {
            out.emplace_back(s.id, s.strand > 0 ? s.start + i : s.end - 1 - i, s.strand);
        }
    }
    return out;
}

Bases flip(Bases b) {
    std::reverse(b.begin(), b.end());
    for (auto& x : b) std::get<2>(x) = -std::get<2>(x);
    return b;
}

Bases slice(const Bases& b, std::int64_t from, std::int64_t to) { return Bases(b.begin() + from, b.begin() + to); }

Bases join(Bases a, const Bases& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bases insert_at(const Bases& into, std::int64_t q, const Bases& piece) {
    return join(join(slice(into, 0, q), piece), slice(into, q, static_cast<std::int64_t>(into.size())));
}

// The expansion as the genome will read it after arc_range(a, b): a wrapping
// arc moves the origin to a. Also gives where the arc starts afterwards.
Bases origin_for_arc(const Bases& b, std::int64_t a, std::int64_t len, std::int64_t& arc_start) {
    const std::int64_t m = static_cast<std::int64_t>(b.size());
    if (a + len > m) {
        arc_start = 0;
        return join(slice(b, a, m), slice(b, 0, a));
    }
    arc_start = a;
    return b;
}

bool well_formed(const NGenome& g) {
    const auto segs = g.segments();
    std::int64_t total = 0;
    for (const NSeg& s : segs) {
        if (s.end <= s.start || (s.strand != 1 && s.strand != -1)) return false;
        total += s.length();
    }
    const bool chunks_bounded = g.chunk_count() <= 2 * segs.size() / g.chunk_max() + 1;
    return total == g.length() && segs.size() == g.count() && chunks_bounded && (g.length() > 0 || segs.empty());
}

}  // namespace

TEST_CASE("split_at cuts a reversed segment high coordinates first") {
    NGenome g({rev(10, 20, 4)});
    split_at(g, 3);
    CHECK(same(g, {rev(17, 20, 4), rev(10, 17, 4)}));
    NGenome f({fwd(10, 20, 4)});
    split_at(f, 3);
    CHECK(same(f, {fwd(10, 13, 4), fwd(13, 20, 4)}));
}

TEST_CASE("split_at leaves the genome alone at 0, at the length, outside and on a boundary") {
    for (std::int64_t p : {-5, 0, 10, 20, 30, 31, 100}) {
        NGenome g = three_units();
        split_at(g, p);
        CHECK(same(g, three_units().segments()));
    }
}

TEST_CASE("arc_range over the whole genome rotates only when it starts inside") {
    NGenome g = three_units();
    CHECK(arc_range(g, 0, 30) == (SegRange{0, 3}));
    CHECK(same(g, three_units().segments()));

    NGenome r = three_units();
    CHECK(arc_range(r, 10, 30) == (SegRange{0, 3}));
    CHECK(same(r, {rev(0, 10, 1), fwd(0, 10, 2), fwd(0, 10, 0)}));

    // Starting inside a segment: the cut piece after the origin comes first,
    // the piece before it last.
    NGenome s = three_units();
    CHECK(arc_range(s, 4, 30) == (SegRange{0, 4}));
    CHECK(same(s, {fwd(4, 10, 0), rev(0, 10, 1), fwd(0, 10, 2), fwd(0, 4, 0)}));
}

TEST_CASE("arc_range rotates only an arc that runs over the end") {
    NGenome g = three_units();
    CHECK(arc_range(g, 5, 10) == (SegRange{1, 3}));
    CHECK(same(g, {fwd(0, 5, 0), fwd(5, 10, 0), rev(5, 10, 1), rev(0, 5, 1), fwd(0, 10, 2)}));
    NGenome e = three_units();
    CHECK(arc_range(e, 25, 5) == (SegRange{3, 4}));  // up to the end exactly
    CHECK(same(e, {fwd(0, 10, 0), rev(0, 10, 1), fwd(0, 5, 2), fwd(5, 10, 2)}));
    NGenome w = three_units();  // wrapping: the list turns to start at the arc
    CHECK(arc_range(w, 25, 10) == (SegRange{0, 2}));
    CHECK(same(w, {fwd(5, 10, 2), fwd(0, 5, 0), fwd(5, 10, 0), rev(0, 10, 1), fwd(0, 5, 2)}));
}

TEST_CASE("a wrapping deletion keeps the middle stretch in order without rotating") {
    NGenome g = three_units();
    delete_arc(g, 25, 10);  // removes [25, 30) and [0, 5)
    CHECK(same(g, {fwd(5, 10, 0), rev(0, 10, 1), fwd(0, 5, 2)}));
    CHECK_EQ(g.length(), 20);

    NGenome all = three_units();
    delete_arc(all, 7, 30);
    CHECK(all.segments().empty());
    CHECK_EQ(all.length(), 0);
}

TEST_CASE("inverting a one-segment arc flips its strand only") {
    NGenome g = three_units();
    invert_arc(g, 10, 10);
    CHECK(same(g, {fwd(0, 10, 0), fwd(0, 10, 1), fwd(0, 10, 2)}));
    NGenome one({fwd(0, 8, 3)});
    invert_arc(one, 0, 8);
    CHECK(same(one, {rev(0, 8, 3)}));
}

TEST_CASE("transposition to the end of the shortened genome appends the arc") {
    NGenome g = three_units();
    transpose_arc(g, 0, 10, 20);
    CHECK(same(g, {rev(0, 10, 1), fwd(0, 10, 2), fwd(0, 10, 0)}));
    NGenome front = three_units();
    transpose_arc(front, 20, 10, 0);
    CHECK(same(front, {fwd(0, 10, 2), fwd(0, 10, 0), rev(0, 10, 1)}));
    NGenome inside = three_units();
    transpose_arc(inside, 20, 5, 3);  // into the middle of the first unit
    CHECK(same(inside, {fwd(0, 3, 0), fwd(0, 5, 2), fwd(3, 10, 0), rev(0, 10, 1), fwd(5, 10, 2)}));
}

TEST_CASE("random edits keep the length invariant and match the nucleotide expansion") {
    Rng rng = Rng::seed_from_u64(2024);
    auto below = [&](std::int64_t n) { return static_cast<std::int64_t>(rng.index_below(static_cast<std::uint64_t>(n))); };
    int edits = 0;
    for (int run = 0; run < 90; ++run) {
        // Small units keep the expansion cheap; some runs reach many chunks,
        // a few have chunks above the smallest bound (and shrink below it).
        std::vector<NSeg> start;
        const std::int64_t units =
            run % 30 == 0 ? 9000 + below(3000) : 1 + below(run % 10 == 0 ? 1500 : run % 3 == 0 ? 300 : 6);
        for (std::int64_t u = 0; u < units; ++u) {
            start.push_back(NSeg{0, 1 + below(12), static_cast<std::uint32_t>(u), static_cast<std::int8_t>(u % 2 ? -1 : 1)});
        }
        NGenome g(start);
        for (int step = 0; step < 150 && g.length() > 0; ++step, ++edits) {
            const std::int64_t m = g.length();
            const int kind = static_cast<int>(below(5));
            const std::int64_t a = below(m);
            std::int64_t b = 1 + below(below(4) == 0 ? m : std::min<std::int64_t>(m, 30));
            if (kind == 3) b = std::min(b, m - 1);  // a transposition leaves something behind
            if (b == 0) continue;
            const Bases before = expand(g.segments());
            std::int64_t s = 0;  // where the arc starts once it is cut out
            const Bases turned = origin_for_arc(before, a, b, s);
            const Bases arc = slice(turned, s, s + b);
            const Bases rest = join(slice(turned, 0, s), slice(turned, s + b, m));
            Bases expected;
            if (kind == 0) {
                invert_arc(g, a, b);
                expected = insert_at(rest, s, flip(arc));
            } else if (kind == 1) {
                delete_arc(g, a, b);
                expected = a + b > m ? slice(before, a + b - m, a) : rest;  // no rotation
            } else if (kind == 2) {
                duplicate_arc(g, a, b);
                expected = insert_at(turned, s + b, arc);
            } else if (kind == 3) {
                const std::int64_t q = below(m - b + 1);
                transpose_arc(g, a, b, q);
                expected = insert_at(rest, q, arc);
            } else {
                const std::int64_t q = below(m + 1);
                const std::vector<NSeg> piece{NSeg{5, 9, 77, -1}, NSeg{0, 3, 78, 1}};
                insert_segments(g, q, piece);
                expected = insert_at(before, q, expand(piece));
            }
            CHECK(well_formed(g));
            CHECK(expand(g.segments()) == expected);
        }
    }
    CHECK(edits > 5000);
}

TEST_CASE("the chunk bound grows with the square root of the segment count") {
    CHECK_EQ(NGenome::chunk_bound(0), NGenome::kChunkMin);
    CHECK_EQ(NGenome::chunk_bound(4096), NGenome::kChunkMin);
    CHECK_EQ(NGenome::chunk_bound(4097), NGenome::kChunkMin);
    CHECK_EQ(NGenome::chunk_bound(5000), std::size_t{140});
    CHECK_EQ(NGenome::chunk_bound(1'000'000), std::size_t{2000});
    std::vector<NSeg> units(250'000);
    for (std::uint32_t u = 0; u < units.size(); ++u) units[u] = NSeg{0, 3, u, 1};
    NGenome g(units);
    CHECK_EQ(g.chunk_max(), std::size_t{1000});
    CHECK(g.chunk_count() <= 2 * g.count() / g.chunk_max() + 1);
    // Shrinking to a small genome brings every chunk back under the small bound.
    delete_arc(g, 5, g.length() - 300);
    CHECK_EQ(g.count(), std::size_t{101});
    CHECK(g.chunk_count() == 1);
    CHECK(g.segments().front() == (NSeg{0, 3, 0, 1}));
}
