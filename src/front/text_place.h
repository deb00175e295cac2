// Line and column of byte offsets in a UTF-8 text, for messages. Lines are
// counted by '\n' from 1; columns count characters (code points, a tab is
// one) from 1 at the start of each line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vornix::front {

struct TextPlace {
    std::int64_t line = 1;
    std::int64_t column = 1;
};

// Answers for offsets in increasing order, scanning each byte once: a text
// read front to back costs one extra pass in all (for ASCII text, where a
// column is a byte count, only one search for each line break).
class TextLocator {
public:
    // `origin` is the offset of column 1 of line 1 (past a byte-order mark);
    // `ascii` says that no byte from there on is above 0x7F.
    explicit TextLocator(std::string_view text, std::size_t origin = 0, bool ascii = false)
        : text_(text), pos_(origin), line_start_(origin), ascii_(ascii) {
        if (ascii_) next_newline_ = find_newline(origin);
    }

    // The place of byte `offset`; offsets must not decrease between calls.
    TextPlace at(std::size_t offset) {
        if (ascii_) {
            while (next_newline_ < offset) {
                ++line_;
                line_start_ = next_newline_ + 1;
                next_newline_ = find_newline(line_start_);
            }
            return {line_, static_cast<std::int64_t>(offset - line_start_) + 1};
        }
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
    std::size_t find_newline(std::size_t from) const {
        if (from >= text_.size()) return text_.size();
        const void* nl = std::memchr(text_.data() + from, '\n', text_.size() - from);
        return nl == nullptr ? text_.size() : static_cast<std::size_t>(static_cast<const char*>(nl) - text_.data());
    }

    std::string_view text_;
    std::size_t pos_;             // (other text) bytes up to here are counted
    std::size_t line_start_;      // (ASCII text) offset of the current line's first byte
    std::size_t next_newline_ = 0;  // (ASCII text) offset of the next '\n', or the text's size
    bool ascii_;
    std::int64_t line_ = 1;
    std::int64_t chars_ = 0;  // characters between the line's start and pos_
};

}  // namespace vornix::front
