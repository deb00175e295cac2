#include "engines/profiles/genome.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

#include "engines/profiles/lanes.h"

namespace vornix::profiles {

namespace {

// Chunk ranks are 32-bit; a genome needing more chunks than that (over 10^11
// families) cannot be held anyway.
std::size_t checked_chunks(std::uint64_t n) {
    if (n > UINT32_MAX / 2 || n > SIZE_MAX / 1024) throw std::bad_alloc();
    return static_cast<std::size_t>(n);
}

constexpr std::align_val_t kLine{64};

}  // namespace

template <class Family, class Run>
std::uint32_t BasicGenome<Family, Run>::depth_of(std::size_t n) {
    std::uint32_t depth = n == 0 ? 0 : 1;
    for (std::size_t reach = kFan; reach < n; reach *= kFan) ++depth;
    return depth;
}

template <class Family, class Run>
std::size_t BasicGenome<Family, Run>::index_bytes(std::size_t n) {
    const std::uint32_t depth = depth_of(n);
    std::size_t entries = 0;
    for (std::uint32_t t = 0; t < depth; ++t) entries += level_nodes(n, depth, t) * kFan;
    return entries * sizeof(Family);
}

template <class Family, class Run>
void BasicGenome<Family, Run>::release() {
    if (block_ != nullptr) ::operator delete(block_, kLine);
    block_ = nullptr;
    runs_ = nullptr;
    capacity_ = 0;
}

template <class Family, class Run>
void BasicGenome<Family, Run>::reserve(std::size_t chunks, bool keep) {
    if (chunks <= capacity_) return;
    const std::size_t cap = checked_chunks(std::max<std::size_t>({chunks, capacity_ + capacity_ / 2, 2}));
    const std::size_t index_size = line_up(index_bytes(cap));
    const std::size_t bytes = block_bytes(cap);
    BasicGenome next;
    next.block_ = static_cast<unsigned char*>(::operator new(bytes, kLine));
    next.runs_ = reinterpret_cast<Run*>(next.block_ + index_size);
    next.capacity_ = static_cast<std::uint32_t>(cap);
    if (keep) next.copy_regions(*this);
    release();
    block_ = next.block_;
    runs_ = next.runs_;
    capacity_ = next.capacity_;
    next.block_ = nullptr;
}

template <class Family, class Run>
void BasicGenome<Family, Run>::copy_regions(const BasicGenome& from) {
    const std::size_t entries = std::size_t{from.chunks_} * kChunk;
    if (entries == 0) return;
    std::copy_n(from.runs_, entries, runs_);
    std::copy_n(from.families(), entries, families());
    std::copy_n(from.firsts(), from.chunks_, firsts());
    std::copy_n(from.fills(), from.chunks_, fills());
    std::copy_n(from.index(), from.index_bytes_ / sizeof(Family), index());
}

template <class Family, class Run>
BasicGenome<Family, Run>::BasicGenome(const BasicGenome& other) {
    *this = other;
}

template <class Family, class Run>
BasicGenome<Family, Run>& BasicGenome<Family, Run>::operator=(const BasicGenome& other) {
    if (this == &other) return *this;
    if (other.chunks_ > capacity_) {
        release();
        // Room for some growth: the copy goes to a branch that will gain
        // families.
        reserve(std::size_t{other.chunks_} + other.chunks_ / 8 + 1, false);
    }
    copy_regions(other);
    copies_ = other.copies_;
    chunks_ = other.chunks_;
    depth_ = other.depth_;
    index_bytes_ = other.index_bytes_;
    families_ = other.families_;
    return *this;
}

template <class Family, class Run>
BasicGenome<Family, Run>::BasicGenome(BasicGenome&& other) noexcept {
    *this = std::move(other);
}

template <class Family, class Run>
BasicGenome<Family, Run>& BasicGenome<Family, Run>::operator=(BasicGenome&& other) noexcept {
    if (this == &other) return *this;
    release();
    block_ = other.block_;
    runs_ = other.runs_;
    copies_ = other.copies_;
    chunks_ = other.chunks_;
    depth_ = other.depth_;
    index_bytes_ = other.index_bytes_;
    capacity_ = other.capacity_;
    families_ = other.families_;
    other.block_ = nullptr;
    other.runs_ = nullptr;
    other.copies_ = 0;
    other.chunks_ = 0;
    other.depth_ = 0;
    other.index_bytes_ = 0;
    other.capacity_ = 0;
    other.families_ = 0;
    return *this;
}

template <class Family, class Run>
BasicGenome<Family, Run>::~BasicGenome() {
    release();
}

template <class Family, class Run>
void BasicGenome<Family, Run>::rebuild_index() {
    depth_ = depth_of(chunks_);
    index_bytes_ = static_cast<std::uint32_t>(index_bytes(chunks_));
    std::size_t start[16];
    start[0] = 0;
    for (std::uint32_t t = 0; t < depth_; ++t) start[t + 1] = start[t] + level_nodes(chunks_, depth_, t) * kFan;
    Family* index = this->index();
    // The bottom level over the chunk totals, each level above over the node
    // totals of the one below (a node's last entry is its total).
    std::size_t children = chunks_;
    for (std::uint32_t t = depth_; t-- > 0;) {
        Family* level = index + start[t];
        const std::size_t n = (children + kFan - 1) / kFan;
        for (std::size_t node = 0; node < n; ++node) {
            Family sum = 0;
            for (std::size_t k = 0; k < kFan; ++k) {
                const std::size_t child = node * kFan + k;
                if (child < children) {
                    sum += t + 1 == depth_ ? Family{chunk_total(child)} : index[start[t + 1] + child * kFan + kFan - 1];
                }
                level[node * kFan + k] = sum;
            }
        }
        children = n;
    }
}

template <class Family, class Run>
BasicGenome<Family, Run> BasicGenome<Family, Run>::founding(std::uint64_t n) {
    BasicGenome g;
    const std::size_t m = checked_chunks(n / kChunk + (n % kChunk != 0));
    if (m == 0) return g;
    g.reserve(m, false);
    Family* family = g.families();
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint64_t base = std::uint64_t{j} * kChunk;
        const auto used = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, n - base));
        for (std::uint32_t k = 0; k < kChunk; ++k) {
            family[base + k] = k < used ? static_cast<Family>(base + k) : kNoFamily;
            g.runs_[base + k] = static_cast<Run>(k < used ? k + 1 : used);
        }
        g.firsts()[j] = static_cast<Family>(base);
        g.fills()[j] = static_cast<std::uint8_t>(used);
    }
    g.chunks_ = static_cast<std::uint32_t>(m);
    g.copies_ = n;
    g.families_ = n;
    g.rebuild_index();
    return g;
}

template <class Family, class Run>
typename BasicGenome<Family, Run>::Slot BasicGenome<Family, Run>::family_at(std::uint64_t copy,
                                                                               bool will_edit) const {
    if (copy >= copies_) throw std::logic_error("profile genome: copy index past the last family");
    const Slot s = descend(static_cast<Family>(copy));
    if (will_edit) __builtin_prefetch(families() + std::size_t{s.chunk} * kChunk + s.index);
    return s;
}

template <class Family, class Run>
typename BasicGenome<Family, Run>::Slot BasicGenome<Family, Run>::descend(Family i) const {
    const std::size_t chunk = descend_index(i);
    return {static_cast<std::uint32_t>(chunk), lanes::count_at_most<kChunk>(runs_ + chunk * kChunk, static_cast<Run>(i))};
}

template <class Family, class Run>
std::size_t BasicGenome<Family, Run>::descend_index(Family& i) const {
    // From the top node down: the child holding copy i is the number of
    // running totals <= i; the totals before it are subtracted.
    const Family* level = index();
    std::size_t node = 0;
    for (std::uint32_t t = 0; t < depth_; ++t) {
        const Family* e = level + node * kFan;
        const std::uint32_t c = lanes::count_at_most<kFan>(e, i);
        // e[c - 1], or 0 when c is 0, without a branch.
        i -= e[(c - 1) % kFan] & (Family{0} - static_cast<Family>(c != 0));
        node = node * kFan + c;
        level += level_nodes(chunks_, depth_, t) * kFan;
    }
    return node;
}

template <class Family, class Run>
void BasicGenome<Family, Run>::adjust(Slot s, std::uint64_t delta) {
    Run* run = runs_ + std::size_t{s.chunk} * kChunk;
    // Totals only grow one copy at a time.
    if (delta == 1 && run[kChunk - 1] == kRunLimit) throw CountsOverflow{};
    copies_ += delta;
    lanes::add_from<kChunk>(run, s.index, static_cast<Run>(delta));
    const auto d = static_cast<Family>(delta);
    Family* level = index();
    for (std::uint32_t t = 0; t < depth_; ++t) {
        // The node above chunk s.chunk at level t, and the child it goes through.
        const std::size_t node = std::size_t{s.chunk} >> (4 * (depth_ - t));
        const auto child = static_cast<std::uint32_t>((std::size_t{s.chunk} >> (4 * (depth_ - 1 - t))) % kFan);
        lanes::add_from<kFan>(level + node * kFan, child, d);
        level += level_nodes(chunks_, depth_, t) * kFan;
    }
}

template <class Family, class Run>
void BasicGenome<Family, Run>::remove_copies(Slot s, std::uint32_t n) {
    adjust(s, ~std::uint64_t{n} + 1);
    if (count(s) == 0) erase_family(s);
}

template <class Family, class Run>
void BasicGenome<Family, Run>::erase_family(Slot s) {
    Run* run = runs_ + std::size_t{s.chunk} * kChunk;
    Family* family = families() + std::size_t{s.chunk} * kChunk;
    // The family's count is 0, so the running counts after it only move
    // down one place; the last entry keeps the chunk total.
    for (std::uint32_t k = s.index; k + 1 < kChunk; ++k) {
        family[k] = family[k + 1];
        run[k] = run[k + 1];
    }
    family[kChunk - 1] = kNoFamily;
    --families_;
    if (--fills()[s.chunk] == 0) {
        erase_chunk(s.chunk);  // chunks are never left empty
        return;
    }
    if (s.index == 0) firsts()[s.chunk] = family[0];
}

template <class Family, class Run>
std::size_t BasicGenome<Family, Run>::chunk_of(Family f) const {
    // By halving without branches.
    const Family* first = firsts();
    const Family* base = first;
    for (std::size_t n = chunks_; n > 1;) {
        const std::size_t half = n / 2;
        base = base[half] <= f ? base + half : base;
        n -= half;
    }
    return static_cast<std::size_t>(base - first);
}

template <class Family, class Run>
typename BasicGenome<Family, Run>::Slot BasicGenome<Family, Run>::locate(Family f) const {
    const std::size_t j = chunk_of(f);
    __builtin_prefetch(runs_ + j * kChunk);
    return {static_cast<std::uint32_t>(j), lanes::count_below<kChunk>(families() + j * kChunk, f)};
}

template <class Family, class Run>
typename BasicGenome<Family, Run>::Slot BasicGenome<Family, Run>::add_copy_of(std::uint64_t family) {
    const auto f = static_cast<Family>(family);
    if (chunks_ == 0) {
        insert_chunk(0);
        rebuild_index();
        return insert_new({0, 0}, f);
    }
    const Slot s = locate(f);
    if (s.index < kChunk && families()[at(s)] == f) {
        add_copy(s);
        return s;
    }
    return insert_new(s, f);
}

template <class Family, class Run>
typename BasicGenome<Family, Run>::Slot BasicGenome<Family, Run>::insert_new(Slot s, Family f) {
    const std::size_t j = s.chunk;
    if (fills()[j] < kChunk) {
        // A total that may not grow must not get a new family either.
        if (chunk_total(j) == kRunLimit) throw CountsOverflow{};
        Run* run = runs_ + j * kChunk;
        Family* family = families() + j * kChunk;
        // Shift the families from s on up one place; their running counts
        // move with them and grow by the new copy.
        for (std::uint32_t k = kChunk - 1; k > s.index; --k) {
            family[k] = family[k - 1];
            run[k] = run[k - 1];
        }
        family[s.index] = f;
        run[s.index] = s.index == 0 ? Run{0} : run[s.index - 1];
        ++fills()[j];
        ++families_;
        if (s.index == 0) firsts()[j] = f;
        adjust(s, 1);
        return s;
    }
    insert_chunk(j + 1);
    if (s.index == kChunk && j + 2 == chunks_) {
        // New families arrive above every family held: open a fresh chunk
        // rather than leaving two half-full ones behind.
        rebuild_index();
        return insert_new({static_cast<std::uint32_t>(j + 1), 0}, f);
    }
    // Split: the upper half of chunk j moves into the new chunk j + 1.
    constexpr std::uint32_t half = kChunk / 2;
    Run* lower_run = runs_ + j * kChunk;
    Family* lower_family = families() + j * kChunk;
    Run* upper_run = lower_run + kChunk;
    Family* upper_family = lower_family + kChunk;
    const Run kept = lower_run[half - 1];
    for (std::uint32_t k = 0; k < kChunk; ++k) {
        const bool moved = k < kChunk - half;
        upper_family[k] = moved ? lower_family[half + k] : kNoFamily;
        upper_run[k] = static_cast<Run>((moved ? lower_run[half + k] : lower_run[kChunk - 1]) - kept);
    }
    for (std::uint32_t k = half; k < kChunk; ++k) {
        lower_family[k] = kNoFamily;
        lower_run[k] = kept;
    }
    fills()[j] = half;
    fills()[j + 1] = kChunk - half;
    firsts()[j + 1] = upper_family[0];
    rebuild_index();
    if (s.index <= half) return insert_new(s, f);
    return insert_new({static_cast<std::uint32_t>(j + 1), s.index - half}, f);
}

// Room for one more chunk at rank j, empty, in every region; the caller
// fills it and rebuilds the index.
template <class Family, class Run>
void BasicGenome<Family, Run>::insert_chunk(std::size_t j) {
    reserve(std::size_t{chunks_} + 1, true);
    const std::size_t tail = chunks_ - j;
    std::copy_backward(runs_ + j * kChunk, runs_ + (j + tail) * kChunk, runs_ + (j + tail + 1) * kChunk);
    Family* family = families();
    std::copy_backward(family + j * kChunk, family + (j + tail) * kChunk, family + (j + tail + 1) * kChunk);
    std::copy_backward(firsts() + j, firsts() + j + tail, firsts() + j + tail + 1);
    std::copy_backward(fills() + j, fills() + j + tail, fills() + j + tail + 1);
    std::fill_n(runs_ + j * kChunk, kChunk, Run{0});
    std::fill_n(family + j * kChunk, kChunk, kNoFamily);
    firsts()[j] = kNoFamily;
    fills()[j] = 0;
    ++chunks_;
}

template <class Family, class Run>
void BasicGenome<Family, Run>::erase_chunk(std::size_t j) {
    const std::size_t tail = chunks_ - j - 1;
    std::copy_n(runs_ + (j + 1) * kChunk, tail * kChunk, runs_ + j * kChunk);
    Family* family = families();
    std::copy_n(family + (j + 1) * kChunk, tail * kChunk, family + j * kChunk);
    std::copy_n(firsts() + j + 1, tail, firsts() + j);
    std::copy_n(fills() + j + 1, tail, fills() + j);
    --chunks_;
    rebuild_index();
}

template class BasicGenome<std::uint32_t, std::uint16_t>;
template class BasicGenome<std::uint32_t, std::uint32_t>;
template class BasicGenome<std::uint64_t, std::uint64_t>;

}  // namespace vornix::profiles
