// A buffer a Python object exports (bytes, bytearray, a NumPy array), held
// while native code reads it and released when the holder goes out of scope.
#pragma once

#include "py/ref.h"

namespace vornix::py {

class HeldBuffer {
public:
    HeldBuffer() = default;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;

    // Asks `o` for its buffer with PyObject_GetBuffer's `flags`; false, with
    // the Python exception set, when it refuses. Call once per holder.
    bool get(PyObject* o, int flags) {
        held_ = PyObject_GetBuffer(o, &view_, flags) == 0;
        return held_;
    }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace vornix::py
