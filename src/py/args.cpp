#include "py/args.h"

#include <cstring>

namespace vornix::py {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": CPython's list of missing names.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

}  // namespace

Args::Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    : sig_(sig), slots_(sig.params.size(), nullptr) {
    const std::size_t n_params = sig.params.size();
    if (static_cast<std::size_t>(nargs) > n_params) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given", sig.name, n_params,
                     nargs);
        throw Error{};
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots_[i] = args[i];

    const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const char* key_text = PyUnicode_AsUTF8(key);
        if (key_text == nullptr) throw Error{};
        std::size_t slot = n_params;
        for (std::size_t p = 0; p < n_params; ++p) {
            if (std::strcmp(sig.params[p], key_text) == 0) {
                slot = p;
                break;
            }
        }
        if (slot == n_params) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", sig.name, key_text);
            throw Error{};
        }
        if (slots_[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, key_text);
            throw Error{};
        }
        slots_[slot] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (std::size_t p = 0; p < n_params; ++p) {
        if (slots_[p] == nullptr) missing.push_back(sig.params[p]);
    }
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.name, missing.size(),
                     missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
        throw Error{};
    }
}

void Args::note_parameter(const char* name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    const std::string note = std::string("while processing '") + name + "'";
    PyObject* r = PyObject_CallMethod(value, "add_note", "s", note.c_str());
    if (r == nullptr) {
        PyErr_Clear();  // keep the original error even if the note cannot be added
    } else {
        Py_DECREF(r);
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace vornix::py
