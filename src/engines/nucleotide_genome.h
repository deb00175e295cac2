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

namespace vornix {

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

// A genome: its segments in reading order and their total length. Locating a
// position uses the cumulative segment ends, kept lazily: an edit marks the
// index from which they are stale and the next lookup recomputes only that
// suffix, then searches by bisection.
class NGenome {
public:
    NGenome() = default;
    explicit NGenome(std::vector<NSeg> segments);

    const std::vector<NSeg>& segments() const { return segs_; }
    std::size_t count() const { return segs_.size(); }
    std::int64_t length() const { return length_; }

    // Cumulative start of segment k (the genome length for k == count()).
    std::int64_t start_of(std::size_t k) const;
    // Index of the segment whose cumulative start is p; count() when p is the
    // genome length. p must be a boundary.
    std::size_t index_of_boundary(std::int64_t p) const;
    // Index of the segment covering position p, 0 <= p < length.
    std::size_t segment_at(std::int64_t p) const;

    // Takes the segments out, leaving an empty genome.
    std::vector<NSeg> release();

    friend void split_at(NGenome& g, std::int64_t p);
    friend SegRange arc_range(NGenome& g, std::int64_t a, std::int64_t b);
    friend void invert_arc(NGenome& g, std::int64_t a, std::int64_t b);
    friend void delete_arc(NGenome& g, std::int64_t a, std::int64_t b);
    friend void duplicate_arc(NGenome& g, std::int64_t a, std::int64_t b);
    friend void transpose_arc(NGenome& g, std::int64_t a, std::int64_t b, std::int64_t q);
    friend void insert_segments(NGenome& g, std::int64_t q, std::span<const NSeg> pieces);

private:
    // Segments from index k on changed (or moved): their cumulative ends are stale.
    void touched_from(std::size_t k) {
        if (k < valid_) valid_ = k;
    }
    void update_ends() const;

    std::vector<NSeg> segs_;
    std::int64_t length_ = 0;
    mutable std::vector<std::int64_t> ends_;  // ends_[k]: cumulative end of segment k
    mutable std::size_t valid_ = 0;           // ends_[0 .. valid_) are current
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

// Appends the segments of arc [a, a+b) to `out` (after cutting and, for a
// wrapping arc, rotating the genome as arc_range does).
void copy_arc(NGenome& g, std::int64_t a, std::int64_t b, std::vector<NSeg>& out);

}  // namespace vornix
