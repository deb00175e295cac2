// Engine-only timing of the event-log engine on the log-1k and trace-1k
// workloads (the Python conversion excluded):
//   build/dev/benchmarks/cpp/bench_log [tree.json] [repeats]
// and of log-cap's 9-species tree at caps 100, 400 and 1000, per record:
//   build/dev/benchmarks/cpp/bench_log cap [repeats] [cap]
// (one cap only when given, e.g. to profile it).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "engines/event_log/run.h"
#include "cpu_clock.h"
#include "tree_json.h"

namespace {

// The tree of the log-cap workload (benchmarks/bench_log.py), nodes in
// preorder: (((A:3,B:3)AB:2,(C:4,Xext:1.5)CX:1)ABCX:1,((D:2,E:2)DE:3,
// (F:4,(G:1,H:1)GH:3)FGH:1)DEFGH:1)root; Xext ends at 3.5.
vornix::SpeciesTree cap_tree() {
    vornix::SpeciesTree tree;
    tree.n_nodes = 17;
    tree.parent = {-1, 0, 1, 2, 2, 1, 5, 5, 0, 8, 9, 9, 8, 12, 12, 14, 14};
    tree.time = {0.0, 1.0, 3.0, 6.0, 6.0, 2.0, 6.0, 3.5, 1.0, 4.0, 6.0, 6.0, 2.0, 6.0, 5.0, 6.0, 6.0};
    for (int v = 0; v < 17; ++v) {
        tree.extant_leaf.push_back(v == 3 || v == 4 || v == 6 || v == 10 || v == 11 || v == 13 || v == 15 ||
                                   v == 16);
    }
    tree.root = 0;
    return tree;
}

// CPU seconds per record at each cap (median over the repeats, the caps
// interleaved), and the ratio of the largest cap's to the smallest's.
int cap_series(int repeats, std::vector<std::int64_t> caps) {
    const vornix::SpeciesTree tree = cap_tree();
    vornix::event_log::LogParams p;
    p.duplication = 3.0;
    p.transfer = 0.5;
    p.loss = 0.0;
    p.origination = 0.5;
    p.initial_size = 50;
    p.seed = 1;
    p.mode = {0.0, -1.0, false};
    std::vector<std::vector<double>> cpu(caps.size());
    std::vector<std::size_t> records(caps.size());
    std::vector<std::uint64_t> events(caps.size());
    for (int i = 0; i < repeats; ++i) {
        for (std::size_t c = 0; c < caps.size(); ++c) {
            p.cap = caps[c];
            const double start = bench::cpu_seconds();
            auto out = vornix::event_log::run_log(tree, p, true);
            cpu[c].push_back(bench::cpu_seconds() - start);
            if (!out.ok()) {
                std::fprintf(stderr, "run failed: %s\n", out.error().message.c_str());
                return 1;
            }
            records[c] = out.value().records.size();
            events[c] = out.value().events;
        }
    }
    std::vector<double> per_record(caps.size());
    for (std::size_t c = 0; c < caps.size(); ++c) {
        std::sort(cpu[c].begin(), cpu[c].end());
        per_record[c] = cpu[c][cpu[c].size() / 2] / static_cast<double>(records[c]);
        std::printf("log-cap %-5lld engine cpu median %.4f s  events %llu  records %zu  %.1f ns/record\n",
                    static_cast<long long>(caps[c]), cpu[c][cpu[c].size() / 2],
                    static_cast<unsigned long long>(events[c]), records[c], 1e9 * per_record[c]);
    }
    std::printf("per record, cap %lld / cap %lld: %.3f\n", static_cast<long long>(caps.back()),
                static_cast<long long>(caps.front()), per_record.back() / per_record.front());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "cap") {
        std::vector<std::int64_t> caps = {100, 400, 1000};
        if (argc > 3) caps = {std::atoll(argv[3])};
        return cap_series(argc > 2 ? std::atoi(argv[2]) : 7, caps);
    }
    const std::string path = argc > 1 ? argv[1] : "../shared/benchmarks/species_tree_1000.json";
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 7;
    const vornix::SpeciesTree tree = bench::read_tree(path);

    vornix::event_log::LogParams p;
    p.duplication = 0.2;
    p.transfer = 0.2;
    p.loss = 0.35;
    p.origination = 1.0;
    p.initial_size = 500;
    p.cap = -1;
    p.seed = 1;
    p.mode = {0.0, -1.0, false};

    for (const bool record_speciation : {true, false}) {
        std::vector<double> seconds, cpu;
        std::uint64_t events = 0;
        std::size_t records = 0;
        for (int i = 0; i < repeats; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const double cpu_start = bench::cpu_seconds();
            auto out = vornix::event_log::run_log(tree, p, record_speciation);
            cpu.push_back(bench::cpu_seconds() - cpu_start);
            seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            if (!out.ok()) {
                std::fprintf(stderr, "run failed: %s\n", out.error().message.c_str());
                return 1;
            }
            events = out.value().events;
            records = out.value().records.size();
        }
        std::sort(seconds.begin(), seconds.end());
        std::sort(cpu.begin(), cpu.end());
        const double median = seconds[seconds.size() / 2];
        std::printf("%-10s engine median %.4f s (min %.4f, n=%d)  cpu median %.4f s  events %llu (%.2f M events/s)  "
                    "records %zu\n",
                    record_speciation ? "log-1k" : "trace-1k", median, seconds.front(), repeats, cpu[cpu.size() / 2],
                    static_cast<unsigned long long>(events), events / median / 1e6, records);
    }
    return 0;
}
