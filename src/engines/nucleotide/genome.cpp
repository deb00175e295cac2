#include "engines/nucleotide/genome.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace vornix::nucleotide {

namespace {

constexpr std::size_t kMaxSpares = 16;

std::int64_t total_length(std::span<const NSeg> segs) {
    std::int64_t n = 0;
    for (const NSeg& s : segs) n += s.length();
    return n;
}

NSeg flipped(NSeg s) {
    s.strand = static_cast<std::int8_t>(-s.strand);
    return s;
}

}  // namespace

std::size_t NGenome::large_chunk_bound(std::size_t segments) {
    return std::max(kChunkMin, 2 * static_cast<std::size_t>(std::sqrt(static_cast<double>(segments))));
}

NGenome::NGenome(std::vector<NSeg> segments) { insert_chunks(0, segments); }

std::vector<NSeg> NGenome::segments() const {
    std::vector<NSeg> out;
    out.reserve(count_);
    for (const Chunk& c : chunks_) out.insert(out.end(), c.segs.begin(), c.segs.end());
    return out;
}

std::vector<NSeg> NGenome::release() {
    std::vector<NSeg> out = segments();
    chunks_.clear();
    spares_.buffers.clear();
    length_ = 0;
    count_ = 0;
    return out;
}

NGenome::Chunk NGenome::new_chunk() {
    Chunk c;
    if (!spares_.buffers.empty()) {
        c.segs = std::move(spares_.buffers.back());
        spares_.buffers.pop_back();
        c.segs.clear();
    }
    return c;
}

void NGenome::recycle(Chunk&& c) {
    if (spares_.buffers.size() < kMaxSpares && c.segs.capacity() > 0) spares_.buffers.push_back(std::move(c.segs));
}

std::size_t NGenome::segments_before(std::size_t ci) const {
    std::size_t n = 0;
    for (std::size_t i = 0; i < ci; ++i) n += chunks_[i].segs.size();
    return n;
}

std::int64_t NGenome::position_of(std::size_t ci) const {
    std::int64_t p = 0;
    for (std::size_t i = 0; i < ci; ++i) p += chunks_[i].length;
    return p;
}

std::size_t NGenome::cut_at(std::int64_t p) {
    if (p >= length_) return chunks_.size();
    if (p <= 0) return 0;
    std::size_t ci = 0;
    std::int64_t chunk_start = 0;
    while (chunk_start + chunks_[ci].length <= p) chunk_start += chunks_[ci++].length;
    if (chunk_start == p) return ci;
    std::vector<NSeg>& segs = chunks_[ci].segs;
    std::size_t si = 0;
    std::int64_t c = chunk_start;
    while (c + segs[si].length() <= p) c += segs[si++].length();
    if (c < p) {
        // Split segment si; reading backwards meets the high coordinates first.
        const std::int64_t o = p - c;
        const NSeg s = segs[si];
        NSeg first = s, second = s;
        if (s.strand > 0) {
            first.end = s.start + o;
            second.start = s.start + o;
        } else {
            first.start = s.end - o;
            second.end = s.end - o;
        }
        segs[si] = first;
        segs.insert(segs.begin() + static_cast<std::ptrdiff_t>(si + 1), second);
        ++count_;
        ++si;
    }
    // Segment si now starts at p: it and the rest of the chunk become a new chunk.
    Chunk tail = new_chunk();
    tail.segs.assign(segs.begin() + static_cast<std::ptrdiff_t>(si), segs.end());
    tail.length = chunk_start + chunks_[ci].length - p;
    segs.erase(segs.begin() + static_cast<std::ptrdiff_t>(si), segs.end());
    chunks_[ci].length = p - chunk_start;
    chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(ci + 1), std::move(tail));
    return ci + 1;
}

NGenome::ChunkRange NGenome::arc_chunks(std::int64_t a, std::int64_t b) {
    // Cuts at distinct positions do not interfere, so cutting each end in
    // turn gives the segments that cutting both first would.
    const std::int64_t m = length_;
    if (b > m - a) {
        // The arc runs over the end: cut at (a + b) mod m and at a, then turn
        // the list so that the arc starts at index 0 (a > 0 here).
        cut_at(b - (m - a));
        const std::size_t ca = cut_at(a);
        std::rotate(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(ca), chunks_.end());
        return {0, cut_at(b)};
    }
    const std::size_t ca = cut_at(a);
    return {ca, cut_at(a + b)};  // no overflow: b <= m - a
}

void NGenome::erase_chunks(std::size_t first, std::size_t last) {
    for (std::size_t i = first; i < last; ++i) {
        length_ -= chunks_[i].length;
        count_ -= chunks_[i].segs.size();
        recycle(std::move(chunks_[i]));
    }
    chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(first),
                  chunks_.begin() + static_cast<std::ptrdiff_t>(last));
}

void NGenome::insert_chunks(std::size_t ci, std::span<const NSeg> segs) {
    if (segs.empty()) return;
    // Even pieces of at most the bound of the grown genome.
    const std::size_t bound = chunk_bound(count_ + segs.size());
    const std::size_t pieces = (segs.size() + bound - 1) / bound;
    chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(ci), pieces, Chunk{});
    std::size_t from = 0;
    for (std::size_t j = 0; j < pieces; ++j) {
        const std::size_t to = segs.size() * (j + 1) / pieces;
        Chunk c = new_chunk();
        c.segs.assign(segs.begin() + static_cast<std::ptrdiff_t>(from), segs.begin() + static_cast<std::ptrdiff_t>(to));
        c.length = total_length(c.segs);
        length_ += c.length;
        count_ += c.segs.size();
        chunks_[ci + j] = std::move(c);
        from = to;
    }
}

void NGenome::rebalance() {
    // A cut inside a chunk adds one segment to it, and a genome that shrank
    // has a lower bound: halve a chunk until it fits.
    const std::size_t bound = chunk_max();
    for (std::size_t i = 0; i < chunks_.size();) {
        if (chunks_[i].segs.size() <= bound) {
            ++i;
            continue;
        }
        std::vector<NSeg>& segs = chunks_[i].segs;
        const std::size_t half = segs.size() / 2;
        Chunk upper = new_chunk();
        upper.segs.assign(segs.begin() + static_cast<std::ptrdiff_t>(half), segs.end());
        upper.length = total_length(upper.segs);
        segs.erase(segs.begin() + static_cast<std::ptrdiff_t>(half), segs.end());
        chunks_[i].length -= upper.length;
        chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(i + 1), std::move(upper));
    }
    // Merge each chunk into its left neighbour while both fit in one.
    std::size_t w = 0;
    for (std::size_t r = 0; r < chunks_.size(); ++r) {
        if (w > 0 && chunks_[w - 1].segs.size() + chunks_[r].segs.size() <= bound) {
            Chunk& left = chunks_[w - 1];
            left.segs.insert(left.segs.end(), chunks_[r].segs.begin(), chunks_[r].segs.end());
            left.length += chunks_[r].length;
            recycle(std::move(chunks_[r]));
        } else {
            if (w != r) chunks_[w] = std::move(chunks_[r]);
            ++w;
        }
    }
    chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(w), chunks_.end());
}

void split_at(NGenome& g, std::int64_t p) {
    g.cut_at(p);  // the chunk cut is undone by rebalancing where it is small
    g.rebalance();
}

SegRange arc_range(NGenome& g, std::int64_t a, std::int64_t b) {
    const NGenome::ChunkRange r = g.arc_chunks(a, b);
    const SegRange out{g.segments_before(r.first), g.segments_before(r.last)};
    g.rebalance();  // regroups chunks only; segment indices stay valid
    return out;
}

void invert_arc(NGenome& g, std::int64_t a, std::int64_t b) {
    const NGenome::ChunkRange r = g.arc_chunks(a, b);
    const auto first = g.chunks_.begin() + static_cast<std::ptrdiff_t>(r.first);
    const auto last = g.chunks_.begin() + static_cast<std::ptrdiff_t>(r.last);
    std::reverse(first, last);
    for (auto c = first; c != last; ++c) {
        std::reverse(c->segs.begin(), c->segs.end());
        std::transform(c->segs.begin(), c->segs.end(), c->segs.begin(), flipped);
    }
    g.rebalance();
}

void delete_arc(NGenome& g, std::int64_t a, std::int64_t b) {
    const std::int64_t m = g.length_;
    if (b >= m) {
        g.erase_chunks(0, g.chunks_.size());
        return;
    }
    if (b > m - a) {
        // Wrapping arc: only the middle stretch [(a + b) mod m, a) survives,
        // in place, without rotating.
        const std::size_t ce = g.cut_at(b - (m - a));
        const std::size_t ca = g.cut_at(a);
        g.erase_chunks(ca, g.chunks_.size());
        g.erase_chunks(0, ce);
    } else {
        const std::size_t ca = g.cut_at(a);
        g.erase_chunks(ca, g.cut_at(a + b));
    }
    g.rebalance();
}

void duplicate_arc(NGenome& g, std::int64_t a, std::int64_t b) {
    const NGenome::ChunkRange r = g.arc_chunks(a, b);
    const std::size_t n = r.last - r.first;
    g.chunks_.insert(g.chunks_.begin() + static_cast<std::ptrdiff_t>(r.last), n, NGenome::Chunk{});
    for (std::size_t j = 0; j < n; ++j) {
        NGenome::Chunk c = g.new_chunk();
        const NGenome::Chunk& source = g.chunks_[r.first + j];
        c.segs.assign(source.segs.begin(), source.segs.end());
        c.length = source.length;
        g.count_ += c.segs.size();
        g.chunks_[r.last + j] = std::move(c);
    }
    g.length_ += b;
    g.rebalance();
}

void transpose_arc(NGenome& g, std::int64_t a, std::int64_t b, std::int64_t q) {
    NGenome::ChunkRange r = g.arc_chunks(a, b);
    auto at = [&](std::size_t i) { return g.chunks_.begin() + static_cast<std::ptrdiff_t>(i); };
    // Position q of the genome without the arc is q itself before the arc and
    // q + b after it; cutting there cuts the same segment at the same offset,
    // so the move is a rotation of the full list.
    const std::int64_t arc_start = g.position_of(r.first);
    if (q >= g.length_ - b) {
        std::rotate(at(r.first), at(r.last), g.chunks_.end());
    } else if (q < arc_start) {
        const std::size_t before = g.chunks_.size();
        const std::size_t j = g.cut_at(q);
        const std::size_t shift = g.chunks_.size() - before;
        std::rotate(at(j), at(r.first + shift), at(r.last + shift));
    } else if (q > arc_start) {
        const std::size_t j = g.cut_at(q + b);
        std::rotate(at(r.first), at(r.last), at(j));
    }
    // q == arc_start: the arc already sits where it would be reinserted.
    g.rebalance();
}

void insert_segments(NGenome& g, std::int64_t q, std::span<const NSeg> pieces) {
    g.insert_chunks(g.cut_at(q), pieces);
    g.rebalance();
}

void copy_arc(NGenome& g, std::int64_t a, std::int64_t b, std::vector<NSeg>& out) {
    const NGenome::ChunkRange r = g.arc_chunks(a, b);
    for (std::size_t i = r.first; i < r.last; ++i) {
        out.insert(out.end(), g.chunks_[i].segs.begin(), g.chunks_[i].segs.end());
    }
    g.rebalance();
}

}  // namespace vornix::nucleotide
