// Line and column of byte offsets in a UTF-8 text, for messages. Lines are
// counted by '\n' from 1; columns count characters (code points, a tab is
// one) from 1 at the start of each line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vornix::front {

struct TextPlace {
    std::int64_t line = 1;
    std::int64_t column = 1;
};

// Answers for offsets in increasing order, scanning each byte once: a text
// read front to back costs one extra pass in all.
class TextLocator {
public:
    // `origin` is the offset of column 1 of line 1 (past a byte-order mark).
    explicit TextLocator(std::string_view text, std::size_t origin = 0) : text_(text), pos_(origin) {}

    // The place of byte `offset`; offsets must not decrease between calls.
    TextPlace at(std::size_t offset) {
        for (; pos_ < offset; ++pos_) {
            const unsigned char c = static_cast<unsigned char>(text_[pos_]);
            if (c == '\n') {
                ++line_;
                chars_ = 0;
            } else if ((c & 0xC0) != 0x80) {  // not a UTF-8 continuation byte
                ++chars_;
            }
        }
        return {line_, chars_ + 1};
    }

private:
    std::string_view text_;
    std::size_t pos_;
    std::int64_t line_ = 1;
    std::int64_t chars_ = 0;  // characters between the line's start and pos_
};

}  // namespace vornix::front
