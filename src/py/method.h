// Entries of a module's function table for functions that take more than
// PyCFunction's two arguments (vectorcall with keywords, or a tuple and a
// dict): the table stores every function under the one pointer type, and
// the flags tell CPython how to call it.
#pragma once

#include "py/ref.h"

namespace vornix::py {

inline constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

template <class F>
PyCFunction as_method(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace vornix::py
