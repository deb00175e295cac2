// Building Python results from native arrays: each column goes straight into
// its Python object in one pass.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "model/profile_coo.h"
#include "py/ref.h"

namespace vornix::py {

inline Ref new_int(std::uint64_t v) { return Ref::steal(PyLong_FromUnsignedLongLong(v)); }
inline Ref new_int(std::int64_t v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref new_float(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
inline Ref new_str(const std::string& s) { return Ref::steal(PyUnicode_FromStringAndSize(s.data(), s.size())); }
inline Ref new_bytes(const void* data, std::size_t size) {
    return Ref::steal(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

// A tuple that takes ownership of the given references.
template <class... R>
Ref tuple(R&&... items) {
    Ref t = Ref::steal(PyTuple_New(sizeof...(items)));
    Py_ssize_t i = 0;
    (PyTuple_SET_ITEM(t.get(), i++, items.release()), ...);
    return t;
}

// A tuple of numbers (ints, floats): it can never be part of a reference
// cycle, so it is left out of the collector's lists at once instead of being
// walked by every collection that a run of such allocations triggers (the
// collector would untrack it itself at its first pass).
template <class... R>
Ref number_tuple(R&&... items) {
    Ref t = tuple(std::forward<R>(items)...);
    PyObject_GC_UnTrack(t.get());
    return t;
}

// A list of n items, item i made by make(i) (a Ref).
template <class Make>
Ref list_of(std::size_t n, Make&& make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make(i).release());
    return list;
}

inline Ref list_f64(std::span<const double> values) {
    return list_of(values.size(), [&](std::size_t i) { return new_float(values[i]); });
}

// Shares one int object per value for values in [-1, limit), so that long
// columns of node numbers, family numbers or -1 do not allocate an object per
// entry. Larger values get their own object.
class IntPool {
public:
    explicit IntPool(std::size_t limit) : limit_(limit) {}
    ~IntPool() {
        for (PyObject* o : cache_) Py_XDECREF(o);
    }
    IntPool(const IntPool&) = delete;
    IntPool& operator=(const IntPool&) = delete;

    Ref get(std::int64_t v) {
        if (v < -1 || static_cast<std::uint64_t>(v + 1) > limit_) return new_int(v);
        return cached(static_cast<std::size_t>(v + 1), [&] { return new_int(v); });
    }
    Ref get(std::uint64_t v) {
        if (v + 1 > limit_ || v + 1 == 0) return new_int(v);
        return cached(static_cast<std::size_t>(v + 1), [&] { return new_int(v); });
    }

private:
    template <class Make>
    Ref cached(std::size_t slot, Make&& make) {
        if (slot >= cache_.size()) cache_.resize(slot + 1, nullptr);
        if (cache_[slot] == nullptr) cache_[slot] = make().release();
        return Ref::borrow(cache_[slot]);
    }

    std::size_t limit_;
    std::vector<PyObject*> cache_;
};

// Packed little-endian integers as one bytes object.
template <class T>
Ref packed_le(std::span<const T> values) {
    if constexpr (std::endian::native == std::endian::little) {
        return new_bytes(values.data(), values.size_bytes());
    } else {
        std::vector<unsigned char> buf(values.size_bytes());
        for (std::size_t i = 0; i < values.size(); ++i) {
            T v = values[i];
            for (std::size_t b = 0; b < sizeof(T); ++b) buf[i * sizeof(T) + b] = static_cast<unsigned char>(v >> (8 * b));
        }
        return new_bytes(buf.data(), buf.size());
    }
}

// The sparse profile as the 4-tuple of bytes (leaves, rows, cols, vals).
inline Ref coo_tuple(const vornix::ProfileCooBuf& coo) {
    return tuple(packed_le<std::uint32_t>(coo.leaves), packed_le<std::uint32_t>(coo.rows),
                 packed_le<std::uint64_t>(coo.cols), packed_le<std::uint32_t>(coo.vals));
}

}  // namespace vornix::py
