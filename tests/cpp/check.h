// A minimal unit-test harness: TEST_CASE registers a function, CHECK and
// CHECK_EQ record failures without stopping the case, and main() (in
// check_main.cpp) runs every case and reports "N passed, N failed".
#pragma once

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Register {
    Register(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

inline void fail(const char* file, int line, const std::string& what) {
    ++failures();
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
}

template <class A, class B>
void check_eq(const A& a, const B& b, const char* expr, const char* file, int line) {
    if (a == b) return;
    std::ostringstream os;
    os.precision(17);
    os << expr << " (" << a << " vs " << b << ")";
    fail(file, line, os.str());
}

}  // namespace check

#define CHECK_CAT2(a, b) a##b
#define CHECK_CAT(a, b) CHECK_CAT2(a, b)
#define TEST_CASE(name)                                                                    \
    static void CHECK_CAT(check_case_, __LINE__)();                                        \
    static check::Register CHECK_CAT(check_reg_, __LINE__)(name, CHECK_CAT(check_case_, __LINE__)); \
    static void CHECK_CAT(check_case_, __LINE__)()
#define CHECK(cond) \
    do { if (!(cond)) check::fail(__FILE__, __LINE__, #cond); } while (0)
#define CHECK_EQ(a, b) check::check_eq((a), (b), #a " == " #b, __FILE__, __LINE__)
