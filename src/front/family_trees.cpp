#include "front/family_trees.h"

#include <atomic>
#include <mutex>
#include <new>
#include <optional>

#include "writer/gene_tree.h"
#include "writer/newick.h"
#include "writer/run_tables.h"

namespace vornix::front {

namespace {

struct Scratch {
    writer::FamilyIndex index;
    writer::GTree complete, extant;
};

// The two texts of family k of `groups`, as the writer's family stage makes
// them. False when the family's gene ids do not form a tree.
bool build_family(const writer::FamilyGroups& groups, std::size_t k, const writer::SpeciesBranches& branches,
                  std::span<const std::string> names, double total_age, Scratch& s, std::string& complete,
                  std::string& extant) {
    const auto rows = groups.of(k);
    const auto placed = groups.placed_of(k);
    s.index.reset(2 * rows.size() + placed.size() + 1, branches);
    for (const writer::EventRow& row : rows) s.index.add(row);
    if (!s.index.has_origination()) return true;
    for (const writer::PlacedCopy& copy : placed) s.index.place(copy.gene, copy.leaf);
    return writer::append_family_trees(s.index, total_age, names, s.complete, s.extant, complete, extant);
}

template <class Text>
void concatenate(std::vector<Text>& parts, std::string& blob, std::vector<std::uint64_t>& start) {
    std::size_t total = 0;
    for (const auto& p : parts) total += p.size();
    blob.reserve(total);
    start.reserve(parts.size() + 1);
    start.push_back(0);
    for (auto& p : parts) {
        blob.append(p);
        Text().swap(p);
        start.push_back(blob.size());
    }
}

}  // namespace

Outcome<FamilyTreeTexts> family_tree_texts(const event_log::Records& records, const event_log::ExtantContent& extant,
                                           const writer::SpeciesBranches& branches,
                                           std::span<const std::string> names, double total_age,
                                           writer::WorkerPool& pool, Interrupt& interrupt) {
    if (interrupt.poll_now()) return interrupted();
    const writer::FamilyGroups groups = writer::group_by_family(records, extant);
    if (interrupt.poll_now()) return interrupted();
    const std::size_t n = groups.size();
    std::vector<std::string> complete(n), pruned(n);
    std::vector<Scratch> scratch(pool.lanes());
    std::atomic<bool> stop{false};
    std::atomic<bool> broken{false};
    std::atomic<bool> out_of_memory{false};
    pool.for_each(n, [&](std::size_t k, unsigned lane) {
        if (stop.load(std::memory_order_relaxed)) return;
        // Lane 0 is the calling thread, the only one that may poll.
        if (lane == 0 && interrupt.poll_now()) {
            stop.store(true, std::memory_order_relaxed);
            return;
        }
        try {
            if (!build_family(groups, k, branches, names, total_age, scratch[lane], complete[k], pruned[k])) {
                broken.store(true, std::memory_order_relaxed);
                stop.store(true, std::memory_order_relaxed);
            }
        } catch (const std::bad_alloc&) {
            out_of_memory.store(true, std::memory_order_relaxed);
            stop.store(true, std::memory_order_relaxed);
        }
    });
    if (interrupt.stopped()) return interrupted();
    if (out_of_memory.load()) return EngineError{ErrorKind::Memory, "the gene trees do not fit in memory"};
    if (broken.load()) return value_error("the records' gene ids do not form a tree");
    FamilyTreeTexts out;
    out.families = groups.families;
    concatenate(complete, out.complete, out.complete_start);
    concatenate(pruned, out.extant, out.extant_start);
    return out;
}

}  // namespace vornix::front
