// The private module's Python-visible functions.
#pragma once

#include "py/ref.h"

namespace vornix::native {

PyObject* version(PyObject*, PyObject*);
PyObject* read_newick(PyObject*, PyObject* args, PyObject* kwargs);

// The simulators' species-tree check: None for a usable tree, else the
// message naming the node and the problem.
PyObject* check_species_tree(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Gene-tree layout conversion and rootings (gene_rooting.cpp).
PyObject* gene_forest_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* gene_rootings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* gene_rerooted(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vornix::native
