// Argument groups shared by the simulation wrappers, read in parameter order
// and validated before any engine starts.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "model/family_params.h"
#include "model/rates.h"
#include "model/recipient.h"
#include "model/species_tree.h"
#include "py/args.h"

namespace vornix::bind {

// n_nodes, parent, time, extant_leaf, root.
inline SpeciesTree read_species_tree(py::Args& a) {
    SpeciesTree t;
    t.n_nodes = a.u64();
    t.parent = a.vec_i64();
    t.time = a.vec_f64();
    t.extant_leaf = a.vec_bool();
    t.root = a.u64();
    return t;
}

// replacement, distance_decay, allow_self.
inline TransferMode read_transfer_mode(py::Args& a) {
    TransferMode m;
    m.replacement = a.f64();
    m.distance_decay = a.f64();
    m.allow_self = a.boolean();
    return m;
}

// duplication, transfer, loss, origination, initial_size, cap, seed, then the
// transfer mode: the parameters every gene-family function takes after the
// species tree (and, for the writer, the names).
inline FamilyParams read_family_params(py::Args& a) {
    FamilyParams p;
    p.duplication = a.f64();
    p.transfer = a.f64();
    p.loss = a.f64();
    p.origination = a.f64();
    p.initial_size = a.u64();
    p.cap = a.i64();
    p.seed = a.u64();
    p.mode = read_transfer_mode(a);
    return p;
}

// Raises ValueError for the first unusable rate, in parameter order.
inline void require_rates(std::initializer_list<std::pair<const char*, double>> rates) {
    for (const auto& [name, value] : rates) {
        if (auto msg = check_rate(name, value); !msg.empty()) py::raise(PyExc_ValueError, msg.c_str());
    }
}

inline void require_family_rates(const FamilyParams& p) {
    require_rates({{"duplication", p.duplication}, {"transfer", p.transfer}, {"loss", p.loss},
                   {"origination", p.origination}});
    if (auto msg = check_rate_sum(p); !msg.empty()) py::raise(PyExc_ValueError, msg.c_str());
}

// Every node may be printed (as an event branch, a transfer end or an extant
// leaf), so every node needs a name; checked before anything runs.
inline void require_names(const std::vector<std::string>& names, std::uint64_t n_nodes) {
    if (names.size() >= n_nodes) return;
    const std::string msg =
        "names has " + std::to_string(names.size()) + " entries but n_nodes is " + std::to_string(n_nodes);
    py::raise(PyExc_ValueError, msg.c_str());
}

// Raises ValueError when the tree cannot be simulated on.
inline void require_tree(const SpeciesTree& tree, Speciation mode) {
    if (auto msg = check_species_tree(tree, mode); !msg.empty()) {
        py::raise(PyExc_ValueError, ("invalid species tree: " + msg).c_str());
    }
}

}  // namespace vornix::bind
