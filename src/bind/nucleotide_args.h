// The arguments of the nucleotide simulation, shared by vornix_core's
// simulate_nucleotide and the private module's simulate_genomes.
#pragma once

#include "bind/sim_args.h"
#include "engines/nucleotide/engine.h"

namespace vornix::bind {

// The parameter list read_nucleotide_call reads, under the function's name.
inline py::Signature nucleotide_signature(const char* function) {
    return {function,
            {"n_nodes", "parent", "time", "extant_leaf", "root", "inversion", "loss", "duplication", "transfer",
             "transposition", "origination", "root_length", "extension", "initial_size", "seed", "replacement",
             "distance_decay", "allow_self"}};
}

struct NucleotideCall {
    SpeciesTree tree;
    nucleotide::NucleotideParams params;
};

// n_nodes, parent, time, extant_leaf, root, inversion, loss, duplication,
// transfer, transposition, origination, root_length, extension,
// initial_size, seed, then the transfer mode; the tree and the rates are
// checked once all are read (the engine refuses an unusable root_length).
inline NucleotideCall read_nucleotide_call(py::Args& a) {
    NucleotideCall c;
    c.tree = read_species_tree(a);
    nucleotide::NucleotideParams& p = c.params;
    p.inversion = a.f64();
    p.loss = a.f64();
    p.duplication = a.f64();
    p.transfer = a.f64();
    p.transposition = a.f64();
    p.origination = a.f64();
    p.root_length = a.i64();
    p.extension = a.f64();
    p.initial_size = a.u64();
    p.seed = a.u64();
    p.mode = read_transfer_mode(a);
    require_tree(c.tree, Speciation::AllChildren);
    require_rates({{"inversion", p.inversion}, {"loss", p.loss}, {"duplication", p.duplication},
                   {"transfer", p.transfer}, {"transposition", p.transposition}, {"origination", p.origination}});
    return c;
}

}  // namespace vornix::bind
