// Owned references to Python objects and the convention for Python errors in
// binding code: a function that leaves a Python exception set throws
// py::Error, and the wrapper's guard turns it into a NULL return.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vornix::py {

// Thrown after a Python exception has been set.
struct Error {};

// Owns one strong reference (or none).
class Ref {
public:
    Ref() = default;
    // Takes ownership of a new reference; a NULL means a Python error is set.
    static Ref steal(PyObject* o) {
        if (o == nullptr) throw Error{};
        Ref r;
        r.p_ = o;
        return r;
    }
    static Ref borrow(PyObject* o) {
        Py_INCREF(o);
        return steal(o);
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Sets a Python exception and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw Error{};
}

}  // namespace vornix::py
