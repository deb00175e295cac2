// The Newick reader: branch lengths against the C library, node places,
// grammar edge cases, depth, interruption.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "front/branch_length.h"
#include "front/newick_reader.h"
#include "front/text_place.h"

using namespace vornix;
using namespace vornix::front;

namespace {

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

NewickForest read_ok(std::string_view text) {
    Interrupt never;
    Outcome<NewickForest> r = read_newick(text, never);
    if (!r.ok()) {
        check::fail(__FILE__, __LINE__, "unexpected error: " + r.error().message);
        return {};
    }
    return std::move(r.value());
}

std::string read_error(std::string_view text) {
    Interrupt never;
    Outcome<NewickForest> r = read_newick(text, never);
    if (r.ok()) return "(read)";
    CHECK(r.error().kind == ErrorKind::Value);
    return r.error().message;
}

// A random decimal spelling: sign, digits, point, exponent in any mix.
std::string random_decimal(std::mt19937_64& rng) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); };
    std::string s;
    if (pick(3) == 0) s += pick(2) ? "-" : "+";
    const int int_digits = pick(25), frac_digits = pick(25);
    for (int i = 0; i < int_digits; ++i) s += static_cast<char>('0' + pick(10));
    if (frac_digits > 0 || pick(2)) s += '.';
    for (int i = 0; i < frac_digits; ++i) s += static_cast<char>('0' + pick(10));
    if (int_digits + frac_digits == 0) s += '7';
    if (pick(2)) {
        s += pick(2) ? 'e' : 'E';
        if (pick(2)) s += pick(2) ? "-" : "+";
        s += std::to_string(pick(3) == 0 ? pick(700) : pick(40));
    }
    return s;
}

}  // namespace

TEST_CASE("branch lengths read as the C library's correctly rounded strtod") {
    std::mt19937_64 rng(7);
    int underflows = 0, overflows = 0;
    for (int i = 0; i < 200000; ++i) {
        const std::string s = random_decimal(rng);
        errno = 0;
        const double expected = std::strtod(s.c_str(), nullptr);
        double got = 0.0;
        const LengthStatus status = parse_branch_length(s, got);
        if (std::isinf(expected)) {
            ++overflows;
            CHECK(status == LengthStatus::NotFinite);
        } else {
            underflows += errno == ERANGE;
            CHECK(status == LengthStatus::Ok);
            if (bits(got) != bits(expected)) check::fail(__FILE__, __LINE__, "length " + s);
        }
    }
    CHECK(underflows > 100);
    CHECK(overflows > 100);
}

TEST_CASE("branch length spellings that are not finite decimal numbers") {
    const char* not_numbers[] = {"", "+", "-", ".", "e5", "1e", "1e+", "+-1", "--1", "1.2.3", "0x10", "1_000",
                                 "1,5", "abc", "1e5x", " 1", "١"};
    for (const char* s : not_numbers) {
        double v;
        if (parse_branch_length(s, v) != LengthStatus::NotANumber) check::fail(__FILE__, __LINE__, s);
    }
    const char* not_finite[] = {"inf", "-inf", "+inf", "nan", "NaN", "-nan", "infinity", "1e309", "-2e308"};
    for (const char* s : not_finite) {
        double v;
        if (parse_branch_length(s, v) != LengthStatus::NotFinite) check::fail(__FILE__, __LINE__, s);
    }
    double v = 1.0;
    CHECK(parse_branch_length("-1e-999", v) == LengthStatus::Ok && v == 0.0 && std::signbit(v));
    CHECK(parse_branch_length("0.000000000000000000000000000000000000e99999999999", v) == LengthStatus::Ok && v == 0.0);
}

TEST_CASE("text places count lines and characters") {
    const std::string text = "ab\xC3\xA9\xF0\x9D\x94\xB8x\n\n\tz";  // a b é 𝔸 x / / tab z
    TextLocator at(text);
    CHECK_EQ(at.at(0).column, 1);
    CHECK_EQ(at.at(2).column, 3);
    CHECK_EQ(at.at(8).column, 5);  // x after two multi-byte characters
    const TextPlace z = at.at(text.size() - 1);
    CHECK_EQ(z.line, 3);
    CHECK_EQ(z.column, 2);
}

TEST_CASE("the grammar's corners: quoting, comments, internal labels, root length, shapes, several trees") {
    const NewickForest f = read_ok(
        "\xEF\xBB\xBF[&R] ( 'it''s' [c] : 1.5 , (b_1)'x y':-0 , ((c,,d)) )root:2e0 ;\n"
        "\t'(';  a:1;[tail]\n");
    CHECK_EQ(f.n_trees(), 3u);
    CHECK(f.tree_offsets == (std::vector<std::int64_t>{0, 9, 10, 11}));
    CHECK(f.tree_line == (std::vector<std::int64_t>{1, 2, 2}));
    // root; it's; x y; b_1; (); (); c; ''; d; then '(' and a
    CHECK(std::vector<std::int32_t>(f.parent.begin(), f.parent.end()) == (std::vector<std::int32_t>{-1, 0, 0, 2, 0, 4, 5, 5, 5, -1, -1}));
    const char* labels[] = {"root", "it's", "x y", "b_1", "", "", "c", "", "d", "(", "a"};
    for (std::size_t i = 0; i < f.n_nodes(); ++i) CHECK_EQ(std::string(f.label(i)), std::string(labels[i]));
    CHECK_EQ(f.length[0], 2.0);
    CHECK_EQ(f.length[1], 1.5);
    CHECK(f.length[2] == 0.0 && std::signbit(f.length[2]));
    for (std::size_t i : {3, 4, 5, 6, 7, 8, 9}) CHECK(std::isnan(f.length[i]));
    CHECK_EQ(f.length[10], 1.0);
    // Leaves at their label (the empty leaf where it stands), internal nodes
    // at their ')'; the byte-order mark takes no column.
    const std::int64_t columns[] = {53, 8, 32, 29, 51, 50, 46, 48, 49, 2, 8};
    for (std::size_t i = 0; i < f.n_nodes(); ++i) CHECK_EQ(f.column[i], columns[i]);
    CHECK_EQ(f.line[10], 2);
}

TEST_CASE("error places count characters, past a byte-order mark; long tokens are cut") {
    CHECK_EQ(read_error("\xEF\xBB\xBF(\xC3\xA9\x7F);"), "line 1, column 3: expected ',' or ')', found character U+007F");
    CHECK_EQ(read_error(std::string("(a,\0b);", 7)), "line 1, column 4: expected ',' or ')', found character U+0000");
    CHECK_EQ(read_error("(a,b);\xF0\x9D\x94\xB8("), "line 1, column 8: expected ';' to end the tree, found '('");
    CHECK_EQ(read_error("(a:" + std::string(100, '9') + "x);"),
             "line 1, column 4: expected a number as branch length, found '" + std::string(40, '9') + "...'");
}

TEST_CASE("depth costs no stack: 1,000,000 nested parentheses") {
    const std::size_t depth = 1'000'000;
    const std::string text = std::string(depth, '(') + "x" + std::string(depth, ')') + ";";
    const NewickForest f = read_ok(text);
    CHECK_EQ(f.n_nodes(), depth + 1);
    CHECK_EQ(f.parent[depth], static_cast<std::int32_t>(depth - 1));
    CHECK_EQ(f.column[0], static_cast<std::int64_t>(2 * depth + 1));
    CHECK_EQ(read_error(std::string(depth, '(') + "x;"),
             "line 1, column 1000002: expected ')' to close the '(' at line 1, column 1000000, found ';'");
}

TEST_CASE("the interrupt poll stops a long read") {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "((a,b),(c,d));\n";
    int polls = 0;
    Interrupt stop_at_third(
        [](void* count) { return ++*static_cast<int*>(count) >= 3; }, &polls);
    Outcome<NewickForest> r = read_newick(text, stop_at_third);
    CHECK(!r.ok() && r.error().kind == ErrorKind::Interrupted);
    CHECK_EQ(polls, 3);
    int calm = 0;
    Interrupt never_stops([](void* count) { return ++*static_cast<int*>(count) < 0; }, &calm);
    CHECK(read_newick(text, never_stops).ok());
    CHECK(calm > 10);
}
