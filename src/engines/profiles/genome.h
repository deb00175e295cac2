// Gene content of one live branch in the counts-only engine: the copy count
// of each family it holds, in ascending family order.
//
// The engine picks "the i-th copy" of a genome on every duplication,
// transfer and loss, counting copies family by family in ascending family
// order, and genomes hold thousands of families on large runs. Families are
// kept in sorted chunks of at most kChunk entries, the chunks in family
// order. For each chunk the genome keeps the running copy count up to and
// including each family, so that the place of copy i inside a chunk is the
// number of running counts <= i: one count over one cache line, with no
// branch to mispredict. Above the chunks sits a tree of the same kind: each
// node holds the running totals of up to kFan children (chunks, or nodes of
// the level below). Selecting copy i descends from the single top node, one
// line and one such count per level, so it is logarithmic; an edit of a
// count adds to the tail of one line per level.
//
// Every event reads one chunk's running counts at random among all live
// genomes, so those are kept as small as the run allows (16 bits in the
// common case: a chunk of 32 is one line) and apart from the family numbers,
// which only transfers and new families read. Finding a family is a
// branch-free binary search over the chunks' first families, then a count
// inside one chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace vornix::profiles {

// Allocates on cache-line boundaries, so that a chunk or an index node
// occupies as few lines as possible.
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

// Thrown by a genome whose chunk totals no longer fit its `Run` width. The
// engine then starts the copy again with wider counts: the draws do not
// depend on the storage, so the result is the same.
struct CountsOverflow {};

// `Family` is the stored width of family numbers and of the index totals,
// `Run` that of the running counts inside a chunk. With 32-bit families no
// family number and no genome total of the run may reach 2^31 - 1, and with
// 16-bit runs no chunk may hold 2^15 copies (CountsOverflow): then signed
// compares order every stored value, and the fewest bytes move.
template <class Family, class Run>
class alignas(64) BasicGenome {
public:
    static constexpr std::uint32_t kChunk = 32;  // families per chunk
    static constexpr std::uint32_t kFan = 16;    // children per index node

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
    // fetch of the chunk's families, for callers about to read them.
    Slot family_at(std::uint64_t i, bool will_edit = false) const;

    std::uint64_t family(Slot s) const { return family_[at(s)]; }
    std::uint32_t count(Slot s) const {
        const Run* run = runs_.data() + std::size_t{s.chunk} * kChunk;
        return static_cast<std::uint32_t>(static_cast<Run>(run[s.index] - (s.index == 0 ? Run{0} : run[s.index - 1])));
    }

    // One more copy of the family at s.
    void add_copy(Slot s) { adjust(s, 1); }

    // Removes n (1 <= n <= count) copies of the family at s; the family
    // leaves the genome when none is left.
    void remove_copies(Slot s, std::uint32_t n);

    // One more copy of family f (which fits `Family`), entering with one
    // copy when absent. Returns where f now sits.
    Slot add_copy_of(std::uint64_t f);

    // Genomes are far too large to stay in cache, so every event would wait
    // for several fetches in a row. These start the fetches of what the next
    // steps will read as soon as its address is known, so that they overlap:
    // the upper index (for family_at and the count updates), and for a
    // lookup by family the chunks' first families.
    void prefetch_index() const {
        // The top levels come last.
        const std::size_t bytes = nodes_.size() * sizeof(Family);
        const std::size_t skip = bytes > kPrefetchBytes ? bytes - kPrefetchBytes : 0;
        prefetch_lines(reinterpret_cast<const char*>(nodes_.data()) + skip, bytes - skip);
    }
    void prefetch_lookup() const {
        prefetch_index();
        prefetch_lines(first_.data(), first_.size() * sizeof(Family));
    }

    // (family, count) for every family, in ascending family order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (std::size_t j = 0; j < fill_.size(); ++j) {
            const Run* run = runs_.data() + j * kChunk;
            const Family* family = family_.data() + j * kChunk;
            Run before = 0;
            for (std::uint32_t k = 0; k < fill_[j]; ++k) {
                visit(family[k], static_cast<std::uint32_t>(static_cast<Run>(run[k] - before)));
                before = run[k];
            }
        }
    }

private:
    // Above every family number (and ordered so by signed compares too);
    // fills the unused places of a chunk, whose running counts there hold
    // the chunk's total, so that neither search ever stops on them.
    static constexpr Family kNoFamily = static_cast<Family>(~Family{0} >> 1);
    static constexpr Run kRunLimit = static_cast<Run>(~Run{0} >> 1);  // largest chunk total

    static std::size_t at(Slot s) { return std::size_t{s.chunk} * kChunk + s.index; }

    // At most 8 lines: for larger genomes only part of the index.
    static constexpr std::size_t kPrefetchBytes = 512;
    static void prefetch_lines(const void* data, std::size_t bytes) {
        const char* p = static_cast<const char*>(data);
        const std::size_t end = bytes < kPrefetchBytes ? bytes : kPrefetchBytes;
        for (std::size_t off = 0; off < end; off += 64) __builtin_prefetch(p + off);
    }

    Run chunk_total(std::size_t j) const { return runs_[j * kChunk + kChunk - 1]; }
    // Adds `delta` (two's complement for removals) to the family at s and
    // every total above it.
    void adjust(Slot s, std::uint64_t delta);
    // The chunk whose families bracket f, and f's place in it.
    Slot locate(Family f) const;
    Slot insert_new(Slot at, Family f);
    void erase_family(Slot s);
    // Chunks come or go: an empty chunk at rank j, or chunk j dropped. The
    // index is built again from the chunk totals (rebuild_index).
    void insert_chunk(std::size_t j);
    void erase_chunk(std::size_t j);
    void rebuild_index();

    // What family_at reads first comes first.
    LineVector<Family> nodes_;  // the index levels, bottom level first, kFan entries per node
    LineVector<Run> runs_;      // chunk j holds entries [j * kChunk, (j + 1) * kChunk)
    std::uint64_t copies_ = 0;
    std::uint32_t depth_ = 0;  // index levels
    // Where each level starts in nodes_; chunk ranks below 2^32 need at
    // most 8 levels.
    std::uint32_t start_[8] = {};
    LineVector<Family> family_;       // laid out like runs_, ascending in each chunk
    std::vector<Family> first_;       // first family of each chunk
    std::vector<std::uint8_t> fill_;  // families per chunk, 1 .. kChunk
    std::size_t families_ = 0;
};

// The common case, its fallback when a chunk outgrows 16-bit counts, and
// the width for runs whose numbers do not fit 31 bits.
using NarrowGenome = BasicGenome<std::uint32_t, std::uint16_t>;
using CompactGenome = BasicGenome<std::uint32_t, std::uint32_t>;
using Genome = BasicGenome<std::uint64_t, std::uint64_t>;

}  // namespace vornix::profiles
