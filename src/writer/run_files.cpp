#include "writer/run_files.h"

#include "writer/fmt_g.h"
#include "writer/text.h"

namespace vornix::writer {

namespace {

constexpr std::string_view kTransfersHeader =
    "time\tfamily\tdonor_branch\trecipient_branch\tparent_id\tdonor_copy_id\ttransfer_id\n";
constexpr std::string_view kSummaryHeader =
    "family\torigin_time\torigin_branch\tn_dup\tn_transfer\tn_loss\tn_speciation\textant_copies\tspecies_present\n";
constexpr std::size_t kProfileChunk = 512;

template <class Int>
void field(std::string& out, Int v) {
    out.push_back('\t');
    append_int(out, v);
}

}  // namespace

std::string transfers_table(const Records& r, std::span<const std::string> names, Interrupt& interrupt) {
    std::string out(kTransfersHeader);
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (r.kind[i] != kTransfer) continue;
        if (interrupt.tick()) break;
        append_fmt_g(out, r.time[i], 10);
        field(out, r.family[i] + 1);
        out.push_back('\t');
        out.append(node_name(names, r.donor[i]));
        out.push_back('\t');
        out.append(node_name(names, r.recipient[i]));
        field(out, r.gene[i]);
        field(out, r.child1[i]);
        field(out, r.child2[i]);
        out.push_back('\n');
    }
    return out;
}

std::string summary_table(const FamilyGroups& groups, std::span<const FamilySummary> summaries,
                          const ExtantTables& extant, std::span<const std::string> names, Interrupt& interrupt) {
    std::string out(kSummaryHeader);
    std::size_t e = 0;  // walks extant.families alongside (both ascending)
    for (std::size_t k = 0; k < groups.size(); ++k) {
        if (interrupt.tick()) break;
        const std::uint64_t family = groups.families[k];
        const FamilySummary& s = summaries[k];
        append_int(out, family + 1);
        out.push_back('\t');
        if (s.has_origin) append_fmt_g(out, s.origin_time, 10);
        out.push_back('\t');
        if (s.has_origin) out.append(names[s.origin_branch]);
        field(out, s.n_dup);
        field(out, s.n_transfer);
        field(out, s.n_loss);
        field(out, s.n_speciation);
        while (e < extant.families.size() && extant.families[e] < family) ++e;
        std::uint64_t copies = 0, present = 0;
        if (e < extant.families.size() && extant.families[e] == family) {
            for (const auto& c : extant.of(e)) copies += c.count;
            present = extant.of(e).size();
        }
        field(out, copies);
        field(out, present);
        out.push_back('\n');
    }
    return out;
}

IoStatus write_profile_tables(const ExtantTables& extant, std::span<const std::string> names,
                              const std::string& outdir, WorkerPool& pool, Interrupt& interrupt) {
    std::string header = "family";
    for (const auto leaf : extant.columns) {
        header.push_back('\t');
        header.append(names[leaf]);
    }
    header.push_back('\n');

    BufferedFile profiles, presence;
    if (auto failed = profiles.open(join_path(outdir, "Profiles.tsv"))) return failed;
    if (auto failed = presence.open(join_path(outdir, "Presence.tsv"))) return failed;
    if (auto failed = profiles.write(header)) return failed;
    if (auto failed = presence.write(header)) return failed;

    const std::size_t n_columns = extant.columns.size();
    std::vector<std::string> count_lines(kProfileChunk), presence_lines(kProfileChunk);
    for (std::size_t first = 0; first < extant.families.size(); first += kProfileChunk) {
        if (interrupt.poll_now()) return interrupted();
        const std::size_t n = std::min(kProfileChunk, extant.families.size() - first);
        pool.for_each(n, [&](std::size_t j, unsigned) {
            const std::size_t k = first + j;
            std::string& counts = count_lines[j];
            std::string& flags = presence_lines[j];
            counts.clear();
            append_int(counts, extant.families[k] + 1);
            flags = counts;
            const auto cells = extant.of(k);
            std::size_t next = 0;  // cells are by ascending column
            for (std::size_t col = 0; col < n_columns; ++col) {
                std::uint64_t count = 0;
                if (next < cells.size() && cells[next].column == col) count = cells[next++].count;
                field(counts, count);
                flags.append(count != 0 ? "\t1" : "\t0");
            }
            counts.push_back('\n');
            flags.push_back('\n');
        });
        for (std::size_t j = 0; j < n; ++j) {
            if (auto failed = profiles.write(count_lines[j])) return failed;
            if (auto failed = presence.write(presence_lines[j])) return failed;
        }
    }
    if (auto failed = profiles.flush()) return failed;
    return presence.flush();
}

}  // namespace vornix::writer
