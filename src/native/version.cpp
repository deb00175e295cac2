#include "native/functions.h"

namespace vornix::native {

// Bumped whenever a function of the private module changes its arguments or
// results, so the Python package can tell a stale build.
PyObject* version(PyObject*, PyObject*) { return PyLong_FromLong(1); }

}  // namespace vornix::native
