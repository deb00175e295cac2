#include "writer/output_checks.h"

#include <cmath>
#include <cstdio>
#include <string_view>
#include <unordered_map>

namespace vornix::writer {

namespace {

std::string number(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", x);
    return text;
}

}  // namespace

std::optional<EngineError> check_output_request(const SpeciesTree& tree, std::span<const std::string> names,
                                                double total_age) {
    const std::uint64_t n = tree.n_nodes;
    for (std::uint64_t v = 0; v < n; ++v) {
        if (names[v].find_first_of("\t\n\r") != std::string::npos) {
            return value_error("names[" + std::to_string(v) +
                               "] contains a tab, newline or carriage return, which would break the output tables");
        }
    }
    std::unordered_map<std::string_view, std::uint64_t> extant_names;
    double latest = tree.time[tree.root];
    for (std::uint64_t v = 0; v < n; ++v) {
        const bool in_tree = v == tree.root || tree.parent[v] >= 0;
        if (!in_tree) continue;
        if (tree.time[v] > latest) latest = tree.time[v];
        if (!tree.extant_leaf[v]) continue;
        const auto [it, fresh] = extant_names.emplace(names[v], v);
        if (!fresh) {
            return value_error("names: extant leaves " + std::to_string(it->second) + " and " + std::to_string(v) +
                               " share the name '" + names[v] + "'; each extant leaf needs its own name");
        }
    }
    if (!std::isfinite(total_age) || total_age < latest) {
        return value_error("total_age must be a finite time no earlier than the latest node time (" + number(latest) +
                           "), got " + number(total_age));
    }
    return std::nullopt;
}

}  // namespace vornix::writer
