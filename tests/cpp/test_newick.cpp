// Number formatting and Newick printing.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "writer/fmt_g.h"
#include "writer/newick.h"

using namespace vornix;
using namespace vornix::writer;

namespace {

// The formatting rule spelled out with the C library: "%.*f" with the
// decimals the magnitude calls for, then trailing zeros and point cut.
std::string reference_fmt_g(double x, int sig) {
    if (x == 0.0 || !std::isfinite(x)) return "0";
    const int e = static_cast<int>(std::floor(std::log10(std::fabs(x))));
    int d = sig - 1 - e;
    d = d < 0 ? 0 : (d > 17 ? 17 : d);
    std::vector<char> buf(400);
    std::snprintf(buf.data(), buf.size(), "%.*f", d, x);
    std::string s(buf.data());
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0') s.pop_back();
        if (s.back() == '.') s.pop_back();
    }
    return s;
}

GNode leaf(std::uint64_t id, double start, double end) {
    GNode n;
    n.id = id;
    n.start = start;
    n.end = end;
    return n;
}

}  // namespace

TEST_CASE("fmt_g reproduces every row of the formatting table") {
    const struct {
        double x;
        int sig;
        const char* text;
    } rows[] = {
        {1.0, 6, "1"},
        {0.5, 6, "0.5"},
        {2.0 / 3.0, 6, "0.666667"},
        {1234.5678, 6, "1234.57"},
        {123456.789, 6, "123457"},
        {1234567.8, 6, "1234568"},
        {1200000.0, 6, "1200000"},
        {100000.5, 6, "100000"},
        {100001.5, 6, "100002"},
        {0.000123456789, 6, "0.000123457"},
        {0.999999999, 6, "1"},
        {99.99999, 6, "100"},
        {1e-20, 6, "0"},
        {-1e-20, 6, "-0"},
        {-0.5, 6, "-0.5"},
        {3.0, 10, "3"},
        {12.5, 10, "12.5"},
        {123.456789012345, 10, "123.456789"},
        {1.0 / 3.0, 10, "0.3333333333"},
        {1e-7, 10, "0.0000001"},
        {1e15, 10, "1000000000000000"},
    };
    for (const auto& row : rows) CHECK_EQ(fmt_g(row.x, row.sig), std::string(row.text));
}

TEST_CASE("fmt_g: zeros, infinities and NaN print 0; no exponent, no trailing point") {
    const double inf = std::numeric_limits<double>::infinity();
    for (const double x : {0.0, -0.0, inf, -inf, std::nan("")}) CHECK_EQ(fmt_g(x, 6), std::string("0"));
    CHECK_EQ(fmt_g(-1e-300, 10), std::string("-0"));
    CHECK_EQ(fmt_g(1e300, 6).size(), std::size_t{301});  // every integer digit kept
    CHECK_EQ(fmt_g(std::numeric_limits<double>::max(), 6).size(), std::size_t{309});
    CHECK_EQ(fmt_g(std::numeric_limits<double>::denorm_min(), 6), std::string("0"));
    CHECK_EQ(fmt_g(0.125, 2), std::string("0.12"));  // exact tie: to even
    CHECK_EQ(fmt_g(0.375, 2), std::string("0.38"));
    CHECK_EQ(fmt_g(2.5, 1), std::string("2"));
    CHECK_EQ(fmt_g(1000.0, 2), std::string("1000"));  // zeros before the point stay
    CHECK_EQ(fmt_g(5.0, -3), std::string("5"));        // no decimals for a nonsensical count
    CHECK_EQ(fmt_g(5.0, 2147483647), std::string("5"));
}

TEST_CASE("fmt_g matches the C library's fixed-point digits on random doubles of every magnitude") {
    std::mt19937_64 gen(12345);
    int mismatches = 0;
    for (int i = 0; i < 300000; ++i) {
        double x;
        if (i % 3 == 0) {
            const std::uint64_t bits = gen();
            std::memcpy(&x, &bits, sizeof x);
        } else {
            // Values of the kind the writer prints: times and lengths.
            x = std::ldexp(static_cast<double>(gen() >> 11), -53) * std::pow(10.0, static_cast<int>(gen() % 14) - 6);
            if (i % 7 == 0) x = -x;
            if (i % 11 == 0) x = std::round(x * 1024.0) / 1024.0;  // many exact ties
        }
        const int sig = i % 2 == 0 ? 6 : 10;
        if (fmt_g(x, sig) != reference_fmt_g(x, sig) && ++mismatches < 5) {
            CHECK_EQ(fmt_g(x, sig), reference_fmt_g(x, sig));
        }
    }
    CHECK_EQ(mismatches, 0);
}

TEST_CASE("to_newick prints the worked example: complete and extant tree") {
    const std::vector<std::string> names = {"root", "A"};
    GTree complete;
    GNode top = leaf(5, 0.0, 1.25);
    top.n_children = 2;
    top.children[0] = 1;
    top.children[1] = 2;
    GNode lost = leaf(6, 1.25, 2.0);
    lost.lost = true;
    GNode kept = leaf(7, 1.25, 3.0);
    kept.species = 1;
    complete.nodes = {top, lost, kept};
    complete.root = 0;
    std::string out;
    to_newick(complete, names, out);
    CHECK_EQ(out, std::string("(LOSS_6:0.75,A_7:1.75)5:1.25"));

    GTree extant;
    GNode only = kept;
    only.start = 0.0;
    extant.nodes = {only};
    extant.root = 0;
    out.clear();
    to_newick(extant, names, out);
    CHECK_EQ(out, std::string("A_7:3"));
}

TEST_CASE("to_newick: node kinds, lengths that are negative or undefined, appending") {
    const std::vector<std::string> names = {"x y", "B(1)"};
    GTree t;
    GNode top = leaf(18446744073709551615ULL, 2.0, 1.0);  // ends before it starts
    top.n_children = 2;
    top.children[0] = 1;
    top.children[1] = 2;
    top.lost = true;  // a split never prints LOSS_
    GNode plain = leaf(3, 0.0, std::nan(""));
    GNode named = leaf(4, 1.0, 1.0 + 1e-7);
    named.species = 1;
    t.nodes = {top, plain, named};
    t.root = 0;
    std::string out = "keep:";
    to_newick(t, names, out);
    // A name with Newick punctuation is quoted with the id inside the quotes.
    CHECK_EQ(out, std::string("keep:(3:0,'B(1)_4':0.0000001)18446744073709551615:0"));

    GTree empty;
    out.clear();
    to_newick(empty, names, out);
    CHECK_EQ(out, std::string());
}

TEST_CASE("to_newick: leaf labels quoted exactly when the name would read as structure") {
    // Every character Newick gives a meaning, whitespace, and doubled inner quotes.
    const std::vector<std::string> names = {"t:u", "a b", "it's", "x,y", "p;q", "[c]", "v\fw", "plain.name-1", "",
                                            "\xc3\xa9t\xc3\xa9"};
    const std::vector<std::string> labels = {"'t:u_9'", "'a b_9'", "'it''s_9'", "'x,y_9'", "'p;q_9'", "'[c]_9'",
                                             "'v\fw_9'", "plain.name-1_9", "_9", "\xc3\xa9t\xc3\xa9_9"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        GTree t;
        GNode only = leaf(9, 0.0, 2.5);
        only.species = i;
        t.nodes = {only};
        t.root = 0;
        std::string out;
        to_newick(t, names, out);
        CHECK_EQ(out, labels[i] + ":2.5");
    }
}
