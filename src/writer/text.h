// Small appenders for building table and tree text without temporaries.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>

namespace vornix::writer {

template <class Int>
inline void append_int(std::string& out, Int v) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

}  // namespace vornix::writer
