#include <cstdio>

#include "check.h"

int main() {
    int passed = 0, failed = 0;
    for (const auto& c : check::registry()) {
        const int before = check::failures();
        c.body();
        if (check::failures() == before) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED: %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
