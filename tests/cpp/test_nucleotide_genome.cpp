// Segment edits of the nucleotide genomes: the documented small cases, and
// random edit sequences checked nucleotide by nucleotide against a plain
// expansion of the genome after every edit.
#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

#include "check.h"
#include "engines/nucleotide_genome.h"
#include "model/rng.h"

using namespace vornix;

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
    const bool chunks_bounded = g.chunk_count() <= 2 * segs.size() / NGenome::kChunkMax + 1;
    return total == g.length() && segs.size() == g.count() && chunks_bounded && (g.length() > 0 || segs.empty());
}

bool is_boundary(const NGenome& g, std::int64_t p) {
    std::int64_t c = 0;
    for (const NSeg& s : g.segments()) {
        if (c == p) return true;
        c += s.length();
    }
    return p == c;
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

TEST_CASE("arc_range returns the cut range without rotation for an arc that does not wrap") {
    NGenome g = three_units();
    CHECK(arc_range(g, 5, 10) == (SegRange{1, 3}));
    CHECK(same(g, {fwd(0, 5, 0), fwd(5, 10, 0), rev(5, 10, 1), rev(0, 5, 1), fwd(0, 10, 2)}));
    NGenome e = three_units();
    CHECK(arc_range(e, 25, 5) == (SegRange{3, 4}));  // up to the end exactly
    CHECK(same(e, {fwd(0, 10, 0), rev(0, 10, 1), fwd(0, 5, 2), fwd(5, 10, 2)}));
}

TEST_CASE("a wrapping arc rotates the list to start at index 0") {
    NGenome g = three_units();
    CHECK(arc_range(g, 25, 10) == (SegRange{0, 2}));
    CHECK(same(g, {fwd(5, 10, 2), fwd(0, 5, 0), fwd(5, 10, 0), rev(0, 10, 1), fwd(0, 5, 2)}));
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

TEST_CASE("tandem duplication puts the copy right after the arc") {
    NGenome g = three_units();
    duplicate_arc(g, 8, 4);
    CHECK(same(g, {fwd(0, 8, 0), fwd(8, 10, 0), rev(8, 10, 1), fwd(8, 10, 0), rev(8, 10, 1), rev(0, 8, 1),
                   fwd(0, 10, 2)}));
    CHECK_EQ(g.length(), 34);
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

TEST_CASE("insertion of foreign segments at the start, inside and at the end") {
    const std::vector<NSeg> piece{fwd(100, 103, 9), rev(0, 2, 8)};
    NGenome g({fwd(0, 10, 0)});
    insert_segments(g, 4, piece);
    CHECK(same(g, {fwd(0, 4, 0), fwd(100, 103, 9), rev(0, 2, 8), fwd(4, 10, 0)}));
    insert_segments(g, 0, piece);
    insert_segments(g, g.length(), piece);
    CHECK_EQ(g.length(), 25);
    CHECK(g.segments().front() == piece.front() && g.segments().back() == piece.back());
    NGenome empty;
    insert_segments(empty, 0, piece);
    CHECK(same(empty, piece));
}

TEST_CASE("random edits match the nucleotide expansion after every edit") {
    Rng rng = Rng::seed_from_u64(2024);
    int edits = 0;
    for (int run = 0; run < 90; ++run) {
        // Small units so that genomes of a few hundred segments stay cheap to
        // expand; runs differ in how many chunks they reach.
        std::vector<NSeg> start;
        const std::uint64_t units = 1 + rng.index_below(run % 10 == 0 ? 1500 : run % 3 == 0 ? 300 : 6);
        for (std::uint64_t u = 0; u < units; ++u) {
            const std::int64_t len = 1 + static_cast<std::int64_t>(rng.index_below(12));
            start.push_back(NSeg{0, len, static_cast<std::uint32_t>(u), static_cast<std::int8_t>(u % 2 ? -1 : 1)});
        }
        NGenome g(start);
        std::vector<NSeg> out;
        for (int step = 0; step < 150 && g.length() > 0; ++step, ++edits) {
            const std::int64_t m = g.length();
            const std::size_t count_before = g.count();
            const Bases before = expand(g.segments());
            const std::int64_t a = static_cast<std::int64_t>(rng.index_below(m));
            std::int64_t b = 1 + static_cast<std::int64_t>(rng.index_below(rng.index_below(4) == 0 ? m : std::min<std::int64_t>(m, 30)));
            // Cuts made at the two ends of the arc, as segment-count growth.
            const std::size_t cuts = !is_boundary(g, a) + ((a + b) % m != a && !is_boundary(g, (a + b) % m));
            std::int64_t s = 0;
            Bases expected;
            // Asserted where it follows from the cuts alone.
            std::size_t expected_count = count_before + cuts;
            bool count_known = true;
            switch (rng.index_below(8)) {
                case 0: {
                    const SegRange r = arc_range(g, a, b);
                    const Bases turned = origin_for_arc(before, a, b, s);
                    expected = turned;
                    std::int64_t covered = 0;
                    for (std::size_t i = r.first; i < r.last; ++i) covered += g.segments()[i].length();
                    CHECK_EQ(covered, b);
                    CHECK(is_boundary(g, s));
                    break;
                }
                case 1: {
                    const Bases turned = origin_for_arc(before, a, b, s);
                    expected = join(join(slice(turned, 0, s), flip(slice(turned, s, s + b))), slice(turned, s + b, m));
                    invert_arc(g, a, b);
                    break;
                }
                case 2: {
                    if (rng.index_below(20) == 0) b = m + static_cast<std::int64_t>(rng.index_below(3));
                    count_known = b >= m;
                    if (b >= m) {
                        expected = {};
                        expected_count = 0;
                    } else if (a + b > m) {
                        expected = slice(before, a + b - m, a);
                    } else {
                        expected = join(slice(before, 0, a), slice(before, a + b, m));
                    }
                    delete_arc(g, a, b);
                    break;
                }
                case 3: {
                    const Bases turned = origin_for_arc(before, a, b, s);
                    expected = insert_at(turned, s + b, slice(turned, s, s + b));
                    duplicate_arc(g, a, b);
                    count_known = false;
                    break;
                }
                case 4: {
                    if (m < 2) continue;
                    b = std::min(b, m - 1);
                    const std::int64_t q = static_cast<std::int64_t>(rng.index_below(static_cast<std::uint64_t>(m - b + 1)));
                    const Bases turned = origin_for_arc(before, a, b, s);
                    const Bases rest = join(slice(turned, 0, s), slice(turned, s + b, m));
                    expected = insert_at(rest, q, slice(turned, s, s + b));
                    transpose_arc(g, a, b, q);
                    count_known = false;
                    break;
                }
                case 5: {
                    const Bases turned = origin_for_arc(before, a, b, s);
                    out.clear();
                    copy_arc(g, a, b, out);
                    CHECK(expand(out) == slice(turned, s, s + b));
                    expected = turned;
                    break;
                }
                case 6: {
                    const std::int64_t q = static_cast<std::int64_t>(rng.index_below(static_cast<std::uint64_t>(m + 1)));
                    const std::vector<NSeg> piece{NSeg{5, 9, 77, -1}, NSeg{0, 3, 78, 1}};
                    expected = insert_at(before, q, expand(piece));
                    expected_count = count_before + piece.size() + (q < m && !is_boundary(g, q));
                    insert_segments(g, q, piece);
                    break;
                }
                default: {
                    expected = before;
                    expected_count = count_before + !is_boundary(g, a);
                    split_at(g, a);
                    CHECK(is_boundary(g, a));
                    break;
                }
            }
            CHECK(well_formed(g));
            CHECK(expand(g.segments()) == expected);
            if (count_known) CHECK_EQ(g.count(), expected_count);
        }
    }
    CHECK(edits > 5000);
}
