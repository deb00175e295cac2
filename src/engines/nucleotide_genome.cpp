#include "engines/nucleotide_genome.h"

#include <algorithm>
#include <utility>

namespace vornix {

NGenome::NGenome(std::vector<NSeg> segments) : segs_(std::move(segments)) {
    for (const NSeg& s : segs_) length_ += s.length();
}

void NGenome::update_ends() const {
    const std::size_t n = segs_.size();
    if (valid_ == n && ends_.size() == n) return;
    ends_.resize(n);
    std::int64_t c = valid_ > 0 ? ends_[valid_ - 1] : 0;
    for (std::size_t k = valid_; k < n; ++k) {
        c += segs_[k].length();
        ends_[k] = c;
    }
    valid_ = n;
}

std::int64_t NGenome::start_of(std::size_t k) const {
    if (k == 0) return 0;
    update_ends();
    return ends_[k - 1];
}

std::size_t NGenome::segment_at(std::int64_t p) const {
    update_ends();
    return static_cast<std::size_t>(std::upper_bound(ends_.begin(), ends_.end(), p) - ends_.begin());
}

std::size_t NGenome::index_of_boundary(std::int64_t p) const {
    if (p >= length_) return segs_.size();
    return segment_at(p);
}

std::vector<NSeg> NGenome::release() {
    std::vector<NSeg> out = std::move(segs_);
    segs_.clear();
    length_ = 0;
    valid_ = 0;
    return out;
}

void split_at(NGenome& g, std::int64_t p) {
    if (p <= 0 || p >= g.length_) return;
    const std::size_t k = g.segment_at(p);
    const std::int64_t o = p - g.start_of(k);
    if (o == 0) return;  // already a boundary
    const NSeg s = g.segs_[k];
    NSeg first = s, second = s;
    if (s.strand > 0) {
        first.end = s.start + o;
        second.start = s.start + o;
    } else {
        // Reading backwards meets the high coordinates first.
        first.start = s.end - o;
        second.end = s.end - o;
    }
    g.segs_[k] = first;
    g.segs_.insert(g.segs_.begin() + static_cast<std::ptrdiff_t>(k + 1), second);
    g.touched_from(k);
}

SegRange arc_range(NGenome& g, std::int64_t a, std::int64_t b) {
    const std::int64_t m = g.length_;
    if (b > m - a) {
        // The arc runs over the end: cut at a and at (a + b) mod m, then turn
        // the list so that the arc starts at index 0.
        const std::int64_t e = b - (m - a);
        split_at(g, a);
        split_at(g, e);
        const std::size_t t = g.index_of_boundary(a);
        if (t > 0 && t < g.segs_.size()) {
            std::rotate(g.segs_.begin(), g.segs_.begin() + static_cast<std::ptrdiff_t>(t), g.segs_.end());
            g.touched_from(0);
        }
        return {0, g.index_of_boundary(b)};
    }
    const std::int64_t o = a + b;  // no overflow: b <= m - a
    split_at(g, a);
    split_at(g, o == m ? 0 : o);
    return {g.index_of_boundary(a), g.index_of_boundary(o)};
}

void invert_arc(NGenome& g, std::int64_t a, std::int64_t b) {
    const SegRange r = arc_range(g, a, b);
    const auto first = g.segs_.begin() + static_cast<std::ptrdiff_t>(r.first);
    const auto last = g.segs_.begin() + static_cast<std::ptrdiff_t>(r.last);
    std::reverse(first, last);
    for (auto it = first; it != last; ++it) it->strand = static_cast<std::int8_t>(-it->strand);
    g.touched_from(r.first);
}

void delete_arc(NGenome& g, std::int64_t a, std::int64_t b) {
    const std::int64_t m = g.length_;
    if (b >= m) {
        g.segs_.clear();
        g.length_ = 0;
        g.touched_from(0);
        return;
    }
    auto& segs = g.segs_;
    if (b > m - a) {
        // Wrapping arc: only the middle stretch [(a + b) mod m, a) survives,
        // in place, without rotating.
        const std::int64_t e = b - (m - a);
        split_at(g, a);
        split_at(g, e);
        const std::size_t ie = g.index_of_boundary(e);
        const std::size_t ia = g.index_of_boundary(a);
        segs.erase(segs.begin() + static_cast<std::ptrdiff_t>(ia), segs.end());
        segs.erase(segs.begin(), segs.begin() + static_cast<std::ptrdiff_t>(ie));
        g.touched_from(0);
    } else {
        const std::int64_t o = a + b;
        split_at(g, a);
        split_at(g, o == m ? 0 : o);
        const std::size_t ia = g.index_of_boundary(a);
        const std::size_t io = g.index_of_boundary(o);
        segs.erase(segs.begin() + static_cast<std::ptrdiff_t>(ia), segs.begin() + static_cast<std::ptrdiff_t>(io));
        g.touched_from(ia);
    }
    g.length_ -= b;
}

void duplicate_arc(NGenome& g, std::int64_t a, std::int64_t b) {
    const SegRange r = arc_range(g, a, b);
    auto& segs = g.segs_;
    const std::size_t n = r.last - r.first, old = segs.size();
    // Open a gap of n after the arc, then fill it from the arc itself (a
    // plain insert from its own range would alias).
    segs.resize(old + n);
    std::move_backward(segs.begin() + static_cast<std::ptrdiff_t>(r.last), segs.begin() + static_cast<std::ptrdiff_t>(old),
                       segs.end());
    std::copy(segs.begin() + static_cast<std::ptrdiff_t>(r.first), segs.begin() + static_cast<std::ptrdiff_t>(r.last),
              segs.begin() + static_cast<std::ptrdiff_t>(r.last));
    g.touched_from(r.last);
    g.length_ += b;
}

void transpose_arc(NGenome& g, std::int64_t a, std::int64_t b, std::int64_t q) {
    SegRange r = arc_range(g, a, b);
    auto& segs = g.segs_;
    auto at = [&](std::size_t k) { return segs.begin() + static_cast<std::ptrdiff_t>(k); };
    // Position q of the genome without the arc is q itself before the arc and
    // q + b after it; cutting there cuts the same segment at the same offset,
    // so the move is a rotation of the full list.
    const std::int64_t arc_start = g.start_of(r.first);
    if (q >= g.length_ - b) {
        std::rotate(at(r.first), at(r.last), segs.end());
        g.touched_from(r.first);
    } else if (q < arc_start) {
        const std::size_t before = segs.size();
        split_at(g, q);
        const std::size_t shift = segs.size() - before;
        r.first += shift;
        r.last += shift;
        const std::size_t j = g.index_of_boundary(q);
        std::rotate(at(j), at(r.first), at(r.last));
        g.touched_from(j);
    } else if (q > arc_start) {
        split_at(g, q + b);
        std::rotate(at(r.first), at(r.last), at(g.index_of_boundary(q + b)));
        g.touched_from(r.first);
    }
    // q == arc_start: the arc already sits where it would be reinserted.
}

void insert_segments(NGenome& g, std::int64_t q, std::span<const NSeg> pieces) {
    auto& segs = g.segs_;
    std::size_t j = segs.size();
    if (q < g.length_) {
        split_at(g, q);
        j = g.index_of_boundary(q);
    }
    segs.insert(segs.begin() + static_cast<std::ptrdiff_t>(j), pieces.begin(), pieces.end());
    g.touched_from(j);
    for (const NSeg& s : pieces) g.length_ += s.length();
}

void copy_arc(NGenome& g, std::int64_t a, std::int64_t b, std::vector<NSeg>& out) {
    const SegRange r = arc_range(g, a, b);
    const auto& segs = g.segments();
    out.insert(out.end(), segs.begin() + static_cast<std::ptrdiff_t>(r.first),
               segs.begin() + static_cast<std::ptrdiff_t>(r.last));
}

}  // namespace vornix
