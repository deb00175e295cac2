// Gene content of one live branch in the counts-only engine: the copy count
// of each family it holds, in ascending family order.
//
// The engine picks "the i-th copy" of a genome on every duplication,
// transfer and loss, counting copies family by family in ascending family
// order. Genomes hold thousands of families on large runs, so that walk must
// not be linear. Families are kept in sorted chunks of at most kChunk
// entries, the chunks in family order, with a Fenwick index over the chunk
// totals: selecting the i-th copy descends the index to the chunk (exact
// integer sums, O(log chunks)) and then scans at most kChunk counts; finding
// a family is a binary search over the chunks' first families, then inside
// one chunk. Chunks are stored in order in flat arrays, so copying a genome
// at a speciation is a few block copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vornix::profiles {

class Genome {
public:
    static constexpr std::uint32_t kChunk = 32;

    // Where one family sits: chunk rank and place inside the chunk. Valid
    // until the next change of the genome.
    struct Slot {
        std::uint32_t chunk;
        std::uint32_t index;
    };

    Genome() = default;

    // Families 0 .. n - 1 with one copy each.
    static Genome founding(std::uint64_t n);

    std::uint64_t copies() const { return copies_; }
    std::size_t family_count() const { return families_; }

    // The family holding copy i (0 <= i < copies()) when copies are counted
    // family by family in ascending family order.
    Slot family_at(std::uint64_t i) const;

    std::uint64_t family(Slot s) const { return family_[at(s)]; }
    std::uint32_t count(Slot s) const { return count_[at(s)]; }

    // One more copy of the family at s.
    void add_copy(Slot s) {
        ++count_[at(s)];
        adjust(s.chunk, 1);
    }

    // Removes n (1 <= n <= count) copies of the family at s; the family
    // leaves the genome when none is left.
    void remove_copies(Slot s, std::uint32_t n);

    // One more copy of family f, entering with one copy when absent.
    // Returns where f now sits.
    Slot add_copy_of(std::uint64_t f);

    // Starts the cache lines that family_at will read on their way, so that
    // their fetches overlap instead of following one another.
    void prefetch() const;

    // (family, count) for every family, in ascending family order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (std::size_t j = 0; j < fill_.size(); ++j) {
            const std::size_t b = j * kChunk;
            for (std::uint32_t k = 0; k < fill_[j]; ++k) visit(family_[b + k], count_[b + k]);
        }
    }

private:
    static std::size_t at(Slot s) { return std::size_t{s.chunk} * kChunk + s.index; }

    // Adds `delta` (two's complement for removals) to the copies of chunk j.
    void adjust(std::size_t j, std::uint64_t delta) {
        copies_ += delta;
        for (std::size_t k = j + 1; k < index_.size(); k += k & (~k + 1)) index_[k] += delta;
    }

    // The chunk whose families bracket f, and f's place in it.
    Slot locate(std::uint64_t f) const;
    Slot insert_new(Slot at, std::uint64_t f);
    // Chunk totals in order, read back from the index.
    std::vector<std::uint64_t> totals() const;
    void rebuild_index(const std::vector<std::uint64_t>& totals);
    void insert_chunk(std::size_t j);
    void erase_chunk(std::size_t j);

    std::vector<std::uint64_t> family_;  // chunk j holds [j * kChunk, j * kChunk + fill_[j])
    std::vector<std::uint32_t> count_;
    std::vector<std::uint32_t> fill_;    // entries used per chunk; no chunk is empty
    std::vector<std::uint64_t> first_;   // first family of each chunk
    std::vector<std::uint64_t> index_;   // 1-based Fenwick tree over the chunk totals
    std::size_t top_ = 0;                // largest power of two <= number of chunks
    std::uint64_t copies_ = 0;
    std::size_t families_ = 0;
};

}  // namespace vornix::profiles
