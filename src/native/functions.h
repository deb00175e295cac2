// The private module's Python-visible functions.
#pragma once

#include "py/ref.h"

namespace vornix::native {

PyObject* version(PyObject*, PyObject*);
PyObject* read_newick(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace vornix::native
