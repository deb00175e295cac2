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
// common case: a chunk is one line) and apart from the family numbers, which
// only transfers and new families read. Finding a family is a branch-free
// binary search over the chunks' first families, then a count inside one
// chunk.
//
// All of a genome lives in one block: the index (top level first), the
// running counts, the family numbers, the chunks' first families and fills.
// The genome object itself is a small header, so that the engine's array of
// them stays in cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "engines/profiles/lanes.h"

namespace vornix::profiles {

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
class BasicGenome {
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
    BasicGenome(const BasicGenome& other);
    BasicGenome(BasicGenome&& other) noexcept;
    // Copying into a genome reuses its block when it is large enough.
    BasicGenome& operator=(const BasicGenome& other);
    BasicGenome& operator=(BasicGenome&& other) noexcept;
    ~BasicGenome();

    // Families 0 .. n - 1 with one copy each.
    static BasicGenome founding(std::uint64_t n);

    std::uint64_t copies() const { return copies_; }
    std::uint64_t family_count() const { return families_; }
    // Bytes the genome holds, and the bytes of a founding genome of n
    // families.
    std::uint64_t memory() const { return block_bytes(capacity_); }
    static std::uint64_t bytes_for(std::uint64_t n) {
        const std::uint64_t chunks = n / kChunk + (n % kChunk != 0);
        return chunks > UINT32_MAX ? UINT64_MAX : block_bytes(static_cast<std::size_t>(chunks));
    }

    // The family holding copy i (0 <= i < copies()) when copies are counted
    // family by family in ascending family order. `will_edit` starts the
    // fetch of the chunk's families, for callers about to read them.
    Slot family_at(std::uint64_t i, bool will_edit = false) const;

    std::uint64_t family(Slot s) const { return families()[at(s)]; }
    std::uint32_t count(Slot s) const {
        const Run* run = runs_ + std::size_t{s.chunk} * kChunk;
        return static_cast<std::uint32_t>(static_cast<Run>(run[s.index] - (s.index == 0 ? Run{0} : run[s.index - 1])));
    }

    // Copy i down to its chunk: the chunk, and the copy's rank among the
    // chunk's copies.
    struct Place {
        std::uint32_t chunk;
        std::uint64_t rank;
    };

    // For a family_at(i) that comes a few events later: the same descent on
    // the current content, starting the fetch of the chunk it leads to (and
    // of its family numbers when `family`). i < copies().
    Place place(std::uint64_t i, bool family) const {
        Family rest = static_cast<Family>(i);
        const std::size_t chunk = descend_index(rest);
        __builtin_prefetch(runs_ + chunk * kChunk);
        if (family) {
            __builtin_prefetch(families() + chunk * kChunk);
            __builtin_prefetch(families() + chunk * kChunk + kChunk - 1);
        }
        return {static_cast<std::uint32_t>(chunk), rest};
    }
    // The slot of a place found with no change of the genome since: what
    // family_at would give.
    Slot slot(Place p) const {
        return {p.chunk, lanes::count_at_most<kChunk>(runs_ + std::size_t{p.chunk} * kChunk, static_cast<Run>(p.rank))};
    }
    // The family at a place found earlier, for warming a later lookup; the
    // genome may have changed since (then any family, or one above all).
    std::uint64_t peek_family(Place p) const {
        if (p.chunk >= chunks_) return kNoFamily;
        const Slot s = slot(p);
        return s.index < kChunk ? family(s) : kNoFamily;
    }
    // Warms the cache for an add_copy_of(f) a few events later.
    void prefetch_family_slot(std::uint64_t f) const {
        if (chunks_ == 0) return;
        const std::size_t chunk = chunk_of(static_cast<Family>(f));
        __builtin_prefetch(families() + chunk * kChunk);
        __builtin_prefetch(families() + chunk * kChunk + kChunk - 1);
        __builtin_prefetch(runs_ + chunk * kChunk);
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
    // the top of the index (for family_at and the count updates), and for a
    // lookup by family the chunks' first families.
    void prefetch_index() const { prefetch_lines(block_, index_bytes_); }
    void prefetch_lookup() const {
        prefetch_index();
        prefetch_lines(firsts(), std::size_t{chunks_} * sizeof(Family));
    }

    // (family, count) for every family, in ascending family order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        const Family* family = families();
        const std::uint8_t* fill = fills();
        for (std::size_t j = 0; j < chunks_; ++j) {
            const Run* run = runs_ + j * kChunk;
            Run before = 0;
            for (std::uint32_t k = 0; k < fill[j]; ++k) {
                visit(family[j * kChunk + k], static_cast<std::uint32_t>(static_cast<Run>(run[k] - before)));
                before = run[k];
            }
        }
    }

private:
    // Above every family number (and ordered so by signed compares too);
    // fills the unused places of a chunk, whose running counts there hold
    // the chunk's total, so that neither search ever stops on them.
    static constexpr Family kNoFamily = std::numeric_limits<std::make_signed_t<Family>>::max();
    static constexpr Run kRunLimit = std::numeric_limits<std::make_signed_t<Run>>::max();  // largest chunk total

    static std::size_t at(Slot s) { return std::size_t{s.chunk} * kChunk + s.index; }

    // At most 8 lines: for larger genomes only the top of the index.
    static void prefetch_lines(const void* data, std::size_t bytes) {
        const char* p = static_cast<const char*>(data);
        const std::size_t end = bytes < 512 ? bytes : 512;
        for (std::size_t off = 0; off < end; off += 64) __builtin_prefetch(p + off);
    }

    // The block: regions sized for `capacity_` chunks, each starting on a
    // line. The index of n chunks has depth_of(n) levels, top first; level t
    // (0 = top) has level_nodes(n, depth, t) nodes of kFan entries.
    static std::uint32_t depth_of(std::size_t n);
    static std::size_t level_nodes(std::size_t n, std::uint32_t depth, std::uint32_t t) {
        const unsigned shift = 4 * (depth - t);  // kFan is 2^4
        return (n + (std::size_t{1} << shift) - 1) >> shift;
    }
    static std::size_t index_bytes(std::size_t n);
    static std::size_t line_up(std::size_t bytes) { return (bytes + 63) & ~std::size_t{63}; }
    static std::size_t block_bytes(std::size_t cap) {
        return cap == 0 ? 0
                        : line_up(index_bytes(cap)) + cap * kChunk * (sizeof(Run) + sizeof(Family)) +
                              line_up(cap * sizeof(Family)) + line_up(cap);
    }
    Family* index() const { return reinterpret_cast<Family*>(block_); }
    Family* families() const { return reinterpret_cast<Family*>(runs_ + std::size_t{capacity_} * kChunk); }
    Family* firsts() const { return families() + std::size_t{capacity_} * kChunk; }
    std::uint8_t* fills() const {
        return reinterpret_cast<std::uint8_t*>(firsts()) + line_up(std::size_t{capacity_} * sizeof(Family));
    }
    // Makes room for `chunks` chunks; the content is kept when `keep`.
    void reserve(std::size_t chunks, bool keep);
    // Copies the content regions of `from`'s chunks (runs, families, first
    // families, fills, index) into this block, which has room for them.
    void copy_regions(const BasicGenome& from);
    void release();

    Run chunk_total(std::size_t j) const { return runs_[j * kChunk + kChunk - 1]; }
    // family_at without its checks (i < copies_); descend_index stops at the
    // chunk and leaves in i the rank of the copy inside it.
    Slot descend(Family i) const;
    std::size_t descend_index(Family& i) const;
    // The last chunk whose first family is <= f (the first chunk if none is).
    std::size_t chunk_of(Family f) const;
    // Adds `delta` (two's complement for removals) to the family at s and
    // every total above it.
    void adjust(Slot s, std::uint64_t delta);
    // The chunk whose families bracket f, and f's place in it.
    Slot locate(Family f) const;
    Slot insert_new(Slot at, Family f);
    void erase_family(Slot s);
    // Chunks come or go: an empty chunk at rank j, or chunk j dropped. The
    // index is built again from the chunk totals (rebuild_index), which also
    // sets depth_ and index_bytes_.
    void insert_chunk(std::size_t j);
    void erase_chunk(std::size_t j);
    void rebuild_index();

    // What an event reads first comes first.
    unsigned char* block_ = nullptr;  // starts with the index
    Run* runs_ = nullptr;             // chunk j holds entries [j * kChunk, (j + 1) * kChunk)
    std::uint64_t copies_ = 0;
    std::uint32_t chunks_ = 0;
    std::uint32_t depth_ = 0;        // index levels
    std::uint32_t index_bytes_ = 0;  // of chunks_ chunks
    std::uint32_t capacity_ = 0;     // chunks the block has room for
    std::uint64_t families_ = 0;
};

// The common case, its fallback when a chunk outgrows 16-bit counts, and
// the width for runs whose numbers do not fit 31 bits.
using NarrowGenome = BasicGenome<std::uint32_t, std::uint16_t>;
using CompactGenome = BasicGenome<std::uint32_t, std::uint32_t>;
using Genome = BasicGenome<std::uint64_t, std::uint64_t>;

}  // namespace vornix::profiles
