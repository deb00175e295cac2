// Gene trees rebuilt from hand-made family records: FamilyIndex, build_gnode
// and prune, checked through their Newick text.
#include <cmath>
#include <string>
#include <vector>

#include "check.h"
#include "writer/gene_tree.h"
#include "writer/newick.h"

using namespace vornix;
using namespace vornix::writer;

namespace {

const std::vector<std::string> kNames = {"root", "A", "B", "C"};

struct Family {
    Records r;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> placed;  // (gene, extant leaf)
    void O(std::uint64_t g, double t) { r.push(kOrigination, 0, -1, -1, 0, g, -1, t, -1); }
    void split(std::uint8_t kind, std::uint64_t g, std::int64_t c1, double t) {
        r.push(kind, 0, kind == kTransfer ? 0 : -1, kind == kTransfer ? 1 : -1, 0, g, c1, t, c1 + 1);
    }
    void D(std::uint64_t g, std::int64_t c1, double t) { split(kDuplication, g, c1, t); }
    void L(std::uint64_t g, double t) { r.push(kLoss, 0, -1, -1, 0, g, -1, t, -1); }
    void on_leaf(std::uint64_t g, std::uint64_t species) { placed.push_back({g, species}); }

    FamilyIndex index() const {
        FamilyIndex idx;
        idx.reset(r.size());
        for (std::size_t i = 0; i < r.size(); ++i) idx.add(event_row(r, i));
        for (const auto& [g, leaf] : placed) idx.place(g, leaf);
        return idx;
    }
    // Complete and extant Newick text ("-" for no extant tree).
    std::pair<std::string, std::string> trees(double total_age) const {
        const FamilyIndex idx = index();
        GTree complete, extant;
        CHECK(idx.has_origination());
        CHECK(build_gnode(idx.root_id(), idx, total_age, complete));
        prune(complete, extant);
        std::string c, e = "-";
        to_newick(complete, kNames, c);
        if (!extant.empty()) {
            e.clear();
            to_newick(extant, kNames, e);
        }
        return {c, e};
    }
};

using Trees = std::pair<std::string, std::string>;

}  // namespace

TEST_CASE("a duplication with a lost left copy collapses onto the survivor") {
    Family f;
    f.O(5, 0.0);
    f.D(5, 6, 1.25);
    f.L(6, 2.0);
    f.on_leaf(7, 1);
    CHECK(f.trees(3.0) == Trees("(LOSS_6:0.75,A_7:1.75)5:1.25", "A_7:3"));
}

TEST_CASE("single copies: untouched root, copy off every extant leaf, all copies lost") {
    Family untouched;
    untouched.O(0, 0.5);
    untouched.on_leaf(0, 2);
    CHECK(untouched.trees(2.0) == Trees("B_0:1.5", "B_0:1.5"));

    Family stranded;  // never lost, but on no extant leaf
    stranded.O(0, 0.5);
    CHECK(stranded.trees(2.0) == Trees("0:1.5", "-"));

    Family gone;
    gone.O(3, 0.0);
    gone.D(3, 4, 1.0);
    gone.L(4, 1.5);
    gone.split(kSpeciation, 5, 6, 2.0);
    gone.L(6, 2.5);
    gone.L(7, 2.75);
    CHECK(gone.trees(9.0) == Trees("(LOSS_4:0.5,(LOSS_6:0.5,LOSS_7:0.75)5:1)3:1", "-"));
}

TEST_CASE("prune keeps splits with two survivors and collapses chains into their lowest kept node") {
    Family f;
    f.O(1, 0.5);
    f.D(1, 2, 1.0);               // 1 -> 2, 3
    f.split(kTransfer, 3, 4, 2.0);  // 3 -> 4, 5
    f.L(2, 1.5);
    f.D(5, 6, 2.5);               // 5 -> 6, 7
    f.L(6, 3.0);
    f.on_leaf(4, 1);
    f.on_leaf(7, 3);
    const auto [complete, extant] = f.trees(4.0);
    CHECK_EQ(complete, std::string("(LOSS_2:0.5,(A_4:2,(LOSS_6:0.5,C_7:1.5)5:0.5)3:1)1:0.5"));
    // 3 keeps two survivors and takes 1's start; 7 replaces the chain 5 -> 7.
    CHECK_EQ(extant, std::string("(A_4:2,C_7:2)3:1.5"));
}

TEST_CASE("FamilyIndex: births, last origination, split before loss, unknown ids") {
    Family f;
    f.O(10, 1.0);
    f.O(10, 2.0);  // the first birth of a gene stays
    f.O(20, 3.0);  // the last origination sets the root
    f.D(20, 21, 4.0);
    f.L(20, 5.0);  // split and lost: the split wins
    f.on_leaf(21, 1);
    const FamilyIndex idx = f.index();
    CHECK_EQ(idx.root_id(), std::uint64_t{20});
    CHECK_EQ(idx.find(10)->birth, 1.0);
    const auto [c20, e20] = f.trees(6.0);
    CHECK_EQ(c20, std::string("(A_21:2,22:2)20:2"));
    CHECK_EQ(e20, std::string("A_21:3"));

    GTree t;
    CHECK(build_gnode(99, idx, 6.0, t));  // no birth entry: starts at 0
    std::string s;
    to_newick(t, kNames, s);
    CHECK_EQ(s, std::string("99:6"));

    Family later;  // a split re-sets the birth of its children, even one born by an O
    later.O(30, 1.0);
    later.O(31, 0.25);
    later.D(30, 31, 2.0);
    CHECK_EQ(later.index().find(31)->birth, 2.0);
}

TEST_CASE("deep duplication chains build, prune, print and free without recursion") {
    const std::uint64_t depth = 300000;
    Family f;
    f.O(0, 0.0);
    // Copy 2k splits into 2k+1 (lost) and 2k+2 (goes on); the last one survives.
    for (std::uint64_t k = 0; k < depth; ++k) {
        f.D(2 * k, static_cast<std::int64_t>(2 * k + 1), 1.0 + static_cast<double>(k));
        f.L(2 * k + 1, 1.5 + static_cast<double>(k));
    }
    f.on_leaf(2 * depth, 2);
    const auto [complete, extant] = f.trees(1e6);
    CHECK_EQ(extant, "B_" + std::to_string(2 * depth) + ":1000000");
    CHECK_EQ(complete.substr(0, 12), std::string("(LOSS_1:0.5,"));
    CHECK_EQ(complete.substr(complete.size() - 4), std::string(")0:1"));

    // A chain whose every split keeps two survivors stays deep after pruning.
    Family wide;
    wide.O(0, 0.0);
    for (std::uint64_t k = 0; k < depth; ++k) {
        wide.D(2 * k, static_cast<std::int64_t>(2 * k + 1), 1.0);
        wide.on_leaf(2 * k + 1, 1);
    }
    wide.on_leaf(2 * depth, 3);
    const auto [wc, we] = wide.trees(2.0);
    CHECK_EQ(wc, we);
    CHECK_EQ(we.substr(0, 6), std::string("(A_1:1"));
}

TEST_CASE("split links that revisit a copy are refused instead of looping") {
    Family loop;
    loop.O(1, 0.0);
    loop.D(1, 1, 1.0);  // 1 -> 1, 2
    const FamilyIndex idx = loop.index();
    GTree t;
    CHECK(!build_gnode(1, idx, 2.0, t));

    Family shared;  // two splits hand out the same child
    shared.O(1, 0.0);
    shared.D(1, 2, 1.0);
    shared.r.push(kDuplication, 0, -1, -1, 0, 3, 2, 1.5, 4);  // 3 -> 2, 4
    shared.r.push(kDuplication, 0, -1, -1, 0, 2, 3, 1.7, 5);  // 2 -> 3, 5
    const FamilyIndex idx2 = shared.index();
    CHECK(!build_gnode(1, idx2, 2.0, t));
}

TEST_CASE("copies left on an extinct leaf end with it, found by following their branches") {
    // root 0 at time 0; extant leaf 1 ("A") and extinct leaf 2 ("X", ends 3.5).
    SpeciesTree tree;
    tree.n_nodes = 3;
    tree.parent = {-1, 0, 0};
    tree.time = {0.0, 6.0, 3.5};
    tree.extant_leaf = {0, 1, 0};
    const SpeciesBranches branches(tree);
    const std::vector<std::string> names = {"root", "A", "X"};
    Records r;
    r.push(kOrigination, 0, -1, -1, 0, 0, -1, 0.0, -1);
    r.push(kSpeciation, 0, -1, -1, 0, 0, 1, 0.0, 2);     // 1 -> A, 2 -> X
    r.push(kDuplication, 2, -1, -1, 0, 2, 3, 2.0, 4);    // both stay on X
    r.push(kTransfer, 2, 2, 1, 0, 3, 5, 2.5, 6);         // 5 stays on X, 6 goes to A
    r.push(kTransfer, 2, 2, 2, 0, 5, 7, 2.75, 8);        // a self-transfer: both on X
    r.push(kLoss, 2, -1, -1, 0, 4, -1, 3.0, -1);
    r.push(kTransfer, 1, 1, 2, 0, 1, 9, 3.25, 10);       // from A: 10 goes to X
    auto trees = [&](const SpeciesBranches& b) {
        FamilyIndex idx;
        idx.reset(r.size(), b);
        for (std::size_t i = 0; i < r.size(); ++i) idx.add(event_row(r, i));
        idx.place(6, 1);
        idx.place(9, 1);
        GTree complete, extant;
        CHECK(build_gnode(idx.root_id(), idx, 6.0, complete));
        prune(complete, extant);
        std::string c, e;
        to_newick(complete, names, c);
        to_newick(extant, names, e);
        return Trees(c, e);
    };
    CHECK(trees(branches) == Trees("((A_9:2.75,10:0.25)1:3.25,(((7:0.75,8:0.75)5:0.25,A_6:3.5)3:0.5,LOSS_4:1)2:2)0:0",
                                   "(A_9:6,A_6:6)0:0"));
    // Without the tree every remaining copy runs to total_age, as before.
    CHECK(trees(SpeciesBranches{}) ==
          Trees("((A_9:2.75,10:2.75)1:3.25,(((7:3.25,8:3.25)5:0.25,A_6:3.5)3:0.5,LOSS_4:1)2:2)0:0",
                "(A_9:6,A_6:6)0:0"));
}

TEST_CASE("branches: speciation children in node order, extinct ends only for leaves below the root") {
    SpeciesTree tree;
    tree.n_nodes = 6;
    tree.parent = {3, -1, 1, 1, 3, -1};  // root 1; 3 has children 0 and 4; 5 is isolated
    tree.time = {4.0, 0.0, 5.0, 1.0, 2.5, 9.0};
    tree.extant_leaf = {1, 0, 1, 0, 0, 0};
    tree.root = 1;
    const SpeciesBranches b(tree);
    CHECK_EQ(b.child(1, 0), NodeId{2});
    CHECK_EQ(b.child(1, 1), NodeId{3});
    CHECK_EQ(b.child(3, 0), NodeId{0});
    CHECK_EQ(b.child(3, 1), NodeId{4});
    CHECK_EQ(b.child(0, 0), kNoNode);
    CHECK_EQ(b.child(99, 1), kNoNode);
    CHECK_EQ(b.lineage_end(4), 2.5);
    for (const std::uint64_t v : {0, 1, 2, 3, 5, 6}) CHECK(std::isnan(b.lineage_end(v)));
    CHECK(std::isnan(b.lineage_end(kNoNode)));
}
