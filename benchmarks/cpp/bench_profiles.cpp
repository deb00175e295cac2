// Engine-only timing of the counts-only profile engine on the profiles-1k
// workload (the Python conversion excluded), in wall and CPU time:
//   build/dev/benchmarks/cpp/bench_profiles [tree.json] [repeats]
// With repeats 1 it is also the program to run under cachegrind or callgrind.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "engines/profiles/run.h"
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

    vornix::profiles::ProfileParams p;
    p.duplication = 0.2;
    p.transfer = 0.2;
    p.loss = 0.35;
    p.origination = 1.0;
    p.cap = -1;
    p.mode = {0.0, -1.0, false};

    auto walk = vornix::profiles::prepare_profile_tree(tree);
    if (!walk.ok()) {
        std::fprintf(stderr, "bad tree: %s\n", walk.error().message.c_str());
        return 1;
    }
    std::vector<double> wall, cpu;
    std::uint64_t events = 0;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = cpu_seconds();
        auto out = vornix::profiles::run_profile_copy(tree, walk.value(), p, 1, 2000);
        cpu.push_back(cpu_seconds() - cpu_start);
        wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!out.ok()) {
            std::fprintf(stderr, "run failed: %s\n", out.error().message.c_str());
            return 1;
        }
        events = out.value().events;
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    const double median = wall[wall.size() / 2], cpu_median = cpu[cpu.size() / 2];
    std::printf("profiles-1k engine median %.4f s (min %.4f, n=%d)  cpu median %.4f s  events %llu  %.1f ns/event (cpu %.1f)\n",
                median, wall.front(), repeats, cpu_median, static_cast<unsigned long long>(events),
                1e9 * median / static_cast<double>(events), 1e9 * cpu_median / static_cast<double>(events));
    return 0;
}
