// Storage for the library's own bookkeeping: the registry, snapshots and their
// text, the reporter's paths. It comes from the C heap (engines/SystemHeap.h),
// as every object of the library does, never through a handle, so that what a
// program's handles report is the program's alone. Through the preload
// library, whose handles serve the program's malloc, a call from this library
// goes to the C heap by its return address; the containers here therefore
// allocate from code compiled into this library, not from the standard
// library's own (std::string's out-of-line members live in libstdc++).
#pragma once

#include "engines/SystemHeap.h"
#include "engines/kdideverazez_impl.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dideverazez::observe {

template <class T> struct LibraryAllocator {
    using value_type = T;
    LibraryAllocator() noexcept = default;
    template <class U> LibraryAllocator(const LibraryAllocator<U>&) noexcept {}

    // Raises the library's "bad allocation" when the C heap has no block.
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
            detail::ThrowAllocationFailure();
        }
        void* block = heap::Allocate(n * sizeof(T));
        if (block == nullptr) {
            detail::ThrowAllocationFailure();
        }
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) noexcept { heap::Free(block); }

    template <class U> bool operator==(const LibraryAllocator<U>&) const noexcept { return true; }
};

using LibraryString = std::basic_string<char, std::char_traits<char>, LibraryAllocator<char>>;
template <class T> using LibraryVector = std::vector<T, LibraryAllocator<T>>;

// Appends `value` in decimal; std::to_string would build a std::string.
template <class Integer> void AppendNumber(LibraryString& out, Integer value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

} // namespace dideverazez::observe
