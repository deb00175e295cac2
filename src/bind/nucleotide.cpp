// simulate_nucleotide.
#include "bind/functions.h"
#include "bind/sim_args.h"
#include "py/guard.h"

namespace vornix::bind {

namespace {

const py::Signature kNucleotideSignature{
    "simulate_nucleotide",
    {"n_nodes", "parent", "time", "extant_leaf", "root", "inversion", "loss", "duplication", "transfer",
     "transposition", "origination", "root_length", "extension", "initial_size", "seed", "replacement",
     "distance_decay", "allow_self"}};

}  // namespace

PyObject* simulate_nucleotide(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kNucleotideSignature, args, nargs, kwnames);
        SpeciesTree tree = read_species_tree(a);
        const double inversion = a.f64(), loss = a.f64(), duplication = a.f64(), transfer = a.f64(),
                     transposition = a.f64(), origination = a.f64();
        const std::int64_t root_length = a.i64();
        const double extension = a.f64();
        const std::uint64_t initial_size = a.u64();
        const std::uint64_t seed = a.u64();
        const TransferMode mode = read_transfer_mode(a);
        require_tree(tree, Speciation::AllChildren);
        require_rates({{"inversion", inversion}, {"loss", loss}, {"duplication", duplication}, {"transfer", transfer},
                       {"transposition", transposition}, {"origination", origination}});
        (void)root_length, (void)extension, (void)initial_size, (void)seed, (void)mode;
        not_built(kNucleotideSignature.name);
    });
}

}  // namespace vornix::bind
