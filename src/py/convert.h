// Typed conversion of Python arguments, one converter per argument class.
// Each converter either returns the native value or sets a Python exception
// and throws py::Error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "py/ref.h"

namespace vornix::py {

std::uint64_t to_u64(PyObject* o);  // __index__ objects, 0 .. 2^64-1
std::int64_t to_i64(PyObject* o);   // __index__ objects, -2^63 .. 2^63-1
std::uint8_t to_u8(PyObject* o);    // __index__ objects, 0 .. 255
double to_f64(PyObject* o);         // anything float() accepts natively
bool to_bool(PyObject* o);          // True/False and NumPy booleans only
std::string to_str(PyObject* o);    // str, as UTF-8

// Sequences (not str) converted element by element with the scalar rules.
std::vector<std::uint64_t> to_vec_u64(PyObject* o);
std::vector<std::int64_t> to_vec_i64(PyObject* o);
std::vector<double> to_vec_f64(PyObject* o);
std::vector<std::uint8_t> to_vec_bool(PyObject* o);
std::vector<std::string> to_vec_str(PyObject* o);

}  // namespace vornix::py
