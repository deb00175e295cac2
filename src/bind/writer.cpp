// simulate_and_write.
#include "bind/functions.h"
#include "bind/sim_args.h"
#include "py/guard.h"
#include "py/interrupt.h"
#include "py/result.h"
#include "writer/simulate_write.h"

namespace vornix::bind {

using namespace writer;

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
        const std::vector<std::string> names = a.vec_str();
        const event_log::LogParams p = read_family_params(a);
        const double total_age = a.f64();
        const std::string outdir = a.str();
        require_tree(tree, Speciation::FirstTwo);
        require_family_rates(p);
        require_names(names, tree.n_nodes);
        const WriteCounts counts =
            py::unwrap(writer::simulate_and_write(tree, p, names, total_age, outdir, py::interrupt()));
        return py::tuple(py::new_int(counts.families), py::new_int(counts.records), py::new_int(counts.extant_leaves));
    });
}

}  // namespace vornix::bind
