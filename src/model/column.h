// A growable array of plain values, for columns that grow to hundreds of
// megabytes one element at a time (the event log's records).
//
// It grows through realloc rather than allocate-copy-free as a std::vector
// does: a block the C library keeps in its own memory mapping (large blocks)
// is then grown by remapping its pages, without copying what it holds or
// holding the old and the new block at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace vornix {

template <class T>
class Column {
    static_assert(std::is_trivially_copyable_v<T>, "a column holds plain values");

public:
    using value_type = T;

    Column() = default;
    Column(std::initializer_list<T> values) { assign({values.begin(), values.size()}); }
    Column(const Column& other) { assign(other); }
    Column(Column&& other) noexcept { swap(other); }
    Column& operator=(const Column& other) {
        if (this != &other) assign(other);
        return *this;
    }
    Column& operator=(Column&& other) noexcept {
        Column(std::move(other)).swap(*this);
        return *this;
    }
    ~Column() { std::free(data_); }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    operator std::span<const T>() const { return {data_, size_}; }

    void push_back(T value) {
        if (size_ == capacity_) grow(size_ + 1);
        data_[size_++] = value;
    }

    // Grows (new elements set to `value`) or shrinks to n elements.
    void resize(std::size_t n, T value = T{}) {
        if (n > capacity_) grow(n);
        for (std::size_t i = size_; i < n; ++i) data_[i] = value;
        size_ = n;
    }

    void reserve(std::size_t n) {
        if (n > capacity_) reallocate(n);
    }

    void assign(std::span<const T> values) {
        size_ = 0;
        reserve(values.size());
        if (!values.empty()) std::memcpy(data_, values.data(), values.size() * sizeof(T));
        size_ = values.size();
    }

    void swap(Column& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

    friend bool operator==(const Column& a, const Column& b) {
        return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data_, b.data_, a.size_ * sizeof(T)) == 0);
    }

private:
    // Doubles the capacity, or more when n asks for more.
    [[gnu::noinline]] void grow(std::size_t n) {
        const std::size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * capacity_;
        reallocate(n > doubled ? n : (doubled < 64 ? 64 : doubled));
    }

    void reallocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* p = std::realloc(data_, n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(p);
        capacity_ = n;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace vornix
