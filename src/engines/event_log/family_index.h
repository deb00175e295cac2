// Where the copies of each family sit in one branch's copy list: for every
// family present, its number of copies and their positions in ascending
// order. The cap and replacement rules pick "the j-th resident of a family in
// list order"; with this index that costs a lookup instead of a scan of the
// whole list.
//
// Every family present has a small number of its own (its id, below the
// number of families present plus the ids freed and not yet reused), so that
// a copy list can name its families in one or two bytes (CompactLogGenome)
// and a family's count is an array read. Ids are freed when a family's count
// drops to 0 and reused last freed first; they depend only on the order of
// the edits, never on a result. Families are found by number through an
// open-addressing hash map, only ever looked up by key.
//
// A family with one copy keeps that copy's position in its entry; from two
// copies on, its positions live in a sorted list of its own, so that edits
// cost at most a shift of that family's positions (never the whole genome).
// Lists of families that shrink back are reused, so steady edits allocate
// nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vornix::event_log {

class FamilyIndex {
public:
    // Number of families present.
    std::size_t size() const { return size_; }

    // Copies of family f, 0 when absent.
    std::uint32_t count(std::uint64_t f) const {
        const std::uint32_t id = find(f);
        return id == kNoId ? 0 : entries_[id].count;
    }

    // Id of family f, which is present.
    std::uint32_t id_of(std::uint64_t f) const { return slots_[slot_of(f)].id; }
    // Copies and number of the family with id `id`, which is present.
    std::uint32_t count_of(std::uint32_t id) const { return entries_[id].count; }
    std::uint64_t family_of(std::uint32_t id) const { return entries_[id].family; }
    // One more than the largest id in use or freed: ids are below this.
    std::size_t id_bound() const { return entries_.size(); }

    // Position of copy j (0 <= j < count(f)) of family f, copies taken in
    // ascending position.
    std::uint32_t position(std::uint64_t f, std::uint32_t j) const {
        const Entry& e = entries_[id_of(f)];
        return e.count == 1 ? e.where : lists_[e.where][j];
    }

    // Copies of family f (which is present) at positions below p.
    std::uint32_t rank(std::uint64_t f, std::uint32_t p) const {
        const Entry& e = entries_[id_of(f)];
        if (e.count == 1) return e.where < p ? 1 : 0;
        const std::vector<std::uint32_t>& list = lists_[e.where];
        return static_cast<std::uint32_t>(std::lower_bound(list.begin(), list.end(), p) - list.begin());
    }

    // A copy of family f at position p, above every position held. Returns
    // the family's id.
    std::uint32_t append(std::uint64_t f, std::uint32_t p) {
        const std::uint32_t id = find_or_add(f);
        append_at(id, p);
        return id;
    }

    // A copy of the family with id `id` (present) at position p, above every
    // position held.
    void append_at(std::uint32_t id, std::uint32_t p) {
        Entry& e = entries_[id];
        if (e.count == 0) {
            e.where = p;
        } else if (e.count == 1) {
            const std::uint32_t only = e.where;
            e.where = take_list();
            lists_[e.where].assign({only, p});
        } else {
            lists_[e.where].push_back(p);
        }
        ++e.count;
    }

    // The copy of the family with id `id` at position `from` moves to `to`,
    // above every position held.
    void move_up_at(std::uint32_t id, std::uint32_t from, std::uint32_t to) {
        Entry& e = entries_[id];
        if (e.count == 1) {
            e.where = to;
            return;
        }
        std::vector<std::uint32_t>& list = lists_[e.where];
        list.erase(std::lower_bound(list.begin(), list.end(), from));
        list.push_back(to);
    }

    // Forgets the copy of family f at position p.
    void erase(std::uint64_t f, std::uint32_t p) { erase_at(id_of(f), p); }

    // Forgets the copy of the family with id `id` at position p; the id is
    // freed when it was the family's last copy.
    void erase_at(std::uint32_t id, std::uint32_t p) {
        Entry& e = entries_[id];
        if (e.count == 1) {
            remove_family(id);
            return;
        }
        std::vector<std::uint32_t>& list = lists_[e.where];
        if (list.back() == p) {
            list.pop_back();
        } else {
            list.erase(std::lower_bound(list.begin(), list.end(), p));
        }
        if (--e.count == 1) {
            const std::uint32_t only = list.front();
            release_list(e.where);
            e.where = only;
        }
    }

    // The highest-placed copy of family f moves down to position `to` (a
    // swap-remove moving the last copy of the list into a hole).
    void move_last(std::uint64_t f, std::uint32_t to) { move_last_at(id_of(f), to); }

    void move_last_at(std::uint32_t id, std::uint32_t to) {
        Entry& e = entries_[id];
        if (e.count == 1) {
            e.where = to;
            return;
        }
        std::vector<std::uint32_t>& list = lists_[e.where];
        const auto at = std::lower_bound(list.begin(), list.end() - 1, to);
        std::copy_backward(at, list.end() - 1, list.end());
        *at = to;
    }

private:
    static constexpr std::uint64_t kEmpty = UINT64_MAX;  // never a family number
    static constexpr std::uint32_t kNoId = UINT32_MAX;
    struct Slot {
        std::uint64_t family = kEmpty;
        std::uint32_t id = kNoId;
    };
    struct Entry {
        std::uint64_t family = kEmpty;
        std::uint32_t count = 0;
        std::uint32_t where = 0;  // count 1: the copy's position; else: its list
    };

    std::size_t home(std::uint64_t f) const {
        return static_cast<std::size_t>((f * 0x9E3779B97F4A7C15ULL) >> shift_) & mask_;
    }

    std::uint32_t find(std::uint64_t f) const {
        if (size_ == 0) return kNoId;
        for (std::size_t i = home(f);; i = (i + 1) & mask_) {
            if (slots_[i].family == f) return slots_[i].id;
            if (slots_[i].family == kEmpty) return kNoId;
        }
    }

    // Slot of family f, which must be present.
    std::size_t slot_of(std::uint64_t f) const {
        std::size_t i = home(f);
        while (slots_[i].family != f) i = (i + 1) & mask_;
        return i;
    }

    std::uint32_t find_or_add(std::uint64_t f) {
        if ((size_ + 1) * 2 > slots_.size()) grow();
        std::size_t i = home(f);
        for (; slots_[i].family != kEmpty; i = (i + 1) & mask_) {
            if (slots_[i].family == f) return slots_[i].id;
        }
        std::uint32_t id;
        if (free_ids_.empty()) {
            id = static_cast<std::uint32_t>(entries_.size());
            entries_.emplace_back();
        } else {
            id = free_ids_.back();
            free_ids_.pop_back();
        }
        entries_[id] = Entry{f, 0, 0};
        slots_[i] = Slot{f, id};
        ++size_;
        return id;
    }

    void grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        const std::size_t capacity = old.empty() ? 16 : old.size() * 2;
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
        for (const Slot& s : old) {
            if (s.family == kEmpty) continue;
            std::size_t i = home(s.family);
            while (slots_[i].family != kEmpty) i = (i + 1) & mask_;
            slots_[i] = s;
        }
    }

    // Drops the family with id `id` (its last copy is gone) and frees the id.
    void remove_family(std::uint32_t id) {
        std::size_t hole = slot_of(entries_[id].family);
        entries_[id] = Entry{};
        free_ids_.push_back(id);
        --size_;
        // Backward-shift deletion: keeps every probe chain unbroken without
        // tombstones.
        for (std::size_t j = (hole + 1) & mask_; slots_[j].family != kEmpty; j = (j + 1) & mask_) {
            const std::size_t want = home(slots_[j].family);
            // Move j into the hole unless its home lies cyclically in (hole, j].
            const bool stays = hole <= j ? (hole < want && want <= j) : (hole < want || want <= j);
            if (stays) continue;
            slots_[hole] = slots_[j];
            hole = j;
        }
        slots_[hole] = Slot{};
    }

    std::uint32_t take_list() {
        if (free_lists_.empty()) {
            lists_.emplace_back();
            return static_cast<std::uint32_t>(lists_.size() - 1);
        }
        const std::uint32_t k = free_lists_.back();
        free_lists_.pop_back();
        return k;
    }

    void release_list(std::uint32_t k) {
        lists_[k].clear();  // keeps its storage for the next family that needs one
        free_lists_.push_back(k);
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    std::vector<Entry> entries_;  // by id
    std::vector<std::uint32_t> free_ids_;
    std::vector<std::vector<std::uint32_t>> lists_;
    std::vector<std::uint32_t> free_lists_;
};

}  // namespace vornix::event_log
