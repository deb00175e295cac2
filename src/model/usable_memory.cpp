#include "model/usable_memory.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace vornix {

namespace {

constexpr std::uint64_t kUnknown = std::numeric_limits<std::uint64_t>::max();

std::uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return kUnknown;
    const auto p = static_cast<std::uint64_t>(pages), s = static_cast<std::uint64_t>(page_size);
    return p > kUnknown / s ? kUnknown : p * s;
}

std::optional<std::uint64_t> read_limit(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return parse_memory_limit(text.str());
}

// The smallest limit in `file` of the group at `path` (below `mount`) and of
// every ancestor up to the mount point itself.
std::uint64_t smallest_limit_upwards(const std::string& mount, std::string path, const char* file) {
    std::uint64_t smallest = kUnknown;
    while (true) {
        if (auto limit = read_limit(mount + path + "/" + file)) smallest = std::min(smallest, *limit);
        if (path.empty() || path == "/") break;
        const std::size_t slash = path.rfind('/');
        path.resize(slash == std::string::npos ? 0 : slash);
    }
    return smallest;
}

// The limits of the groups named in /proc/self/cgroup: a version 2 line reads
// "0::/path", a version 1 memory line "N:...memory...:/path".
std::uint64_t control_group_limit() {
    std::uint64_t smallest = kUnknown;
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        if (path == "/") path.clear();
        if (controllers.empty()) {
            smallest = std::min(smallest, smallest_limit_upwards("/sys/fs/cgroup", path, "memory.max"));
        } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
            smallest = std::min(smallest, smallest_limit_upwards("/sys/fs/cgroup/memory", path,
                                                                 "memory.limit_in_bytes"));
        }
    }
    // Without /proc (or inside a namespace that hides the path) the mount
    // points still show the limit of the group the process sees as its root.
    for (const char* root : {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
        if (auto limit = read_limit(root)) smallest = std::min(smallest, *limit);
    }
    return smallest;
}

}  // namespace

std::optional<std::uint64_t> parse_memory_limit(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (kUnknown - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (value == 0) return std::nullopt;
    return value;
}

std::uint64_t usable_memory_bytes() {
    static const std::uint64_t bytes = std::min(physical_memory_bytes(), control_group_limit());
    return bytes;
}

}  // namespace vornix
