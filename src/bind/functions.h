// The module's Python-visible functions (vectorcall with keywords).
#pragma once

#include "py/ref.h"

namespace vornix::bind {

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyObject* simulate_log(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* simulate_trace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* simulate_profiles(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* simulate_profiles_parallel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* simulate_and_write(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* simulate_nucleotide(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dated_joint_loglik(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dated_family_loglik(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* undated_joint_loglik(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* undated_family_loglik(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vornix::bind
