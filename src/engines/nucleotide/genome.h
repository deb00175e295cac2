// Segmented circular genomes of the nucleotide engine. A genome stores no
// sequence letters: it is the ordered list of stretches (segments) of
// ancestral units that make it up, each with its coordinates inside its unit
// and its reading direction. Every structural event cuts segments at genome
// positions and rearranges, copies, reverses or removes whole segments.
//
// Positions are nucleotide offsets 0 .. length-1 from the start of the first
// segment. The genome is circular: an arc [a, a+b) may run over the end of
// the list and continue at its beginning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vornix::nucleotide {

// One stretch [start, end) of ancestral unit `id`, read forwards (strand +1)
// or backwards (strand -1). Coordinates refer to the unit and never change
// sign: reversing a segment only flips its strand.
struct NSeg {
    std::int64_t start;
    std::int64_t end;  // exclusive, end > start
    std::uint32_t id;
    std::int8_t strand;

    std::int64_t length() const { return end - start; }
    bool operator==(const NSeg&) const = default;
};

// Half-open range of segment indices.
struct SegRange {
    std::size_t first;
    std::size_t last;
    bool operator==(const SegRange&) const = default;
};

// A genome: one list of segments in reading order, and its total length.
//
// The list is stored in consecutive chunks of at most chunk_max() segments,
// so that a long genome is never shifted or rescanned segment by segment: a
// position is found by stepping over chunk lengths and then over one chunk's
// segments, and an edit cuts chunks at the ends of its arc and then
// reorders, copies or drops whole chunks. Chunking is invisible: every
// operation gives the list a plain segment vector would have. Adjacent
// chunks that fit together are merged after each edit, so a genome of n
// segments has fewer than 2n / chunk_max() + 1 chunks. The bound grows with
// the square root of n, which keeps the per-chunk steps of an edit and the
// per-segment moves inside a chunk in balance: an edit costs about sqrt(n)
// rather than n.
class NGenome {
public:
    // The chunk bound of genomes up to 4096 segments; larger ones use twice
    // the square root of their segment count.
    static constexpr std::size_t kChunkMin = 128;
    static std::size_t chunk_bound(std::size_t segments) {
        if (segments <= kChunkMin * kChunkMin / 4) return kChunkMin;  // 2 * sqrt(n) <= kChunkMin
        return large_chunk_bound(segments);
    }

    NGenome() = default;
    explicit NGenome(std::vector<NSeg> segments);

    std::size_t count() const { return count_; }
    std::int64_t length() const { return length_; }
    std::size_t chunk_count() const { return chunks_.size(); }
    std::size_t chunk_max() const { return chunk_bound(count_); }

    // The segments in reading order.
    std::vector<NSeg> segments() const;
    // Takes the segments out, leaving an empty genome.
    std::vector<NSeg> release();

    friend void split_at(NGenome& g, std::int64_t p);
    friend SegRange arc_range(NGenome& g, std::int64_t a, std::int64_t b);
    friend void invert_arc(NGenome& g, std::int64_t a, std::int64_t b);
    friend void delete_arc(NGenome& g, std::int64_t a, std::int64_t b);
    friend void duplicate_arc(NGenome& g, std::int64_t a, std::int64_t b);
    friend void transpose_arc(NGenome& g, std::int64_t a, std::int64_t b, std::int64_t q);
    friend void insert_segments(NGenome& g, std::int64_t q, std::span<const NSeg> pieces);
    friend void copy_arc(NGenome& g, std::int64_t a, std::int64_t b, std::vector<NSeg>& out);

private:
    struct Chunk {
        std::vector<NSeg> segs;
        std::int64_t length = 0;
    };
    struct ChunkRange {
        std::size_t first;
        std::size_t last;
    };

    // Buffers of dropped chunks, reused for new ones so that an edit does not
    // allocate. A copy of the genome starts without spares.
    struct Spares {
        std::vector<std::vector<NSeg>> buffers;
        Spares() = default;
        Spares(const Spares&) {}
        Spares& operator=(const Spares&) { return *this; }
        Spares(Spares&&) noexcept = default;
        Spares& operator=(Spares&&) noexcept = default;
    };

    static std::size_t large_chunk_bound(std::size_t segments);
    Chunk new_chunk();
    void recycle(Chunk&& c);
    // Makes p (0 <= p <= length) a segment boundary, splitting the segment
    // that covers it, and a chunk boundary; returns the index of the chunk
    // starting at p (the chunk count for p >= length).
    std::size_t cut_at(std::int64_t p);
    // The cuts of arc_range, then the chunks making up the arc.
    ChunkRange arc_chunks(std::int64_t a, std::int64_t b);
    // Number of segments in the chunks before chunk ci.
    std::size_t segments_before(std::size_t ci) const;
    // Position at which chunk ci starts.
    std::int64_t position_of(std::size_t ci) const;
    void erase_chunks(std::size_t first, std::size_t last);
    // Inserts `segs` as new chunks before chunk ci.
    void insert_chunks(std::size_t ci, std::span<const NSeg> segs);
    // Restores the chunk bounds after an edit: splits chunks above
    // chunk_max() and merges neighbours that fit into one.
    void rebalance();

    std::vector<Chunk> chunks_;
    Spares spares_;
    std::int64_t length_ = 0;
    std::size_t count_ = 0;
};

// Makes p a boundary by cutting the segment that covers it; no change when
// p <= 0, p >= length or p already is a boundary. The first piece is the one
// met first in reading order, so a reversed segment yields its high
// coordinates first.
void split_at(NGenome& g, std::int64_t p);

// Cuts the genome at both ends of the circular arc [a, a+b), 0 <= a < length,
// 1 <= b <= length, and returns the segment range that makes up exactly that
// arc. An arc that runs over the end rotates the list so that it starts at
// index 0: the only operation that moves a genome's origin.
SegRange arc_range(NGenome& g, std::int64_t a, std::int64_t b);

// Reverses the arc's segments and flips their strands.
void invert_arc(NGenome& g, std::int64_t a, std::int64_t b);

// Removes the arc without rotating the list; the rest keeps its order.
void delete_arc(NGenome& g, std::int64_t a, std::int64_t b);

// Inserts a copy of the arc directly after it.
void duplicate_arc(NGenome& g, std::int64_t a, std::int64_t b);

// Moves the arc to position q of the genome without it (0 <= q <= length - b).
void transpose_arc(NGenome& g, std::int64_t a, std::int64_t b, std::int64_t q);

// Inserts `pieces` at position q (0 <= q <= length); q == length appends.
// `pieces` must not alias the genome's own segments.
void insert_segments(NGenome& g, std::int64_t q, std::span<const NSeg> pieces);

// Appends the segments of arc [a, a+b) to `out`, after cutting and, for a
// wrapping arc, rotating the genome as arc_range does.
void copy_arc(NGenome& g, std::int64_t a, std::int64_t b, std::vector<NSeg>& out);

}  // namespace vornix::nucleotide
