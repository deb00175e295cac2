// Reads the five species-tree arrays from a shared benchmark input (a JSON
// object with the keys n_nodes, parent, time, extant_leaf, root). Only the
// shapes those files use are understood: numbers, true/false, flat arrays.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/species_tree.h"

namespace bench {

inline std::size_t value_start(const std::string& text, const std::string& key) {
    const std::size_t at = text.find("\"" + key + "\"");
    if (at == std::string::npos) throw std::runtime_error("missing key " + key);
    return text.find(':', at) + 1;
}

// The numbers (true = 1, false = 0) of the flat array stored under `key`.
inline std::vector<double> array_of(const std::string& text, const std::string& key) {
    std::size_t p = text.find('[', value_start(text, key)) + 1;
    const std::size_t end = text.find(']', p);
    std::vector<double> out;
    while (p < end) {
        while (p < end && (text[p] == ' ' || text[p] == ',' || text[p] == '\n')) ++p;
        if (p >= end) break;
        if (text.compare(p, 4, "true") == 0) {
            out.push_back(1.0);
            p += 4;
        } else if (text.compare(p, 5, "false") == 0) {
            out.push_back(0.0);
            p += 5;
        } else {
            char* stop = nullptr;
            out.push_back(std::strtod(text.c_str() + p, &stop));
            p = static_cast<std::size_t>(stop - text.c_str());
        }
    }
    return out;
}

inline vornix::SpeciesTree read_tree(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::stringstream buf;
    buf << in.rdbuf();
    const std::string text = buf.str();
    vornix::SpeciesTree t;
    t.n_nodes = std::strtoull(text.c_str() + value_start(text, "n_nodes"), nullptr, 10);
    t.root = std::strtoull(text.c_str() + value_start(text, "root"), nullptr, 10);
    for (double p : array_of(text, "parent")) t.parent.push_back(static_cast<std::int64_t>(p));
    t.time = array_of(text, "time");
    for (double e : array_of(text, "extant_leaf")) t.extant_leaf.push_back(e != 0.0);
    return t;
}

}  // namespace bench
