#include "writer/family_files.h"

#include <chrono>

#include "writer/fmt_g.h"
#include "writer/newick.h"
#include "writer/text.h"

namespace vornix::writer {

namespace {

constexpr std::string_view kEventsHeader = "time\tevent\tbranch\tdonor\trecipient\tnodes\n";

void append_event_line(std::string& out, const EventRow& r, std::span<const std::string> names) {
    append_fmt_g(out, r.time, 10);
    out.push_back('\t');
    out.push_back(event_letter(r.kind));
    out.push_back('\t');
    out.append(names[r.branch]);
    out.push_back('\t');
    out.append(node_name(names, r.donor));
    out.push_back('\t');
    out.append(node_name(names, r.recipient));
    out.push_back('\t');
    const char* labels[3] = {nullptr, nullptr, nullptr};  // gene, child1, child2
    switch (r.kind) {
        case kOrigination: labels[0] = "origin="; break;
        case kDuplication: labels[0] = "parent=", labels[1] = ";left=", labels[2] = ";right="; break;
        case kTransfer: labels[0] = "parent=", labels[1] = ";donor_copy=", labels[2] = ";transfer_copy="; break;
        case kLoss: labels[0] = "lost="; break;
        case kSpeciation: labels[0] = "parent=", labels[1] = ";child=", labels[2] = ";child="; break;
        default: break;
    }
    if (labels[0] != nullptr) {
        out.append(labels[0]);
        append_int(out, r.gene);
    }
    if (labels[1] != nullptr) {
        out.append(labels[1]);
        append_int(out, r.child1);
        out.append(labels[2]);
        append_int(out, r.child2);
    }
    out.push_back('\n');
}

void count_record(FamilySummary& s, const EventRow& r) {
    switch (r.kind) {
        case kOrigination:
            s.has_origin = true;
            s.origin_time = r.time;
            s.origin_branch = r.branch;
            break;
        case kDuplication: ++s.n_dup; break;
        case kTransfer: ++s.n_transfer; break;
        case kLoss: ++s.n_loss; break;
        case kSpeciation: ++s.n_speciation; break;
        default: break;
    }
}

// Adds the time since `since` to `total` when timing, and restarts the clock.
class Lap {
public:
    explicit Lap(bool on) : on_(on) {
        if (on_) since_ = Clock::now();
    }
    void add_to(double& total) {
        if (!on_) return;
        const auto now = Clock::now();
        total += std::chrono::duration<double>(now - since_).count();
        since_ = now;
    }

private:
    using Clock = std::chrono::steady_clock;
    bool on_;
    Clock::time_point since_;
};

}  // namespace

IoStatus write_family_files(const FamilyInputs& in, const FamilyGroups& groups, std::size_t k, FamilySummary& summary,
                            FamilyScratch& s) {
    const std::uint64_t family = groups.families[k];
    const auto rows = groups.of(k);
    const auto placed = groups.placed_of(k);
    Lap lap(s.timed);
    std::string& text = s.text;
    text.assign(kEventsHeader);
    // Besides the root, only splits bring new gene ids, two each.
    s.index.reset(2 * rows.size() + placed.size() + 1, *in.branches);
    for (const EventRow& row : rows) {
        s.index.add(row);
        count_record(summary, row);
        append_event_line(text, row, in.names);
    }
    lap.add_to(s.build_seconds);
    if (auto failed = write_file(family_file_path(s.path, in.events_dir, family, "_events.tsv"), text)) return failed;
    lap.add_to(s.write_seconds);
    if (!s.index.has_origination()) return std::nullopt;

    for (const PlacedCopy& copy : placed) s.index.place(copy.gene, copy.leaf);
    text.clear();
    s.extant_text.clear();
    if (!append_family_trees(s.index, in.total_age, in.names, s.complete, s.extant, text, s.extant_text)) {
        return runtime_error("the gene ids of family " + std::to_string(family) + " do not form a tree");
    }
    lap.add_to(s.build_seconds);
    if (auto failed = write_file(family_file_path(s.path, in.trees_dir, family, "_complete.nwk"), text)) return failed;
    if (!s.extant.empty()) {
        if (auto failed = write_file(family_file_path(s.path, in.trees_dir, family, "_extant.nwk"), s.extant_text)) {
            return failed;
        }
    }
    lap.add_to(s.write_seconds);
    return std::nullopt;
}

}  // namespace vornix::writer
