// simulate_log and simulate_trace.
#include "bind/functions.h"
#include "bind/sim_args.h"
#include "py/guard.h"

namespace vornix::bind {

namespace {

const py::Signature kLogSignature{"simulate_log",
                                  {"n_nodes", "parent", "time", "extant_leaf", "root", "duplication", "transfer",
                                   "loss", "origination", "initial_size", "cap", "seed", "replacement",
                                   "distance_decay", "allow_self"}};
const py::Signature kTraceSignature{"simulate_trace", kLogSignature.params};

py::Ref run(const py::Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args a(sig, args, nargs, kwnames);
    SpeciesTree tree = read_species_tree(a);
    const double duplication = a.f64(), transfer = a.f64(), loss = a.f64(), origination = a.f64();
    const std::uint64_t initial_size = a.u64();
    const std::int64_t cap = a.i64();
    const std::uint64_t seed = a.u64();
    const TransferMode mode = read_transfer_mode(a);
    require_tree(tree, Speciation::FirstTwo);
    require_rates({{"duplication", duplication}, {"transfer", transfer}, {"loss", loss}, {"origination", origination}});
    (void)initial_size, (void)cap, (void)seed, (void)mode;
    not_built(sig.name);
}

}  // namespace

PyObject* simulate_log(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] { return run(kLogSignature, args, nargs, kwnames); });
}

PyObject* simulate_trace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&] { return run(kTraceSignature, args, nargs, kwnames); });
}

}  // namespace vornix::bind
