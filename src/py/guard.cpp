#include "py/guard.h"

namespace vornix::py {

void raise_engine_error(const vornix::EngineError& error) {
    using vornix::ErrorKind;
    switch (error.kind) {
        case ErrorKind::Memory:
            if (error.message.empty()) {
                PyErr_NoMemory();
                throw Error{};
            }
            raise(PyExc_MemoryError, error.message.c_str());
        case ErrorKind::Value:
            raise(PyExc_ValueError, error.message.c_str());
        case ErrorKind::Os:
            raise(PyExc_OSError, error.message.c_str());
        case ErrorKind::Interrupted:
            // The poll left the signal handler's exception pending.
            if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
            throw Error{};
        case ErrorKind::Runtime:
            break;
    }
    raise(PyExc_RuntimeError, error.message.c_str());
}

}  // namespace vornix::py
