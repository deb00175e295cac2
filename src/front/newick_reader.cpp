#include "front/newick_reader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "front/branch_length.h"
#include "front/text_place.h"

namespace vornix::front {

namespace {

// Byte classes: what may stand in an unquoted label, what separates tokens.
enum ByteClass : std::uint8_t { kLabel, kSpace, kPunct, kControl };

constexpr std::array<std::uint8_t, 256> make_classes() {
    std::array<std::uint8_t, 256> c{};
    for (int b = 0; b < 0x20; ++b) c[b] = kControl;
    c[0x7F] = kControl;
    for (unsigned char b : {' ', '\t', '\n', '\r', '\v', '\f'}) c[b] = kSpace;
    for (unsigned char b : {'(', ')', '[', ']', '\'', ':', ';', ','}) c[b] = kPunct;
    return c;
}
constexpr std::array<std::uint8_t, 256> kClass = make_classes();

constexpr std::size_t kMaxTreeNodes = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

// Unwinds the reader to read_newick, which turns it into the Outcome.
struct SyntaxError {
    std::size_t offset;
    std::string what;  // "expected ..., found ..."
};
struct Stopped {};

std::string place_text(std::string_view text, std::size_t origin, std::size_t offset) {
    const TextPlace p = TextLocator(text, origin).at(offset);
    return "line " + std::to_string(p.line) + ", column " + std::to_string(p.column);
}

// Byte length of the UTF-8 sequence a lead byte starts (1 for stray bytes).
std::size_t sequence_length(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8) return 4;
    if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
    if (lead >= 0xC0) return 2;
    return 1;
}

// At most `limit` characters of `s`, cut on a character boundary.
std::string shortened(std::string_view s, std::size_t limit) {
    std::size_t i = 0, chars = 0;
    while (i < s.size() && chars < limit) {
        i += sequence_length(static_cast<unsigned char>(s[i]));
        ++chars;
    }
    if (i >= s.size()) return std::string(s);
    return std::string(s.substr(0, i)) + "...";
}

class Reader {
public:
    Reader(std::string_view text, Interrupt& interrupt, NewickForest& out)
        : text_(text), n_(text.size()), interrupt_(interrupt), out_(out) {
        if (text.substr(0, 3) == "\xEF\xBB\xBF") origin_ = pos_ = 3;
    }

    void read_all() {
        reserve();
        skip_gaps();
        if (pos_ == n_) fail(pos_, "expected a tree, found " + found(pos_));
        while (pos_ < n_) {
            read_tree();
            skip_gaps();
        }
    }

private:
    // One pass before reading: room for every node at once (a well-formed
    // text has one node per '(' and ',' and one per tree; labels and comments
    // only add to the count), and whether the text is ASCII, where columns
    // are byte counts. Written in blocks so that the compiler vectorizes it.
    void reserve() {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(text_.data());
        std::size_t estimate = 0;
        unsigned high = 0;
        std::size_t i = pos_;
        for (; i + 64 <= n_; i += 64) {
            unsigned char count = 0, bits = 0;
            for (int k = 0; k < 64; ++k) {
                const unsigned char c = p[i + k];
                count += (c == '(') + (c == ',') + (c == ';');
                bits |= c;
            }
            estimate += count;
            high |= bits;
        }
        for (; i < n_; ++i) {
            estimate += (p[i] == '(') + (p[i] == ',') + (p[i] == ';');
            high |= p[i];
        }
        locator_ = TextLocator(text_, origin_, (high & 0x80) == 0);
        out_.parent.reserve(estimate);
        out_.length.reserve(estimate);
        out_.label_begin.reserve(estimate);
        out_.label_end.reserve(estimate);
        out_.line.reserve(estimate);
        out_.column.reserve(estimate);
    }

    int peek() const { return pos_ < n_ ? static_cast<unsigned char>(text_[pos_]) : -1; }

    [[noreturn]] void fail(std::size_t offset, std::string what) { throw SyntaxError{offset, std::move(what)}; }

    // "end of input", "'x'", or "character U+0001" for control bytes.
    std::string found(std::size_t offset) const {
        if (offset >= n_) return "end of input";
        const unsigned char c = static_cast<unsigned char>(text_[offset]);
        if (kClass[c] == kControl) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "character U+%04X", c);
            return buf;
        }
        const std::size_t len = std::min(sequence_length(c), n_ - offset);
        std::string quoted(1, '\'');
        quoted.append(text_.data() + offset, len);
        quoted.push_back('\'');
        return quoted;
    }

    std::string where(std::size_t offset) const { return place_text(text_, origin_, offset); }

    // Whitespace and [comments].
    void skip_gaps() {
        while (pos_ < n_) {
            const unsigned char c = static_cast<unsigned char>(text_[pos_]);
            if (kClass[c] == kSpace) {
                ++pos_;
            } else if (c == '[') {
                const void* close = std::memchr(text_.data() + pos_ + 1, ']', n_ - pos_ - 1);
                if (close == nullptr) {
                    fail(n_, "expected ']' to close the comment at " + where(pos_) + ", found end of input");
                }
                pos_ = static_cast<std::size_t>(static_cast<const char*>(close) - text_.data()) + 1;
            } else {
                return;
            }
        }
    }

    // A new node under the innermost open one, written at `offset` (an
    // internal node is placed later, at its ')').
    std::size_t add_node(std::size_t offset, bool internal) {
        const std::size_t local = out_.parent.size() - tree_first_;
        if (local >= kMaxTreeNodes) fail(offset, "expected at most 2147483647 nodes in one tree, found more");
        out_.parent.push_back(open_.empty() ? -1 : open_.back().node);
        out_.length.push_back(std::numeric_limits<double>::quiet_NaN());
        out_.label_begin.push_back(0);
        out_.label_end.push_back(0);
        const TextPlace p = internal ? TextPlace{} : locator_.at(offset);
        out_.line.push_back(p.line);
        out_.column.push_back(p.column);
        return out_.parent.size() - 1;
    }

    // The label at pos_ (possibly empty), then gaps.
    void read_label(std::size_t node) {
        std::string& labels = out_.labels;
        out_.label_begin[node] = static_cast<std::int64_t>(labels.size());
        if (peek() == '\'') {
            const std::size_t open = pos_++;
            for (;;) {
                const void* q = std::memchr(text_.data() + pos_, '\'', n_ - pos_);
                if (q == nullptr) {
                    fail(n_, "expected a closing quote for the label at " + where(open) + ", found end of input");
                }
                const std::size_t close = static_cast<std::size_t>(static_cast<const char*>(q) - text_.data());
                labels.append(text_.data() + pos_, close - pos_);
                pos_ = close + 1;
                if (pos_ < n_ && text_[pos_] == '\'') {  // '' stands for one quote
                    labels.push_back('\'');
                    ++pos_;
                    continue;
                }
                break;
            }
        } else {
            const std::size_t start = pos_;
            while (pos_ < n_ && kClass[static_cast<unsigned char>(text_[pos_])] == kLabel) ++pos_;
            labels.append(text_.data() + start, pos_ - start);
        }
        out_.label_end[node] = static_cast<std::int64_t>(labels.size());
        skip_gaps();
    }

    // An optional ":length", then gaps.
    void read_length(std::size_t node) {
        if (peek() != ':') return;
        ++pos_;
        skip_gaps();
        const std::size_t start = pos_;
        while (pos_ < n_ && kClass[static_cast<unsigned char>(text_[pos_])] == kLabel) ++pos_;
        const std::string_view token = text_.substr(start, pos_ - start);
        if (token.empty()) fail(start, "expected a branch length after ':', found " + found(start));
        double value = 0.0;
        switch (parse_branch_length(token, value)) {
            case LengthStatus::Ok:
                break;
            case LengthStatus::NotANumber:
                fail(start, "expected a number as branch length, found '" + shortened(token, 40) + "'");
            case LengthStatus::NotFinite:
                fail(start, "expected a finite branch length, found '" + shortened(token, 40) + "'");
        }
        out_.length[node] = value;
        skip_gaps();
    }

    void read_tree() {
        tree_first_ = out_.parent.size();
        open_.clear();
        const int first = peek();
        if (first != '(' && (first < 0 || kClass[first] != kLabel) && first != '\'') {
            fail(pos_, (out_.tree_line.empty() ? "expected '(' or a label to start a tree, found "
                                               : "expected another tree or the end of input after ';', found ") +
                           found(pos_));
        }
        out_.tree_line.push_back(locator_.at(pos_).line);

        bool expect_node = true;
        for (;;) {
            if (interrupt_.tick()) throw Stopped{};
            const int c = peek();
            if (expect_node) {
                if (c == '(') {
                    const std::size_t node = add_node(pos_, true);
                    open_.push_back({static_cast<std::int32_t>(node - tree_first_), pos_});
                    ++pos_;
                    skip_gaps();
                    continue;
                }
                const std::size_t leaf = add_node(pos_, false);
                read_label(leaf);
                read_length(leaf);
                expect_node = false;
                continue;
            }
            if (open_.empty()) {
                if (c == ';') {
                    ++pos_;
                    break;
                }
                std::string what = "expected ';' to end the tree, found " + found(pos_);
                if (c == ')') what += " without a matching '('";
                fail(pos_, std::move(what));
            }
            if (c == ',') {
                ++pos_;
                skip_gaps();
                expect_node = true;
            } else if (c == ')') {
                const std::size_t node = tree_first_ + static_cast<std::size_t>(open_.back().node);
                open_.pop_back();
                const TextPlace p = locator_.at(pos_);
                out_.line[node] = p.line;
                out_.column[node] = p.column;
                ++pos_;
                skip_gaps();
                read_label(node);
                read_length(node);
            } else if (c == ';' || c < 0) {
                fail(pos_, "expected ')' to close the '(' at " + where(open_.back().offset) + ", found " + found(pos_));
            } else {
                fail(pos_, "expected ',' or ')', found " + found(pos_));
            }
        }
        out_.tree_offsets.push_back(static_cast<std::int64_t>(out_.parent.size()));
    }

    struct Open {
        std::int32_t node;   // number within the tree
        std::size_t offset;  // of its '('
    };

    std::string_view text_;
    std::size_t n_;
    std::size_t origin_ = 0;
    std::size_t pos_ = 0;
    Interrupt& interrupt_;
    NewickForest& out_;
    TextLocator locator_{std::string_view()};
    std::size_t tree_first_ = 0;  // forest index of the current tree's root
    std::vector<Open> open_;      // the open '(' of the current tree, innermost last
};

}  // namespace

Outcome<NewickForest> read_newick(std::string_view text, Interrupt& interrupt) {
    NewickForest forest;
    Reader reader(text, interrupt, forest);
    try {
        reader.read_all();
    } catch (const SyntaxError& e) {
        const std::size_t origin = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
        return value_error(place_text(text, origin, e.offset) + ": " + e.what);
    } catch (const Stopped&) {
        return interrupted();
    }
    return forest;
}

}  // namespace vornix::front
