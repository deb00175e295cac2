// The extension module: multi-phase initialisation and the function table.
#include "bind/functions.h"
#include "docstrings.h"
#include "py/method.h"

namespace {

PyObject* available(PyObject*, PyObject*) { Py_RETURN_TRUE; }

#define VORNIX_FAST(name) \
    { #name, vornix::py::as_method(vornix::bind::name), vornix::py::kFastcall, vornix::docs::name }

// Registration order is part of the module's observable shape.
PyMethodDef kFunctions[] = {
    {"available", available, METH_NOARGS, vornix::docs::available},
    VORNIX_FAST(simulate_profiles),
    VORNIX_FAST(simulate_profiles_parallel),
    VORNIX_FAST(simulate_log),
    VORNIX_FAST(simulate_trace),
    VORNIX_FAST(simulate_and_write),
    VORNIX_FAST(simulate_nucleotide),
    VORNIX_FAST(dated_joint_loglik),
    VORNIX_FAST(undated_joint_loglik),
    VORNIX_FAST(dated_family_loglik),
    VORNIX_FAST(undated_family_loglik),
};

#undef VORNIX_FAST

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "vornix_core must be initialised as a module object");
        return -1;
    }
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return -1;
    for (PyMethodDef& def : kFunctions) {
        PyObject* fn = PyCFunction_NewEx(&def, module, module_name);
        if (fn == nullptr || PyModule_AddObjectRef(module, def.ml_name, fn) < 0) {
            Py_XDECREF(fn);
            Py_DECREF(module_name);
            return -1;
        }
        Py_DECREF(fn);
    }
    Py_DECREF(module_name);
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "vornix_core",
    nullptr,
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vornix_core() { return PyModuleDef_Init(&kModule); }
