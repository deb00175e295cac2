// The species-tree check the simulators apply, offered to the Python
// SpeciesTree so that a tree is refused when it is made, not when it is first
// simulated on.
#include "bind/sim_args.h"
#include "native/functions.h"
#include "py/guard.h"
#include "py/result.h"

namespace vornix::native {

namespace {

const py::Signature kCheckSignature{"check_species_tree", {"n_nodes", "parent", "time", "extant_leaf", "root"}};

}  // namespace

PyObject* check_species_tree(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard([&]() -> py::Ref {
        py::Args a(kCheckSignature, args, nargs, kwnames);
        const SpeciesTree tree = bind::read_species_tree(a);
        const std::string message = vornix::check_species_tree(tree, Speciation::FirstTwo);
        if (message.empty()) return py::Ref::borrow(Py_None);
        return py::new_str(message);
    });
}

}  // namespace vornix::native
