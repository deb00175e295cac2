#include "py/guard.h"

namespace py {

void raise_engine_error(const vornix::EngineError& error) {
    using vornix::ErrorKind;
    switch (error.kind) {
        case ErrorKind::Memory:
            PyErr_NoMemory();
            throw Error{};
        case ErrorKind::Value:
            raise(PyExc_ValueError, error.message.c_str());
        case ErrorKind::Os:
            raise(PyExc_OSError, error.message.c_str());
        case ErrorKind::Runtime:
            break;
    }
    raise(PyExc_RuntimeError, error.message.c_str());
}

}  // namespace py
