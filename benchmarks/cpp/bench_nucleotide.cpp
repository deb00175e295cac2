// Engine-only timing of the nucleotide engine on the nucleotide-1k workload
// (the Python conversion excluded):
//   build/dev/benchmarks/cpp/bench_nucleotide [tree.json] [repeats]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "engines/nucleotide/engine.h"
#include "tree_json.h"

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "../shared/benchmarks/species_tree_1000.json";
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 7;
    const vornix::SpeciesTree tree = bench::read_tree(path);

    vornix::nucleotide::NucleotideParams p;
    p.inversion = 2e-5;
    p.loss = 1e-5;
    p.duplication = 1e-5;
    p.transfer = 1e-5;
    p.transposition = 1e-5;
    p.origination = 0.5;
    p.root_length = 1000000;
    p.extension = 0.999;
    p.initial_size = 1;
    p.seed = 1;
    p.mode = {0.0, -1.0, false};

    std::vector<double> seconds;
    std::uint64_t events = 0;
    std::size_t segments = 0;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto out = vornix::nucleotide::run_nucleotide(tree, p);
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!out.ok()) {
            std::fprintf(stderr, "run failed: %s\n", out.error().message.c_str());
            return 1;
        }
        events = out.value().events;
        segments = 0;
        for (const auto& leaf : out.value().leaves) segments += leaf.segments.size();
    }
    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[seconds.size() / 2];
    std::printf("nucleotide-1k engine median %.4f s (min %.4f, n=%d)  events %llu (%.0f events/s)  leaf segments %zu\n",
                median, seconds.front(), repeats, static_cast<unsigned long long>(events), events / median, segments);
    return 0;
}
