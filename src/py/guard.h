// Every Python-visible function runs its body inside guard(): whatever goes
// wrong in native code becomes a Python exception, never a crash.
#pragma once

#include <new>
#include <stdexcept>

#include "model/outcome.h"
#include "py/ref.h"

namespace vornix::py {

// Raises the Python exception that corresponds to an engine failure.
[[noreturn]] void raise_engine_error(const vornix::EngineError& error);

// The value of a successful engine outcome, or the matching Python exception.
template <class T>
T unwrap(vornix::Outcome<T>&& outcome) {
    if (!outcome.ok()) raise_engine_error(outcome.error());
    return std::move(outcome.value());
}

template <class Body>
PyObject* guard(Body&& body) noexcept {
    try {
        return body().release();
    } catch (const Error&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected native failure");
        return nullptr;
    }
}

}  // namespace vornix::py
