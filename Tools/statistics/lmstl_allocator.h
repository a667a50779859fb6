// A standard allocator over a zu_allocator handle, so that standard containers
// account their storage to a handle. Uses the exported header alone.
//
// Storage for n elements is one zu_alloc of n * sizeof(T) bytes under the
// allocation name "lmstl_allocator" and the category "STL"; it goes back with
// zu_free. Pointers are 8-byte aligned, so T may not ask for more.
#pragma once

#include "handle/dideverazez.h"

#include <cstddef>
#include <limits>
#include <new>
#include <type_traits>

template <class T>
class lmstl_allocator {
public:
    using value_type = T;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using propagate_on_container_copy_assignment = std::true_type;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;
    using is_always_equal = std::false_type;

    template <class U>
    struct rebind {
        using other = lmstl_allocator<U>;
    };

    // `allocator` supplies the storage (held, not owned) and must outlive every
    // container that uses this allocator.
    explicit lmstl_allocator(zu_allocator* allocator) noexcept : allocator_(allocator) {}
    template <class U>
    lmstl_allocator(const lmstl_allocator<U>& other) noexcept : allocator_(other.handle()) {}

    // Raises std::bad_array_new_length when n * sizeof(T) does not fit in a
    // size_t, and std::bad_alloc when the handle cannot supply the block.
    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= 8, "zu_allocator blocks are aligned to 8 bytes only");
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        return static_cast<T*>(zu_alloc(n * sizeof(T), allocator_, "lmstl_allocator", "STL"));
    }

    void deallocate(T* p, std::size_t) noexcept { zu_free(p, allocator_); }

    zu_allocator* handle() const noexcept { return allocator_; }

    template <class U>
    bool operator==(const lmstl_allocator<U>& other) const noexcept {
        return allocator_ == other.handle();
    }

private:
    zu_allocator* allocator_; // held, not owned
};
