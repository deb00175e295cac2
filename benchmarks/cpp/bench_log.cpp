// Engine-only timing of the event-log engine on the log-1k and trace-1k
// workloads (the Python conversion excluded):
//   build/dev/benchmarks/cpp/bench_log [tree.json] [repeats]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "engines/event_log/run.h"
#include "tree_json.h"

namespace {

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
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
            const double cpu_start = cpu_seconds();
            auto out = vornix::event_log::run_log(tree, p, record_speciation);
            cpu.push_back(cpu_seconds() - cpu_start);
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
