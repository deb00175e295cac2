#include "engines/profiles/genome.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "engines/profiles/lanes.h"

namespace vornix::profiles {

namespace {

// Chunk ranks are 32-bit; a genome needing more chunks than that (over 10^11
// families) cannot be held anyway.
std::size_t checked_chunks(std::uint64_t n) {
    if (n > UINT32_MAX || n > SIZE_MAX / 64 / NarrowGenome::kChunk) throw std::bad_alloc();
    return static_cast<std::size_t>(n);
}

}  // namespace

template <class Family, class Run>
void BasicGenome<Family, Run>::rebuild_index() {
    // Level l starts at start_[l]; the top level, last, has one node.
    depth_ = 0;
    std::size_t at = 0;
    for (std::size_t nodes = fill_.size(); nodes > 1 || (depth_ == 0 && nodes == 1);) {
        nodes = (nodes + kFan - 1) / kFan;
        start_[depth_++] = static_cast<std::uint32_t>(at);
        at += nodes * kFan;
    }
    nodes_.assign(at, 0);
    // Level 0 over the chunk totals, each level above over the node totals
    // of the one below (a node's last entry is its total).
    std::size_t children = fill_.size();
    for (std::uint32_t l = 0; l < depth_; ++l) {
        Family* level = nodes_.data() + start_[l];
        const std::size_t n = (children + kFan - 1) / kFan;
        for (std::size_t node = 0; node < n; ++node) {
            Family sum = 0;
            for (std::size_t k = 0; k < kFan; ++k) {
                const std::size_t child = node * kFan + k;
                if (child < children) {
                    sum += l == 0 ? Family{chunk_total(child)} : nodes_[start_[l - 1] + child * kFan + kFan - 1];
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
    g.runs_.resize(m * kChunk);
    g.family_.resize(m * kChunk);
    g.first_.resize(m);
    g.fill_.resize(m);
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint64_t base = std::uint64_t{j} * kChunk;
        const auto used = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, n - base));
        for (std::uint32_t k = 0; k < kChunk; ++k) {
            g.family_[base + k] = k < used ? static_cast<Family>(base + k) : kNoFamily;
            g.runs_[base + k] = static_cast<Run>(k < used ? k + 1 : used);
        }
        g.first_[j] = static_cast<Family>(base);
        g.fill_[j] = static_cast<std::uint8_t>(used);
    }
    g.copies_ = n;
    g.families_ = static_cast<std::size_t>(n);
    g.rebuild_index();
    return g;
}

template <class Family, class Run>
typename BasicGenome<Family, Run>::Slot BasicGenome<Family, Run>::family_at(std::uint64_t copy,
                                                                               bool will_edit) const {
    if (copy >= copies_) throw std::logic_error("profile genome: copy index past the last family");
    auto i = static_cast<Family>(copy);
    // From the top node down: the child holding copy i is the number of
    // running totals <= i; the totals before it are subtracted.
    std::size_t node = 0;
    for (std::uint32_t l = depth_; l-- > 0;) {
        const Family* e = nodes_.data() + start_[l] + node * kFan;
        const std::uint32_t c = lanes::count_at_most<kFan>(e, i);
        // e[c - 1], or 0 when c is 0, without a branch.
        i -= e[(c - 1) % kFan] & (Family{0} - static_cast<Family>(c != 0));
        node = node * kFan + c;
    }
    if (will_edit) __builtin_prefetch(family_.data() + node * kChunk);
    const std::uint32_t k = lanes::count_at_most<kChunk>(runs_.data() + node * kChunk, static_cast<Run>(i));
    return {static_cast<std::uint32_t>(node), k};
}

template <class Family, class Run>
void BasicGenome<Family, Run>::adjust(Slot s, std::uint64_t delta) {
    Run* run = runs_.data() + std::size_t{s.chunk} * kChunk;
    // Totals only grow one copy at a time.
    if (delta == 1 && run[kChunk - 1] == kRunLimit) throw CountsOverflow{};
    copies_ += delta;
    lanes::add_from<kChunk>(run, s.index, static_cast<Run>(delta));
    const auto d = static_cast<Family>(delta);
    std::size_t j = s.chunk;
    for (std::uint32_t l = 0; l < depth_; ++l) {
        lanes::add_from<kFan>(nodes_.data() + start_[l] + (j / kFan) * kFan, static_cast<std::uint32_t>(j % kFan), d);
        j /= kFan;
    }
}

template <class Family, class Run>
void BasicGenome<Family, Run>::remove_copies(Slot s, std::uint32_t n) {
    adjust(s, ~std::uint64_t{n} + 1);
    if (count(s) == 0) erase_family(s);
}

template <class Family, class Run>
void BasicGenome<Family, Run>::erase_family(Slot s) {
    Run* run = runs_.data() + std::size_t{s.chunk} * kChunk;
    Family* family = family_.data() + std::size_t{s.chunk} * kChunk;
    // The family's count is 0, so the running counts after it only move
    // down one place; the last entry keeps the chunk total.
    for (std::uint32_t k = s.index; k + 1 < kChunk; ++k) {
        family[k] = family[k + 1];
        run[k] = run[k + 1];
    }
    family[kChunk - 1] = kNoFamily;
    --families_;
    if (--fill_[s.chunk] == 0) {
        erase_chunk(s.chunk);  // chunks are never left empty
        return;
    }
    if (s.index == 0) first_[s.chunk] = family[0];
}

template <class Family, class Run>
typename BasicGenome<Family, Run>::Slot BasicGenome<Family, Run>::locate(Family f) const {
    // Last chunk whose first family is <= f (the first chunk if none is),
    // by halving without branches.
    const Family* base = first_.data();
    for (std::size_t n = first_.size(); n > 1;) {
        const std::size_t half = n / 2;
        base = base[half] <= f ? base + half : base;
        n -= half;
    }
    const auto j = static_cast<std::size_t>(base - first_.data());
    __builtin_prefetch(runs_.data() + j * kChunk);
    return {static_cast<std::uint32_t>(j), lanes::count_below<kChunk>(family_.data() + j * kChunk, f)};
}

template <class Family, class Run>
typename BasicGenome<Family, Run>::Slot BasicGenome<Family, Run>::add_copy_of(std::uint64_t family) {
    const auto f = static_cast<Family>(family);
    if (fill_.empty()) {
        insert_chunk(0);
        rebuild_index();
        return insert_new({0, 0}, f);
    }
    const Slot s = locate(f);
    if (s.index < kChunk && family_[at(s)] == f) {
        add_copy(s);
        return s;
    }
    return insert_new(s, f);
}

template <class Family, class Run>
typename BasicGenome<Family, Run>::Slot BasicGenome<Family, Run>::insert_new(Slot s, Family f) {
    const std::size_t j = s.chunk;
    if (fill_[j] < kChunk) {
        // A total that may not grow must not get a new family either.
        if (chunk_total(j) == kRunLimit) throw CountsOverflow{};
        Run* run = runs_.data() + j * kChunk;
        Family* family = family_.data() + j * kChunk;
        // Shift the families from s on up one place; their running counts
        // move with them and grow by the new copy.
        for (std::uint32_t k = kChunk - 1; k > s.index; --k) {
            family[k] = family[k - 1];
            run[k] = run[k - 1];
        }
        family[s.index] = f;
        run[s.index] = s.index == 0 ? Run{0} : run[s.index - 1];
        ++fill_[j];
        ++families_;
        if (s.index == 0) first_[j] = f;
        adjust(s, 1);
        return s;
    }
    insert_chunk(j + 1);
    if (s.index == kChunk && j + 2 == fill_.size()) {
        // New families arrive above every family held: open a fresh chunk
        // rather than leaving two half-full ones behind.
        rebuild_index();
        return insert_new({static_cast<std::uint32_t>(j + 1), 0}, f);
    }
    // Split: the upper half of chunk j moves into the new chunk j + 1.
    constexpr std::uint32_t half = kChunk / 2;
    Run* lower_run = runs_.data() + j * kChunk;
    Family* lower_family = family_.data() + j * kChunk;
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
    fill_[j] = half;
    fill_[j + 1] = kChunk - half;
    first_[j + 1] = upper_family[0];
    rebuild_index();
    if (s.index <= half) return insert_new(s, f);
    return insert_new({static_cast<std::uint32_t>(j + 1), s.index - half}, f);
}

template <class Family, class Run>
void BasicGenome<Family, Run>::insert_chunk(std::size_t j) {
    checked_chunks(fill_.size() + 1);
    const auto at = static_cast<std::ptrdiff_t>(j * kChunk);
    runs_.insert(runs_.begin() + at, kChunk, Run{0});
    family_.insert(family_.begin() + at, kChunk, kNoFamily);
    first_.insert(first_.begin() + static_cast<std::ptrdiff_t>(j), kNoFamily);
    fill_.insert(fill_.begin() + static_cast<std::ptrdiff_t>(j), 0);
}

template <class Family, class Run>
void BasicGenome<Family, Run>::erase_chunk(std::size_t j) {
    const auto at = static_cast<std::ptrdiff_t>(j * kChunk);
    runs_.erase(runs_.begin() + at, runs_.begin() + at + kChunk);
    family_.erase(family_.begin() + at, family_.begin() + at + kChunk);
    first_.erase(first_.begin() + static_cast<std::ptrdiff_t>(j));
    fill_.erase(fill_.begin() + static_cast<std::ptrdiff_t>(j));
    rebuild_index();
}

template class BasicGenome<std::uint32_t, std::uint16_t>;
template class BasicGenome<std::uint32_t, std::uint32_t>;
template class BasicGenome<std::uint64_t, std::uint64_t>;

}  // namespace vornix::profiles
