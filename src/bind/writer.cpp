// simulate_and_write.
#include "bind/functions.h"
#include "bind/sim_args.h"
#include "py/guard.h"

namespace vornix::bind {

namespace {

const py::Signature kWriteSignature{
    "simulate_and_write",
    {"n_nodes", "parent", "time", "extant_leaf", "root", "names", "duplication", "transfer", "loss", "origination",
     "initial_size", "cap", "seed", "replacement", "distance_decay", "allow_self", "total_age", "outdir"}};

}  // namespace

PyObject* simulate_and_write(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kWriteSignature, args, nargs, kwnames);
        SpeciesTree tree = read_species_tree(a);
        std::vector<std::string> names = a.vec_str();
        const double duplication = a.f64(), transfer = a.f64(), loss = a.f64(), origination = a.f64();
        const std::uint64_t initial_size = a.u64();
        const std::int64_t cap = a.i64();
        const std::uint64_t seed = a.u64();
        const TransferMode mode = read_transfer_mode(a);
        const double total_age = a.f64();
        const std::string outdir = a.str();
        require_tree(tree, Speciation::FirstTwo);
        require_rates(
            {{"duplication", duplication}, {"transfer", transfer}, {"loss", loss}, {"origination", origination}});
        (void)names, (void)initial_size, (void)cap, (void)seed, (void)mode, (void)total_age, (void)outdir;
        not_built(kWriteSignature.name);
    });
}

}  // namespace vornix::bind
