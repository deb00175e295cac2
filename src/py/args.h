// Argument parsing for the vectorcall wrappers: binds positional and keyword
// arguments to the declared parameter list (with CPython's usual arity
// errors), then hands them out strictly left to right through typed getters.
// A failed conversion gets a note naming its parameter.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

#include "py/convert.h"

namespace vornix::py {

// A Python-visible function's name and its parameter names, in order.
struct Signature {
    const char* name;
    std::vector<const char*> params;
};

class Args {
public:
    Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

    std::uint64_t u64() { return take(to_u64); }
    std::int64_t i64() { return take(to_i64); }
    std::uint8_t u8() { return take(to_u8); }
    double f64() { return take(to_f64); }
    bool boolean() { return take(to_bool); }
    std::string str() { return take(to_str); }
    std::vector<std::uint64_t> vec_u64() { return take(to_vec_u64); }
    std::vector<std::int64_t> vec_i64() { return take(to_vec_i64); }
    std::vector<double> vec_f64() { return take(to_vec_f64); }
    std::vector<std::uint8_t> vec_bool() { return take(to_vec_bool); }
    std::vector<std::string> vec_str() { return take(to_vec_str); }
    // The next argument through any converter of the same kind.
    template <class Convert>
    std::invoke_result_t<Convert&, PyObject*> with(Convert convert) {
        return take(convert);
    }

    // Name of the parameter the next getter converts.
    const char* next_name() const { return sig_.params[next_]; }

private:
    template <class Convert>
    std::invoke_result_t<Convert&, PyObject*> take(Convert convert) {
        const std::size_t i = next_++;
        try {
            return convert(slots_[i]);
        } catch (const Error&) {
            note_parameter(sig_.params[i]);
            throw;
        }
    }

    static void note_parameter(const char* name);

    const Signature& sig_;
    std::vector<PyObject*> slots_;  // borrowed from the call
    std::size_t next_ = 0;
};

}  // namespace vornix::py
