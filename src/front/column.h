// Growable arrays of plain values whose new elements are left uninitialised,
// so that a column can be sized for the most it may hold without touching
// (or zeroing) that memory; only what is written is ever paged in.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace vornix::front {

template <class T>
struct UninitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;  // default-initialised: no zeroing
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using Column = std::vector<T, UninitAllocator<T>>;

}  // namespace vornix::front
