// The chunked genome against a plain ordered map under long random runs of
// the operations the engine performs: the indexed family_at must pick what
// the linear walk in ascending family order picks, whatever the chunk
// layout has become after splits, refills and retired chunks.
#include <cstdint>
#include <map>
#include <vector>

#include "check.h"
#include "engines/profiles/genome.h"
#include "model/rng.h"

using vornix::Rng;
using vornix::profiles::CompactGenome;
using vornix::profiles::Genome;

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
}

TEST_CASE("family_at agrees with the linear walk under random traffic") {
    traffic_of_all_kinds<Genome>();
    traffic_of_all_kinds<CompactGenome>();
}

TEST_CASE("a genome emptied completely can fill up again") {
    emptied_and_refilled<Genome>();
    emptied_and_refilled<CompactGenome>();
}

TEST_CASE("copies of a genome are independent") {
    copies_are_independent<Genome>();
    copies_are_independent<CompactGenome>();
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
