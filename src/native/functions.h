// The private module's Python-visible functions.
#pragma once

#include "py/ref.h"

namespace vornix::native {

PyObject* version(PyObject*, PyObject*);

}  // namespace vornix::native
