// Where the time of the write-100 workload goes: the engine run, the
// run-wide tables, the per-family stage (split, summed over threads, into
// building tables/trees/text and file-system calls) and the run-wide files.
//   build/dev/benchmarks/cpp/bench_writer [tree.json] [repeats]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tree_json.h"
#include "writer/simulate_write.h"

namespace {

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream buf;
    buf << in.rdbuf();
    return buf.str();
}

// The "names" array of the benchmark input: plain quoted strings.
std::vector<std::string> read_names(const std::string& text) {
    std::size_t p = text.find('[', bench::value_start(text, "names")) + 1;
    const std::size_t end = text.find(']', p);
    std::vector<std::string> names;
    while ((p = text.find('"', p)) < end) {
        const std::size_t close = text.find('"', p + 1);
        names.push_back(text.substr(p + 1, close - p - 1));
        p = close + 1;
    }
    return names;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "../shared/benchmarks/species_tree_100.json";
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    const vornix::SpeciesTree tree = bench::read_tree(path);
    const std::string text = read_text(path);
    const std::vector<std::string> names = read_names(text);
    const double total_age = std::strtod(text.c_str() + bench::value_start(text, "total_age"), nullptr);

    vornix::event_log::LogParams p;
    p.duplication = 0.2;
    p.transfer = 0.2;
    p.loss = 0.35;
    p.origination = 1.0;
    p.initial_size = 2000;
    p.cap = -1;
    p.seed = 1;
    p.mode = {0.0, -1.0, false};

    const auto scratch = std::filesystem::temp_directory_path() / "vornix_bench_writer_cpp";
    std::vector<double> total, simulate, tables, stage, build, write, run_files;
    vornix::writer::WriteCounts counts;
    // A fresh directory per run, all removed at the end: deleting thousands
    // of files between runs would slow down the next run's file creation.
    std::filesystem::remove_all(scratch);
    for (int i = 0; i < repeats; ++i) {
        vornix::writer::WriteTimings t;
        const auto outdir = scratch / ("run" + std::to_string(i));
        const auto start = std::chrono::steady_clock::now();
        auto out = vornix::writer::simulate_and_write(tree, p, names, total_age, outdir.string(), {}, &t);
        total.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!out.ok()) {
            std::fprintf(stderr, "run failed: %s\n", out.error().message.c_str());
            return 1;
        }
        counts = out.value();
        simulate.push_back(t.simulate);
        tables.push_back(t.tables);
        stage.push_back(t.family_stage);
        build.push_back(t.family_build);
        write.push_back(t.family_write);
        run_files.push_back(t.run_files);
    }
    std::filesystem::remove_all(scratch);
    std::printf("write-100 median %.4f s (n=%d): simulate %.4f, tables %.4f, family stage %.4f wall (threads: build "
                "%.4f, write %.4f), run-wide files %.4f; families %llu, records %llu\n",
                median(total), repeats, median(simulate), median(tables), median(stage), median(build),
                median(write), median(run_files), static_cast<unsigned long long>(counts.families),
                static_cast<unsigned long long>(counts.records));
    return 0;
}
