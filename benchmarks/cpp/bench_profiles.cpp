// Engine-only timing of the counts-only profile engine (the Python
// conversion excluded), in wall and CPU time:
//   build/dev/benchmarks/cpp/bench_profiles [tree.json] [repeats] [distance]
// profiles-1k by default (give it species_tree_1000.json); with "distance",
// the settings of profiles-100-distance (give it species_tree_100.json).
// With repeats 1 it is also the program to run under cachegrind or callgrind.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "engines/profiles/run.h"
#include "cpu_clock.h"
#include "tree_json.h"

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "../shared/benchmarks/species_tree_1000.json";
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 7;
    const bool distance = argc > 3 && std::string(argv[3]) == "distance";
    const vornix::SpeciesTree tree = bench::read_tree(path);

    vornix::profiles::ProfileParams p;
    p.duplication = 0.2;
    p.transfer = 0.2;
    p.loss = 0.35;
    p.origination = 1.0;
    p.cap = distance ? 5 : -1;
    p.mode = distance ? vornix::TransferMode{0.5, 1.0, false} : vornix::TransferMode{0.0, -1.0, false};

    auto walk = vornix::profiles::prepare_profile_tree(tree);
    if (!walk.ok()) {
        std::fprintf(stderr, "bad tree: %s\n", walk.error().message.c_str());
        return 1;
    }
    std::vector<double> wall, cpu;
    std::uint64_t events = 0, digest = 0;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = bench::cpu_seconds();
        auto out = vornix::profiles::run_profile_copy(tree, walk.value(), p, 1, 2000);
        cpu.push_back(bench::cpu_seconds() - cpu_start);
        wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!out.ok()) {
            std::fprintf(stderr, "run failed: %s\n", out.error().message.c_str());
            return 1;
        }
        events = out.value().events;
        // FNV-1a over the result, to compare builds bit for bit.
        digest = 0xcbf29ce484222325ULL;
        const auto& r = out.value();
        for (std::size_t k = 0; k < r.leaf.size(); ++k) {
            for (const std::uint64_t v : {std::uint64_t{r.leaf[k]}, r.family[k], std::uint64_t{r.count[k]}}) {
                digest = (digest ^ v) * 0x100000001b3ULL;
            }
        }
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    const double median = wall[wall.size() / 2], cpu_median = cpu[cpu.size() / 2];
    std::printf("%s engine median %.4f s (min %.4f, n=%d)  cpu median %.4f s  events %llu  %.1f ns/event (cpu %.1f)  result %016llx\n",
                distance ? "profiles-100-distance" : "profiles-1k", median, wall.front(), repeats, cpu_median, static_cast<unsigned long long>(events),
                1e9 * median / static_cast<double>(events), 1e9 * cpu_median / static_cast<double>(events),
                static_cast<unsigned long long>(digest));
    return 0;
}
