#include "engines/profiles/genome.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace vornix::profiles {

namespace {

constexpr std::size_t kC = Genome::kChunk;
static_assert(CompactGenome::kChunk == kC);

// Chunk ranks are 32-bit; a genome needing more chunks than that (over 10^11
// families) cannot be held anyway.
std::size_t checked_chunks(std::uint64_t n) {
    if (n > UINT32_MAX || n > SIZE_MAX / kC) throw std::bad_alloc();
    return static_cast<std::size_t>(n);
}

}  // namespace

template <class Family>
BasicGenome<Family> BasicGenome<Family>::founding(std::uint64_t n) {
    BasicGenome g;
    const std::size_t m = checked_chunks(n / kC + (n % kC != 0));
    g.family_.resize(m * kC);
    g.count_.resize(m * kC);
    g.fill_.resize(m);
    g.first_.resize(m);
    g.index_.assign(m + 1, 0);
    for (std::uint64_t f = 0; f < n; ++f) {
        g.family_[f] = static_cast<Family>(f);
        g.count_[f] = 1;
    }
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint64_t used = std::min<std::uint64_t>(kC, n - std::uint64_t{j} * kC);
        g.fill_[j] = static_cast<std::uint32_t>(used);
        g.first_[j] = static_cast<Family>(j * kC);
        g.index_[j + 1] = used;
    }
    g.copies_ = n;
    g.families_ = static_cast<std::size_t>(n);
    g.totals_to_index();
    return g;
}

template <class Family>
typename BasicGenome<Family>::Slot BasicGenome<Family>::family_at(std::uint64_t i, bool will_edit) const {
    // Descend to the chunk: the number of leading chunks whose running total
    // stays <= i is the rank of the chunk holding copy i.
    std::size_t pos = 0;
    for (std::size_t mask = top_; mask > 0; mask >>= 1) {
        const std::size_t next = pos + mask;
        if (next < index_.size() && index_[next] <= i) {
            i -= index_[next];
            pos = next;
        }
    }
    if (pos + 1 >= index_.size()) throw std::logic_error("profile genome: copy index past the last family");
    if (will_edit) prefetch_chunk(pos, true);
    const std::uint32_t* c = count_.data() + pos * kC;
    std::uint32_t k = 0;
    // Skip whole groups of eight counts first (their sum has no chain of
    // dependent steps), then walk the group that holds copy i. Copy i lies
    // inside the chunk, so the group holding it is found before the end of
    // the chunk; stale slots past the fill can only enlarge that group's sum
    // and are never walked into.
    for (;; k += 8) {
        const std::uint64_t group = (std::uint64_t{c[k]} + c[k + 1]) + (std::uint64_t{c[k + 2]} + c[k + 3]) +
                                    ((std::uint64_t{c[k + 4]} + c[k + 5]) + (std::uint64_t{c[k + 6]} + c[k + 7]));
        if (i < group) break;
        i -= group;
    }
    while (i >= c[k]) {
        i -= c[k];
        ++k;
    }
    return {static_cast<std::uint32_t>(pos), k};
}

template <class Family>
void BasicGenome<Family>::remove_copies(Slot s, std::uint32_t n) {
    const std::size_t a = at(s);
    count_[a] -= n;
    if (count_[a] == 0) {
        const std::size_t j = s.chunk, end = j * kC + fill_[j];
        std::copy(family_.begin() + a + 1, family_.begin() + end, family_.begin() + a);
        std::copy(count_.begin() + a + 1, count_.begin() + end, count_.begin() + a);
        --fill_[j];
        --families_;
        if (fill_[j] == 0) {
            copies_ -= n;
            erase_chunk(j);  // chunks are never left empty
            return;
        }
        if (s.index == 0) first_[j] = family_[j * kC];
    }
    adjust(s.chunk, ~std::uint64_t{n} + 1);
}

template <class Family>
typename BasicGenome<Family>::Slot BasicGenome<Family>::locate(Family f) const {
    // Last chunk whose first family is <= f (the first chunk if none is).
    const auto after = std::upper_bound(first_.begin(), first_.end(), f);
    const std::size_t j = after == first_.begin() ? 0 : static_cast<std::size_t>(after - first_.begin()) - 1;
    prefetch_chunk(j, true);
    const auto begin = family_.begin() + j * kC;
    const auto pos = std::lower_bound(begin, begin + fill_[j], f);
    return {static_cast<std::uint32_t>(j), static_cast<std::uint32_t>(pos - begin)};
}

template <class Family>
typename BasicGenome<Family>::Slot BasicGenome<Family>::add_copy_of(std::uint64_t family) {
    const auto f = static_cast<Family>(family);
    if (fill_.empty()) {
        insert_chunk(0);
        return insert_new({0, 0}, f);
    }
    const Slot s = locate(f);
    if (s.index < fill_[s.chunk] && family_[at(s)] == f) {
        add_copy(s);
        return s;
    }
    return insert_new(s, f);
}

template <class Family>
typename BasicGenome<Family>::Slot BasicGenome<Family>::insert_new(Slot s, Family f) {
    const std::size_t j = s.chunk;
    if (fill_[j] < kC) {
        const std::size_t a = at(s), end = j * kC + fill_[j];
        std::copy_backward(family_.begin() + a, family_.begin() + end, family_.begin() + end + 1);
        std::copy_backward(count_.begin() + a, count_.begin() + end, count_.begin() + end + 1);
        family_[a] = f;
        count_[a] = 1;
        ++fill_[j];
        ++families_;
        if (s.index == 0) first_[j] = f;
        adjust(j, 1);
        return s;
    }
    insert_chunk(j + 1);
    if (s.index == kC && j + 2 == fill_.size()) {
        // New families arrive above every family held: open a fresh chunk
        // rather than leaving two half-full ones behind.
        return insert_new({static_cast<std::uint32_t>(j + 1), 0}, f);
    }
    // Split: the upper half of chunk j moves into the new chunk j + 1.
    constexpr std::uint32_t half = kC / 2;
    const std::size_t from = j * kC + half, to = (j + 1) * kC;
    std::copy_n(family_.begin() + from, kC - half, family_.begin() + to);
    std::copy_n(count_.begin() + from, kC - half, count_.begin() + to);
    fill_[j] = half;
    fill_[j + 1] = kC - half;
    first_[j + 1] = family_[to];
    std::uint64_t upper = 0;
    for (std::uint32_t k = 0; k < kC - half; ++k) upper += count_[to + k];
    index_to_totals();
    index_[j + 1] -= upper;
    index_[j + 2] = upper;
    totals_to_index();
    if (s.index <= half) return insert_new(s, f);
    return insert_new({static_cast<std::uint32_t>(j + 1), s.index - half}, f);
}

// The index is rebuilt in place when chunks come or go (once per split or
// emptied chunk, not per event): read the chunk totals back out of it,
// change them, and build it again, both in O(chunks) and without allocating.
template <class Family>
void BasicGenome<Family>::index_to_totals() {
    // Entry k holds its chunk's total plus the entries that feed into it;
    // going down, each entry still holds its built value when it is
    // subtracted from the entry it feeds.
    const std::size_t m = index_.size() - 1;
    for (std::size_t k = m; k >= 1; --k) {
        const std::size_t up = k + (k & (~k + 1));
        if (up <= m) index_[up] -= index_[k];
    }
}

template <class Family>
void BasicGenome<Family>::totals_to_index() {
    const std::size_t m = index_.size() - 1;
    for (std::size_t k = 1; k <= m; ++k) {
        const std::size_t up = k + (k & (~k + 1));
        if (up <= m) index_[up] += index_[k];
    }
    top_ = 0;
    if (m > 0) {
        top_ = 1;
        while (top_ <= m / 2) top_ <<= 1;
    }
}

// An empty chunk at rank j, with a zero total in the index.
template <class Family>
void BasicGenome<Family>::insert_chunk(std::size_t j) {
    checked_chunks(fill_.size() + 1);
    if (index_.empty()) index_.push_back(0);
    index_to_totals();
    index_.insert(index_.begin() + 1 + j, 0);
    family_.insert(family_.begin() + j * kC, kC, 0);
    count_.insert(count_.begin() + j * kC, kC, 0);
    fill_.insert(fill_.begin() + j, 0);
    first_.insert(first_.begin() + j, 0);
    totals_to_index();
}

template <class Family>
void BasicGenome<Family>::erase_chunk(std::size_t j) {
    index_to_totals();
    index_.erase(index_.begin() + 1 + j);
    family_.erase(family_.begin() + j * kC, family_.begin() + (j + 1) * kC);
    count_.erase(count_.begin() + j * kC, count_.begin() + (j + 1) * kC);
    fill_.erase(fill_.begin() + j);
    first_.erase(first_.begin() + j);
    totals_to_index();
}

template class BasicGenome<std::uint64_t>;
template class BasicGenome<std::uint32_t>;

}  // namespace vornix::profiles
