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
#include <new>
#include <vector>

namespace vornix::profiles {

// Allocates on cache-line boundaries, so that a chunk's counts occupy as few
// lines as possible.
template <class T>
struct LineAligned {
    using value_type = T;
    static constexpr std::align_val_t kLine{64};
    LineAligned() = default;
    template <class U>
    LineAligned(const LineAligned<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kLine)); }
    void deallocate(T* p, std::size_t) { ::operator delete(p, kLine); }
    template <class U>
    bool operator==(const LineAligned<U>&) const { return true; }
};

template <class T>
using LineVector = std::vector<T, LineAligned<T>>;

// `Family` is the stored width of family numbers and of the index sums:
// 32 bits when no family number and no genome total of the run can reach
// 2^32 (half the memory traffic of 64 bits).
template <class Family>
class alignas(64) BasicGenome {
public:
    static constexpr std::uint32_t kChunk = 32;

    // Where one family sits: chunk rank and place inside the chunk. Valid
    // until the next change of the genome.
    struct Slot {
        std::uint32_t chunk;
        std::uint32_t index;
    };

    BasicGenome() = default;

    // Families 0 .. n - 1 with one copy each.
    static BasicGenome founding(std::uint64_t n);

    std::uint64_t copies() const { return copies_; }
    std::size_t family_count() const { return families_; }

    // The family holding copy i (0 <= i < copies()) when copies are counted
    // family by family in ascending family order. `will_edit` starts the
    // fetch of the chunk's families, for callers about to read or shift them.
    Slot family_at(std::uint64_t i, bool will_edit = false) const;

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

    // One more copy of family f (which fits `Family`), entering with one
    // copy when absent. Returns where f now sits.
    Slot add_copy_of(std::uint64_t f);

    // Genomes are far too large to stay in cache, so every event would wait
    // for several fetches in a row. These start the fetches of what the next
    // steps will read as soon as its address is known, so that they overlap:
    // the index (for family_at and the count updates), and for a lookup by
    // family also the first families of the chunks.
    void prefetch_index() const { prefetch_lines(index_.data(), index_.size() * sizeof(Family)); }
    void prefetch_lookup() const {
        prefetch_index();
        prefetch_lines(first_.data(), first_.size() * sizeof(Family));
        prefetch_lines(fill_.data(), fill_.size() * sizeof(std::uint32_t));
    }
    void prefetch_family(Slot s) const { __builtin_prefetch(family_.data() + at(s)); }

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

    // At most 16 lines: for larger genomes only the top of the index.
    static void prefetch_lines(const void* data, std::size_t bytes) {
        const char* p = static_cast<const char*>(data);
        for (std::size_t off = 0; off < bytes && off < 1024; off += 64) __builtin_prefetch(p + off);
    }
    void prefetch_chunk(std::size_t j, bool families) const {
        __builtin_prefetch(count_.data() + j * kChunk);
        __builtin_prefetch(count_.data() + j * kChunk + 16);
        if (families) {
            prefetch_lines(family_.data() + j * kChunk, kChunk * sizeof(Family));
            __builtin_prefetch(fill_.data() + j);
        }
    }

    // Adds `delta` (two's complement for removals) to the copies of chunk j.
    void adjust(std::size_t j, std::uint64_t delta) {
        copies_ += delta;
        const auto d = static_cast<Family>(delta);  // modular, so removals work in any width
        for (std::size_t k = j + 1; k < index_.size(); k += k & (~k + 1)) index_[k] += d;
    }

    // The chunk whose families bracket f, and f's place in it.
    Slot locate(Family f) const;
    Slot insert_new(Slot at, Family f);
    // Turn the index into the plain chunk totals (entry j + 1 for chunk j),
    // and back.
    void index_to_totals();
    void totals_to_index();
    void insert_chunk(std::size_t j);
    void erase_chunk(std::size_t j);

    // What family_at reads comes first, so that it shares one cache line.
    LineVector<Family> index_;          // 1-based Fenwick tree over the chunk totals
    LineVector<std::uint32_t> count_;   // chunk j holds [j * kChunk, j * kChunk + fill_[j])
    std::size_t top_ = 0;               // largest power of two <= number of chunks
    std::uint64_t copies_ = 0;
    LineVector<Family> family_;         // laid out like count_
    std::vector<Family> first_;         // first family of each chunk
    std::vector<std::uint32_t> fill_;   // entries used per chunk; no chunk is empty
    std::size_t families_ = 0;
};

using Genome = BasicGenome<std::uint64_t>;
using CompactGenome = BasicGenome<std::uint32_t>;

}  // namespace vornix::profiles
