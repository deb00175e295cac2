// Columns handed between the private module and the Python package as
// buffers numpy views without copying: bytes out, any C-contiguous buffer of
// the right element size in.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "py/buffer.h"
#include "py/ref.h"
#include "py/result.h"

namespace vornix::native {

// A copy of a C-contiguous buffer of T (bytes, or a numpy array of T's size),
// as a std::vector or another array of T with resize() and data().
template <class T, class Out = std::vector<T>>
Out packed_column(PyObject* o) {
    py::HeldBuffer held;
    if (!held.get(o, PyBUF_C_CONTIGUOUS)) throw py::Error{};
    const Py_buffer& view = held.view();
    if (view.len % static_cast<Py_ssize_t>(sizeof(T)) != 0 ||
        (view.itemsize != 1 && view.itemsize != static_cast<Py_ssize_t>(sizeof(T)))) {
        PyErr_Format(PyExc_ValueError, "expected a buffer of %zu-byte items, got %zd bytes of %zd-byte items",
                     sizeof(T), view.len, view.itemsize);
        throw py::Error{};
    }
    Out out;
    out.resize(static_cast<std::size_t>(view.len) / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), view.buf, static_cast<std::size_t>(view.len));
    return out;
}

// The column (a std::vector or a Column) as one bytes object; its memory is
// released once copied.
template <class C>
py::Ref column_bytes(C& column) {
    using T = typename C::value_type;
    py::Ref out = py::packed_le<T>(std::span<const T>(column.data(), column.size()));
    C().swap(column);
    return out;
}

inline py::Ref string_bytes(std::string& text) {
    py::Ref out = py::new_bytes(text.data(), text.size());
    std::string().swap(text);
    return out;
}

}  // namespace vornix::native
