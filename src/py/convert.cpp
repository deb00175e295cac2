#include "py/convert.h"

#include <cstring>
#include <limits>
#include <type_traits>

#include "py/buffer.h"

namespace vornix::py {

namespace {

Ref index_of(PyObject* o) { return Ref::steal(PyNumber_Index(o)); }

[[noreturn]] void raise_type(const char* expected, PyObject* o) {
    PyErr_Format(PyExc_TypeError, "expected %s, got '%.200s'", expected, Py_TYPE(o)->tp_name);
    throw Error{};
}

bool is_numpy_bool(PyObject* o) {
    const char* name = Py_TYPE(o)->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

}  // namespace

std::uint64_t to_u64(PyObject* o) {
    Ref i = index_of(o);
    const unsigned long long v = PyLong_AsUnsignedLongLong(i.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw Error{};
    return v;
}

std::int64_t to_i64(PyObject* o) {
    if (PyLong_CheckExact(o)) {
        const long long v = PyLong_AsLongLong(o);
        if (v == -1 && PyErr_Occurred()) throw Error{};
        return v;
    }
    Ref i = index_of(o);
    const long long v = PyLong_AsLongLong(i.get());
    if (v == -1 && PyErr_Occurred()) throw Error{};
    return v;
}

std::uint8_t to_u8(PyObject* o) {
    Ref i = index_of(o);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw Error{};
    if (overflow != 0 || v < 0 || v > 255) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint8_t>(v);
}

double to_f64(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw Error{};
    return v;
}

bool to_bool(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    if (is_numpy_bool(o)) {
        const int truth = PyObject_IsTrue(o);
        if (truth < 0) throw Error{};
        return truth != 0;
    }
    raise_type("a bool (True, False or a NumPy boolean)", o);
}

std::string to_str(PyObject* o) {
    if (!PyUnicode_Check(o)) raise_type("str", o);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &size);
    if (data == nullptr) throw Error{};
    return std::string(data, static_cast<std::size_t>(size));
}

namespace {

// The sequence check: the sequence protocol, or registration as a
// collections.abc.Sequence. A str is refused outright.
void require_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (PySequence_Check(o)) return;
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    Ref seq_type = Ref::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
    const int registered = PyObject_IsInstance(o, seq_type.get());
    if (registered < 0) throw Error{};
    if (registered == 0) raise_type("a sequence", o);
}

// Fast path for one-dimensional contiguous buffers (NumPy arrays, array.array,
// bytes) whose element format converts exactly as each element would one by
// one. Returns false when the slow path must decide.
template <class T>
bool from_buffer(PyObject* o, std::vector<T>& out) {
    if (!PyObject_CheckBuffer(o)) return false;
    HeldBuffer held;
    if (!held.get(o, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) {
        PyErr_Clear();
        return false;
    }
    const Py_buffer& view = held.view();
    if (view.ndim != 1) return false;
    const char* fmt = view.format ? view.format : "B";
    if (*fmt == '<' || *fmt == '=' || *fmt == '@') ++fmt;
    if (std::strlen(fmt) != 1) return false;
    const char code = *fmt;
    const Py_ssize_t n = view.shape ? view.shape[0] : view.len / view.itemsize;

    auto copy_as = [&](auto tag, auto&& accept) -> bool {
        using Src = decltype(tag);
        if (view.itemsize != static_cast<Py_ssize_t>(sizeof(Src))) return false;
        // Exported buffers need not be aligned (an array unpickled from a
        // message frame, a memoryview slice): read each element by copy.
        const auto* src = static_cast<const char*>(view.buf);
        out.resize(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Src value;
            std::memcpy(&value, src + i * static_cast<Py_ssize_t>(sizeof(Src)), sizeof(Src));
            if (!accept(value, out[i])) return false;
        }
        return true;
    };
    auto dispatch = [&](auto&& accept) -> bool {
        switch (code) {
            case 'b': return copy_as(static_cast<signed char>(0), accept);
            case 'B': return copy_as(static_cast<unsigned char>(0), accept);
            case 'h': return copy_as(static_cast<short>(0), accept);
            case 'H': return copy_as(static_cast<unsigned short>(0), accept);
            case 'i': return copy_as(0, accept);
            case 'I': return copy_as(0u, accept);
            case 'l': return copy_as(0l, accept);
            case 'L': return copy_as(0ul, accept);
            case 'q': return copy_as(0ll, accept);
            case 'Q': return copy_as(0ull, accept);
            default: return false;
        }
    };
    if constexpr (std::is_same_v<T, double>) {
        if (code == 'd') return copy_as(0.0, [](double s, double& d) { d = s; return true; });
        if (code == 'f') return copy_as(0.0f, [](float s, double& d) { d = s; return true; });
        return dispatch([](auto s, double& d) { d = static_cast<double>(s); return true; });
    } else if constexpr (std::is_same_v<T, std::uint8_t>) {
        if (code != '?') return false;
        return copy_as(false, [](bool s, std::uint8_t& d) { d = s ? 1 : 0; return true; });
    } else {
        // Integers: out-of-range values take the slow path, which raises.
        return dispatch([](auto s, T& d) {
            if (!std::in_range<T>(s)) return false;
            d = static_cast<T>(s);
            return true;
        });
    }
}

template <class T, class Convert>
std::vector<T> to_vec(PyObject* o, Convert convert) {
    require_sequence(o);
    std::vector<T> out;
    if constexpr (!std::is_same_v<T, std::string>) {
        if (!PyList_Check(o) && !PyTuple_Check(o) && from_buffer(o, out)) return out;
        out.clear();
    }
    if (PyList_Check(o) || PyTuple_Check(o)) {
        Ref fast = Ref::borrow(o);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
        out.reserve(static_cast<std::size_t>(n));
        // A list can be resized by an element's __index__, so re-read the size.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(fast.get(), i);
            Ref hold = Ref::borrow(item);
            out.push_back(convert(hold.get()));
        }
        return out;
    }
    Ref it = Ref::steal(PyObject_GetIter(o));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref item = Ref::steal(raw);
        out.push_back(convert(item.get()));
    }
    if (PyErr_Occurred()) throw Error{};
    return out;
}

}  // namespace

std::vector<std::uint64_t> to_vec_u64(PyObject* o) { return to_vec<std::uint64_t>(o, to_u64); }
std::vector<std::int64_t> to_vec_i64(PyObject* o) { return to_vec<std::int64_t>(o, to_i64); }
std::vector<double> to_vec_f64(PyObject* o) { return to_vec<double>(o, to_f64); }
std::vector<std::uint8_t> to_vec_bool(PyObject* o) {
    return to_vec<std::uint8_t>(o, [](PyObject* x) -> std::uint8_t { return to_bool(x) ? 1 : 0; });
}
std::vector<std::string> to_vec_str(PyObject* o) { return to_vec<std::string>(o, to_str); }

}  // namespace vornix::py
