// The chunked genome against a plain ordered map under long random runs of
// the operations the engine performs: the indexed family_at (and the place
// found ahead of it) must pick what the linear walk in ascending family order
// picks, whatever the chunk layout has become after splits, refills and
// retired chunks, in each storage width.
#include <cstdint>
#include <map>
#include <vector>

#include "check.h"
#include "engines/profiles/genome.h"
#include "model/rng.h"

using vornix::Rng;
using vornix::profiles::CompactGenome;
using vornix::profiles::CountsOverflow;
using vornix::profiles::Genome;
using vornix::profiles::NarrowGenome;

namespace {

using Model = std::map<std::uint64_t, std::uint32_t>;
using Entries = std::vector<std::pair<std::uint64_t, std::uint32_t>>;

// Same content, same totals, and family_at agrees with the linear walk for
// every copy index (or a spread of them when the genome is large). The walk
// is done once, alongside the ascending indices.
template <class G>
void check_same(const G& g, const Model& m) {
    Entries seen;
    g.for_each([&](std::uint64_t f, std::uint32_t c) { seen.emplace_back(f, c); });
    CHECK(seen == Entries(m.begin(), m.end()));
    std::uint64_t copies = 0;
    for (const auto& [f, c] : m) copies += c;
    CHECK_EQ(g.copies(), copies);
    CHECK_EQ(g.family_count(), m.size());
    const std::uint64_t step = copies > 3000 ? copies / 997 : 1;
    auto walk = m.begin();
    std::uint64_t before = 0;  // copies of the families ahead of `walk`
    for (std::uint64_t i = 0; i < copies; i += step) {
        while (i >= before + walk->second) before += (walk++)->second;
        const typename G::Slot s = g.family_at(i);
        const typename G::Slot ahead = g.slot(g.place(i, true));
        if (ahead.chunk != s.chunk || ahead.index != s.index) {
            CHECK_EQ(ahead.chunk, s.chunk);
            CHECK_EQ(ahead.index, s.index);
            return;
        }
        if (g.family(s) != walk->first || g.count(s) != walk->second) {
            CHECK_EQ(g.family(s), walk->first);
            CHECK_EQ(g.count(s), walk->second);
            return;
        }
    }
}

// Random engine-like traffic: copies added at a drawn copy, copies of
// arbitrary (often new) families added, copies removed, families dropped.
template <class G>
void random_traffic(G& g, Model& m, Rng& rng, int steps, std::uint64_t family_range, int check_every) {
    for (int step = 0; step < steps; ++step) {
        const std::uint64_t what = rng.index_below(10);
        if (what < 3 && g.copies() > 0) {
            const typename G::Slot s = g.family_at(rng.index_below(g.copies()));
            ++m[g.family(s)];
            g.add_copy(s);
        } else if (what < 6) {
            const std::uint64_t f = rng.index_below(family_range);
            const typename G::Slot s = g.add_copy_of(f);
            ++m[f];
            CHECK_EQ(g.family(s), f);
            CHECK_EQ(g.count(s), m[f]);
        } else if (g.copies() > 0) {
            const typename G::Slot s = g.family_at(rng.index_below(g.copies()), what == 8);
            const std::uint64_t f = g.family(s);
            const std::uint32_t n = what == 9 ? g.count(s) : 1;  // sometimes the whole family
            g.remove_copies(s, n);
            if ((m[f] -= n) == 0) m.erase(f);
        }
        if (step % check_every == 0) check_same(g, m);
    }
    check_same(g, m);
}

template <class G>
void founding_genomes() {
    for (std::uint64_t n : {0, 1, 31, 32, 33, 64, 65, 1000}) {
        Model m;
        for (std::uint64_t f = 0; f < n; ++f) m[f] = 1;
        check_same(G::founding(n), m);
    }
}

template <class G>
void traffic_of_all_kinds() {
    Rng rng = Rng::seed_from_u64(11);
    for (std::uint64_t range : {8, 40, 300, 5000}) {
        G g = G::founding(range / 2);
        Model m;
        for (std::uint64_t f = 0; f < range / 2; ++f) m[f] = 1;
        random_traffic(g, m, rng, 6000, range, range < 100 ? 1 : 50);
    }
}

template <class G>
void emptied_and_refilled() {
    Rng rng = Rng::seed_from_u64(3);
    G g = G::founding(100);
    Model m;
    while (g.copies() > 0) g.remove_copies(g.family_at(rng.index_below(g.copies())), 1);
    check_same(g, m);
    // New families always above the others (originations), then mixed.
    for (std::uint64_t f = 500; f < 700; ++f) {
        g.add_copy_of(f);
        m[f] = 1;
    }
    check_same(g, m);
    random_traffic(g, m, rng, 3000, 1000, 25);
}

template <class G>
void copies_are_independent() {
    Rng rng = Rng::seed_from_u64(5);
    G a = G::founding(200);
    Model ma;
    for (std::uint64_t f = 0; f < 200; ++f) ma[f] = 1;
    random_traffic(a, ma, rng, 500, 400, 100);
    G b = a;
    Model mb = ma;
    random_traffic(a, ma, rng, 2000, 400, 500);
    check_same(b, mb);
    random_traffic(b, mb, rng, 2000, 400, 500);
    check_same(a, ma);
}

}  // namespace

TEST_CASE("founding genomes hold families 0..n-1 once, across chunk boundaries") {
    founding_genomes<Genome>();
    founding_genomes<CompactGenome>();
    founding_genomes<NarrowGenome>();
}

TEST_CASE("family_at agrees with the linear walk under random traffic") {
    traffic_of_all_kinds<Genome>();
    traffic_of_all_kinds<CompactGenome>();
    traffic_of_all_kinds<NarrowGenome>();
}

TEST_CASE("a genome emptied completely can fill up again") {
    emptied_and_refilled<Genome>();
    emptied_and_refilled<CompactGenome>();
    emptied_and_refilled<NarrowGenome>();
}

TEST_CASE("copies of a genome are independent") {
    copies_are_independent<Genome>();
    copies_are_independent<CompactGenome>();
    copies_are_independent<NarrowGenome>();
}

TEST_CASE("64-bit family numbers beyond 32 bits keep their order") {
    Genome g;
    Model m;
    Rng rng = Rng::seed_from_u64(8);
    for (int k = 0; k < 300; ++k) {
        const std::uint64_t f = (rng.next_u64() >> 1) | (std::uint64_t{1} << 40);
        g.add_copy_of(f);
        ++m[f];
    }
    check_same(g, m);
}

TEST_CASE("a chunk that outgrows 16-bit counts says so before it wraps") {
    NarrowGenome g = NarrowGenome::founding(40);  // chunk 0 holds families 0..31
    CompactGenome wide = CompactGenome::founding(40);
    const NarrowGenome::Slot s = g.family_at(5);
    for (int k = 0; k < 32767 - 32; ++k) {
        g.add_copy(s);
        wide.add_copy(wide.family_at(5));
    }
    CHECK_EQ(g.count(s), 32767u - 31u);
    bool overflow = false;
    try {
        g.add_copy(s);  // chunk 0 would hold 2^15 copies
    } catch (const CountsOverflow&) {
        overflow = true;
    }
    CHECK(overflow);
    overflow = false;
    try {
        g.add_copy_of(20);  // an existing family of the same chunk
    } catch (const CountsOverflow&) {
        overflow = true;
    }
    CHECK(overflow);
    // The wider genome takes it; a family of another chunk still fits in
    // the narrow one.
    wide.add_copy(wide.family_at(5));
    CHECK_EQ(wide.count(wide.family_at(5)), 32767u - 30u);
    g.add_copy_of(35);
    CHECK_EQ(g.copies(), std::uint64_t{32767 + 8 + 1});
}
