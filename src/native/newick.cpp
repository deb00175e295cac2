// read_newick(text, source): every tree of a Newick text as flat columns.
#include <cstring>
#include <span>

#include "front/newick_reader.h"
#include "native/functions.h"
#include "py/buffer.h"
#include "py/guard.h"
#include "py/interrupt.h"
#include "py/result.h"

namespace vornix::native {

namespace {

// A contiguous UTF-8 view of `text` (str, bytes or any simple buffer), kept
// alive (and a bytearray kept from resizing) while the view is held.
class TextView {
public:
    explicit TextView(PyObject* text) {
        if (PyUnicode_Check(text)) {
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(text, &size);
            if (data == nullptr) throw py::Error{};
            view_ = std::string_view(data, static_cast<std::size_t>(size));
            return;
        }
        if (!PyObject_CheckBuffer(text)) {
            PyErr_Format(PyExc_TypeError, "read_newick() argument 'text' must be str or bytes, not %.200s",
                         Py_TYPE(text)->tp_name);
            throw py::Error{};
        }
        if (!buffer_.get(text, PyBUF_SIMPLE)) throw py::Error{};
        const Py_buffer& b = buffer_.view();
        view_ = std::string_view(static_cast<const char*>(b.buf), static_cast<std::size_t>(b.len));
    }

    std::string_view get() const { return view_; }

private:
    std::string_view view_;
    py::HeldBuffer buffer_;
};

[[noreturn]] void raise_located(PyObject* source, const std::string& message) {
    PyErr_Format(PyExc_ValueError, "%U: %s", source, message.c_str());
    throw py::Error{};
}

// One str per node. Labels of bytes input that are not UTF-8 are refused
// with the node's place.
py::Ref label_list(const front::NewickForest& f, PyObject* source) {
    py::Ref empty = py::Ref::steal(PyUnicode_New(0, 0));
    return py::list_of(f.n_nodes(), [&](std::size_t i) {
        const std::string_view label = f.label(i);
        if (label.empty()) return py::Ref::borrow(empty.get());
        PyObject* s = PyUnicode_DecodeUTF8(label.data(), static_cast<Py_ssize_t>(label.size()), nullptr);
        if (s == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::Error{};
            PyErr_Clear();
            raise_located(source, "line " + std::to_string(f.line[i]) + ", column " + std::to_string(f.column[i]) +
                                      ": expected a label in UTF-8, found other bytes");
        }
        return py::Ref::steal(s);
    });
}

py::Ref read(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"text", "source", nullptr};
    PyObject* text = nullptr;
    PyObject* source = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OU:read_newick", const_cast<char**>(keywords), &text, &source)) {
        throw py::Error{};
    }
    const TextView view(text);
    Interrupt poll = py::interrupt();
    Outcome<front::NewickForest> outcome = front::read_newick(view.get(), poll);
    if (!outcome.ok() && outcome.error().kind == ErrorKind::Value) raise_located(source, outcome.error().message);
    const front::NewickForest forest = py::unwrap(std::move(outcome));
    py::Ref labels = label_list(forest, source);
    return py::tuple(py::packed_le<std::int64_t>(forest.tree_offsets), py::packed_le<std::int64_t>(forest.tree_line),
                     py::packed_le<std::int32_t>(forest.parent), py::packed_le<double>(forest.length),
                     std::move(labels), py::packed_le<std::int64_t>(forest.line),
                     py::packed_le<std::int64_t>(forest.column));
}

}  // namespace

PyObject* read_newick(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guard([&] { return read(args, kwargs); });
}

}  // namespace vornix::native
