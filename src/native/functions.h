// The private module's Python-visible functions.
#pragma once

#include "py/ref.h"

namespace vornix::native {

PyObject* version(PyObject*, PyObject*);
PyObject* read_newick(PyObject*, PyObject* args, PyObject* kwargs);

// Gene-tree layout conversion and rootings (gene_rooting.cpp).
PyObject* gene_forest_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* gene_rootings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* gene_rerooted(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vornix::native
