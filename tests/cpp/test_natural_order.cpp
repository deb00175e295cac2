// Natural order of species names.
#include <string>
#include <vector>

#include "check.h"
#include "writer/natural_order.h"

using namespace vornix;
using namespace vornix::writer;

namespace {

std::vector<std::string> ordered(std::vector<std::string> names) {
    std::vector<std::uint64_t> leaves;
    for (std::uint64_t i = 0; i < names.size(); ++i) leaves.push_back(i);
    std::vector<std::string> out;
    for (const auto leaf : sort_leaves_naturally(leaves, names)) out.push_back(names[leaf]);
    return out;
}

bool same(const std::vector<std::string>& a, const std::vector<std::string>& b) { return a == b; }

}  // namespace

TEST_CASE("natkey joins every ASCII digit run into one number") {
    CHECK(natkey("leaf_3_2").number == 32);
    CHECK(natkey("sp1_10").number == 110);
    CHECK(natkey("sp2_1").number == 21);
    CHECK(natkey("sp007").number == 7);
    CHECK(natkey("").number == 0);
    CHECK(natkey("abc").number == 0);
    CHECK(natkey("-5").number == 5);                    // signs are not digits
    CHECK(natkey("x\xd9\xa3y4").number == 4);           // an Arabic-Indic digit is skipped
    CHECK(natkey("\xef\xbc\x97" "9").number == 9);      // so is a full-width seven
    CHECK(natkey("s10").name == "s10");
}

TEST_CASE("natkey: numbers above the signed 128-bit maximum become 0") {
    const std::string max = "170141183460469231731687303715884105727";  // 2^127 - 1
    CHECK(natkey("n" + max).number == ((static_cast<unsigned __int128>(1) << 127) - 1));
    CHECK(natkey("n170141183460469231731687303715884105728").number == 0);
    CHECK(natkey(std::string(40, '9')).number == 0);
    CHECK(natkey("1" + std::string(45, '0')).number == 0);
    CHECK(natkey("00" + max).number > 0);  // leading zeros do not count
}

TEST_CASE("leaf ordering: by number, then bytewise, stable for equal names") {
    CHECK(same(ordered({"s10", "s2", "b", "s1", "a"}), {"a", "b", "s1", "s2", "s10"}));
    CHECK(same(ordered({"sp1_10", "sp2_1"}), {"sp2_1", "sp1_10"}));
    CHECK(same(ordered({"b1", "a01"}), {"a01", "b1"}));
    CHECK(same(ordered({"x", "", "ab", "a"}), {"", "a", "ab", "x"}));
    CHECK(same(ordered({"z" + std::string(40, '7'), "a", "q1"}), {"a", "z" + std::string(40, '7'), "q1"}));
    CHECK(same(ordered({"\xc3\xa9", "z", "Z"}), {"Z", "z", "\xc3\xa9"}));  // bytes, not letters

    const std::vector<std::string> names = {"dup", "a", "dup", "dup"};
    const std::vector<std::uint64_t> leaves = {3, 0, 1, 2};
    const auto sorted = sort_leaves_naturally(leaves, names);
    CHECK(sorted == (std::vector<std::uint64_t>{1, 3, 0, 2}));
}
