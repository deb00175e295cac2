// The output directory written from hand-made records: every file byte for
// byte, reuse of a directory, and the failure paths.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "writer/files.h"
#include "writer/worker_pool.h"
#include "writer/write_output.h"

using namespace vornix;
using namespace vornix::writer;

namespace {

std::string temp_dir() {
    char tmpl[] = "/tmp/vornix_writer_XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (dir == nullptr) throw std::runtime_error("mkdtemp failed");
    return dir;
}

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Root 0 speciates into n1 (1) and s10 (2); n1 into s2 (3, extant) and the
// extinct x (4). Three families: 0 duplicates on s10, 1 is transferred from
// n1 to s10 (where it replaces a resident), 2 originates on n1 and dies out.
struct Run {
    std::vector<std::string> names = {"root", "n1", "s10", "s2", "x"};
    Records r;
    ExtantContent extant;

    Run() {
        r.push(kOrigination, 0, -1, -1, 0, 0, -1, 0.0, -1);
        r.push(kOrigination, 0, -1, -1, 1, 1, -1, 0.0, -1);
        r.push(kSpeciation, 0, -1, -1, 0, 0, 2, 0.0, 3);
        r.push(kSpeciation, 0, -1, -1, 1, 1, 4, 0.0, 5);
        r.push(kDuplication, 2, -1, -1, 0, 3, 6, 0.5, 7);
        r.push(kTransfer, 1, 1, 2, 1, 4, 8, 0.75, 9);
        r.push(kLoss, 2, -1, -1, 1, 5, -1, 0.8, -1);
        r.push(kOrigination, 1, -1, -1, 2, 10, -1, 0.9, -1);
        r.push(kSpeciation, 1, -1, -1, 0, 2, 11, 1.0, 12);
        r.push(kSpeciation, 1, -1, -1, 1, 8, 13, 1.0, 14);
        r.push(kSpeciation, 1, -1, -1, 2, 10, 15, 1.0, 16);
        r.push(kLoss, 3, -1, -1, 2, 15, -1, 1.5, -1);
        extant = {{2, {{6, 0}, {7, 0}, {9, 1}}}, {3, {{11, 0}, {13, 1}}}};
    }

    Outcome<WriteCounts> write(const std::string& outdir, WorkerPool& pool) const {
        return write_output(r, extant, SpeciesBranches{}, names, 2.0, outdir, pool);
    }
};

}  // namespace

TEST_CASE("a small run writes every file byte for byte") {
    const std::string dir = temp_dir() + "/out/nested";  // missing parents are created
    WorkerPool pool(3);
    auto res = Run().write(dir, pool);
    CHECK(res.ok());
    CHECK_EQ(res.value().families, std::uint64_t{3});
    CHECK_EQ(res.value().records, std::uint64_t{12});
    CHECK_EQ(res.value().extant_leaves, std::uint64_t{2});

    const std::string head = "time\tevent\tbranch\tdonor\trecipient\tnodes\n";
    CHECK_EQ(read(dir + "/gene_family_events/1_events.tsv"),
             head + "0\tO\troot\t\t\torigin=0\n0\tS\troot\t\t\tparent=0;child=2;child=3\n"
                    "0.5\tD\ts10\t\t\tparent=3;left=6;right=7\n1\tS\tn1\t\t\tparent=2;child=11;child=12\n");
    CHECK_EQ(read(dir + "/gene_family_events/2_events.tsv"),
             head + "0\tO\troot\t\t\torigin=1\n0\tS\troot\t\t\tparent=1;child=4;child=5\n"
                    "0.75\tT\tn1\tn1\ts10\tparent=4;donor_copy=8;transfer_copy=9\n0.8\tL\ts10\t\t\tlost=5\n"
                    "1\tS\tn1\t\t\tparent=8;child=13;child=14\n");
    CHECK_EQ(read(dir + "/gene_family_events/3_events.tsv"),
             head + "0.9\tO\tn1\t\t\torigin=10\n1\tS\tn1\t\t\tparent=10;child=15;child=16\n1.5\tL\ts2\t\t\tlost=15\n");

    CHECK_EQ(read(dir + "/gene_trees/1_complete.nwk"), std::string("((s2_11:1,12:1)2:1,(s10_6:1.5,s10_7:1.5)3:0.5)0:0;\n"));
    CHECK_EQ(read(dir + "/gene_trees/1_extant.nwk"), std::string("(s2_11:2,(s10_6:1.5,s10_7:1.5)3:0.5)0:0;\n"));
    CHECK_EQ(read(dir + "/gene_trees/2_complete.nwk"),
             std::string("(((s2_13:1,14:1)8:0.25,s10_9:1.25)4:0.75,LOSS_5:0.8)1:0;\n"));
    CHECK_EQ(read(dir + "/gene_trees/2_extant.nwk"), std::string("(s2_13:1.25,s10_9:1.25)4:0.75;\n"));
    CHECK_EQ(read(dir + "/gene_trees/3_complete.nwk"), std::string("(LOSS_15:0.5,16:1)10:0.1;\n"));
    CHECK(!exists(dir + "/gene_trees/3_extant.nwk"));

    CHECK_EQ(read(dir + "/Transfers.tsv"),
             std::string("time\tfamily\tdonor_branch\trecipient_branch\tparent_id\tdonor_copy_id\ttransfer_id\n"
                         "0.75\t2\tn1\ts10\t4\t8\t9\n"));
    CHECK_EQ(read(dir + "/Gene_family_summary.tsv"),
             std::string("family\torigin_time\torigin_branch\tn_dup\tn_transfer\tn_loss\tn_speciation\t"
                         "extant_copies\tspecies_present\n"
                         "1\t0\troot\t1\t0\t0\t2\t3\t2\n2\t0\troot\t0\t1\t1\t2\t2\t2\n3\t0.9\tn1\t0\t0\t1\t1\t0\t0\n"));
    CHECK_EQ(read(dir + "/Profiles.tsv"), std::string("family\ts2\ts10\n1\t1\t2\n2\t1\t1\n"));
    CHECK_EQ(read(dir + "/Presence.tsv"), std::string("family\ts2\ts10\n1\t1\t1\n2\t1\t1\n"));
}

TEST_CASE("no records: empty directories, headers only, counts (0, 0, leaves)") {
    const std::string dir = temp_dir();
    Records none;
    const ExtantContent extant = {{2, {}}, {1, {}}};
    const std::vector<std::string> names = {"r", "b2", "a10"};
    auto res = write_output(none, extant, SpeciesBranches{}, names, 1.0, dir + "/", default_pool());
    CHECK(res.ok());
    CHECK_EQ(res.value().families + res.value().records, std::uint64_t{0});
    CHECK_EQ(res.value().extant_leaves, std::uint64_t{2});
    CHECK(exists(dir + "/gene_family_events") && exists(dir + "/gene_trees"));
    CHECK_EQ(read(dir + "/Transfers.tsv").size(), std::size_t{78});
    CHECK_EQ(read(dir + "/Gene_family_summary.tsv").size(), std::size_t{100});
    CHECK_EQ(read(dir + "/Profiles.tsv"), std::string("family\tb2\ta10\n"));
    CHECK_EQ(read(dir + "/Presence.tsv"), std::string("family\tb2\ta10\n"));
}

TEST_CASE("a reused directory: produced files are replaced, others left in place") {
    const std::string dir = temp_dir();
    CHECK(!create_dir_all(dir + "/gene_trees").has_value());
    CHECK(!create_dir_all(dir + "/gene_family_events").has_value());
    CHECK(!write_file(dir + "/gene_trees/7_complete.nwk", "stale;\n").has_value());
    CHECK(!write_file(dir + "/gene_family_events/1_events.tsv", std::string(5000, 'z')).has_value());
    CHECK(Run().write(dir, default_pool()).ok());
    CHECK_EQ(read(dir + "/gene_trees/7_complete.nwk"), std::string("stale;\n"));
    CHECK_EQ(read(dir + "/gene_family_events/1_events.tsv").substr(0, 4), std::string("time"));
    CHECK(read(dir + "/gene_family_events/1_events.tsv").size() < 5000);
}

TEST_CASE("profile lines come in chunks of 512 and through the 8192-byte buffer in family order") {
    Records r;
    ExtantContent extant = {{1, {}}, {2, {}}};
    const std::uint64_t n = 1500;
    for (std::uint64_t f = 0; f < n; ++f) {
        r.push(kOrigination, 0, -1, -1, f, f, -1, 0.0, -1);
        extant[f % 2].copies.push_back({f, f});
        if (f % 3 == 0) extant[0].copies.push_back({n + f, f});
    }
    const std::string dir = temp_dir();
    WorkerPool pool(2);
    auto res = write_output(r, extant, SpeciesBranches{}, {std::vector<std::string>{"r", "a", "b"}}, 1.0, dir, pool);
    CHECK(res.ok());
    std::string want = "family\ta\tb\n";
    for (std::uint64_t f = 0; f < n; ++f) {
        const std::uint64_t on_a = (f % 2 == 0) + (f % 3 == 0);
        const std::uint64_t on_b = f % 2 == 1;
        want += std::to_string(f + 1) + "\t" + std::to_string(on_a) + "\t" + std::to_string(on_b) + "\n";
    }
    CHECK_EQ(read(dir + "/Profiles.tsv"), want);
}

TEST_CASE("file-system failures: system error text, no later stage starts") {
    const std::string dir = temp_dir();
    CHECK(!write_file(dir + "/plain", "x").has_value());
    auto res = Run().write(dir + "/plain/out", default_pool());
    CHECK(!res.ok() && res.error().kind == ErrorKind::Os);
    if (!res.ok()) CHECK_EQ(res.error().message, std::string("Not a directory (os error 20)"));

    auto nul = Run().write(dir + std::string("/a\0b", 4), default_pool());
    CHECK(!nul.ok() && nul.error().kind == ErrorKind::Os);
    CHECK(!exists(dir + "/a"));

    // A directory where a family's events file should go fails that family.
    const std::string out = dir + "/busy";
    CHECK(!create_dir_all(out + "/gene_family_events/2_events.tsv").has_value());
    auto busy = Run().write(out, default_pool());
    CHECK(!busy.ok());
    if (!busy.ok()) CHECK_EQ(busy.error().message, std::string("Is a directory (os error 21)"));
    CHECK(!exists(out + "/Transfers.tsv"));
    CHECK(!exists(out + "/Profiles.tsv"));

    CHECK_EQ(os_error_message(2), std::string("No such file or directory (os error 2)"));
}

TEST_CASE("names that miss a printed node are refused before anything is written") {
    const std::string dir = temp_dir() + "/never";
    Run run;
    run.names.pop_back();  // node 4 prints nowhere: fine
    CHECK(run.write(dir, default_pool()).ok());
    run.names.pop_back();  // node 3 is an extant leaf and an event branch
    auto res = run.write(dir + "2", default_pool());
    CHECK(!res.ok() && res.error().kind == ErrorKind::Value);
    CHECK(!exists(dir + "2"));
}

TEST_CASE("worker pool: every iteration once, exceptions carried back, no workers needed") {
    for (unsigned workers : {0u, 1u, 3u}) {
        WorkerPool pool(workers);
        std::vector<std::atomic<int>> hits(10000);
        pool.for_each(hits.size(), [&](std::size_t i, unsigned lane) {
            CHECK(lane < pool.lanes());
            hits[i].fetch_add(1);
        });
        bool all_once = true;
        for (auto& h : hits) all_once = all_once && h.load() == 1;
        CHECK(all_once);
        bool thrown = false;
        try {
            pool.for_each(100, [](std::size_t i, unsigned) {
                if (i == 42) throw std::runtime_error("boom");
            });
        } catch (const std::runtime_error& e) {
            thrown = std::string(e.what()) == "boom";
        }
        CHECK(thrown);
    }
    // Loops from two threads at once run one after the other.
    WorkerPool pool(2);
    std::atomic<long> sum{0};
    auto loop = [&] { for (int k = 0; k < 50; ++k) pool.for_each(100, [&](std::size_t i, unsigned) { sum += long(i); }); };
    std::thread a(loop), b(loop);
    a.join();
    b.join();
    CHECK_EQ(sum.load(), 2L * 50 * 4950);
}

TEST_CASE("the process-wide pool works again in a forked child") {
    std::atomic<int> n{0};
    default_pool().for_each(64, [&](std::size_t, unsigned) { ++n; });
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);  // a hang ends the child, and the check below fails
        std::atomic<int> m{0};
        default_pool().for_each(64, [&](std::size_t, unsigned) { ++m; });
        _exit(m.load() == 64 ? 0 : 1);
    }
    int status = 0;
    CHECK(waitpid(pid, &status, 0) == pid);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CHECK_EQ(n.load(), 64);
}
