#include "front/newick_reader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

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
        finish();
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
        // Labels take at most the bytes of the text.
        out_.labels.resize(n_ - pos_);
        try {
            size_nodes(estimate);
        } catch (const std::bad_alloc&) {
            // A huge text of commas need not be a huge tree: grow as nodes
            // come, so that malformed text is still reported as such.
            size_nodes(kFirstRoom);
        }
    }

    static constexpr std::size_t kFirstRoom = 1024;

    // Room for n nodes in every column (uninitialised beyond count_).
    void size_nodes(std::size_t n) {
        out_.parent.resize(n);
        out_.length.resize(n);
        out_.label_begin.resize(n);
        out_.label_end.resize(n);
        out_.line.resize(n);
        out_.column.resize(n);
        room_ = n;
    }

    // The columns cut to what was read.
    void finish() {
        size_nodes(count_);
        out_.labels.resize(label_size_);
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

    // Whitespace and [comments]. Inlined: it runs after every token.
    [[gnu::always_inline]] void skip_gaps() {
        if (pos_ < n_) {
            const unsigned char c = static_cast<unsigned char>(text_[pos_]);
            if (kClass[c] != kSpace && c != '[') return;  // most tokens follow one another
        }
        skip_gaps_from_here();
    }

    void skip_gaps_from_here() {
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
        if (count_ - tree_first_ >= kMaxTreeNodes) {
            fail(offset, "expected at most 2147483647 nodes in one tree, found more");
        }
        if (count_ == room_) size_nodes(std::max(2 * room_, kFirstRoom));
        const std::size_t node = count_++;
        out_.parent[node] = open_.empty() ? -1 : open_.back().node;
        out_.length[node] = std::numeric_limits<double>::quiet_NaN();
        const TextPlace p = internal ? TextPlace{} : locator_.at(offset);
        out_.line[node] = p.line;
        out_.column[node] = p.column;
        return node;
    }

    // The label at pos_ (possibly empty), then gaps.
    void read_label(std::size_t node) {
        char* const first = out_.labels.data() + label_size_;
        char* w = first;
        if (peek() == '\'') {
            const std::size_t open = pos_++;
            for (;;) {
                const void* q = std::memchr(text_.data() + pos_, '\'', n_ - pos_);
                if (q == nullptr) {
                    fail(n_, "expected a closing quote for the label at " + where(open) + ", found end of input");
                }
                const std::size_t close = static_cast<std::size_t>(static_cast<const char*>(q) - text_.data());
                std::memcpy(w, text_.data() + pos_, close - pos_);
                w += close - pos_;
                pos_ = close + 1;
                if (pos_ < n_ && text_[pos_] == '\'') {  // '' stands for one quote
                    *w++ = '\'';
                    ++pos_;
                    continue;
                }
                break;
            }
        } else {
            // Locals: the byte stores could otherwise alias the members.
            const char* p = text_.data();
            std::size_t i = pos_;
            const std::size_t n = n_;
            for (; i < n && kClass[static_cast<unsigned char>(p[i])] == kLabel; ++i) *w++ = p[i];
            pos_ = i;
        }
        out_.label_begin[node] = static_cast<std::int64_t>(label_size_);
        label_size_ += static_cast<std::size_t>(w - first);
        out_.label_end[node] = static_cast<std::int64_t>(label_size_);
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
        tree_first_ = count_;
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
        out_.tree_offsets.push_back(static_cast<std::int64_t>(count_));
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
    std::size_t count_ = 0;       // nodes read
    std::size_t room_ = 0;        // nodes the columns have room for
    std::size_t label_size_ = 0;  // label bytes written
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
