// How much memory this process can use, for the memory budgets of the
// engines. With overcommitted memory a runaway allocation is not refused but
// gets the process killed, so engines stop growing well before this.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vornix {

// Bytes of memory the process may use: the physical memory, lowered to the
// smallest control-group limit (version 2 `memory.max` or version 1
// `memory.limit_in_bytes`) of the process's group and its ancestors. Read
// once and then cached; the largest 64-bit value when nothing is known.
std::uint64_t usable_memory_bytes();

// A control-group limit file's content as a byte count; empty for "max"
// (no limit) and for anything that is not a positive decimal number.
std::optional<std::uint64_t> parse_memory_limit(std::string_view text);

}  // namespace vornix
