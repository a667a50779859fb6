// A std::pmr::memory_resource over a zu_allocator handle, so that std::pmr
// containers account their storage to a handle. Header-only, over the exported
// header alone.
//
// Blocks of a handle are aligned to 8 bytes only (a pooled block starts 24
// bytes into its stride, a heap block 24 bytes after what the C heap gave).
// The resource honours any power-of-two alignment that std::pmr asks for:
//
// - alignment <= 8: one zu_alloc of exactly `bytes`, handed out as it is;
// - alignment > 8: one zu_alloc of `bytes + alignment`. The pointer handed out
//   is the first address past the block's start that meets the alignment; it
//   lies 8 to `alignment` bytes in, and the 8-byte word just in front of it
//   holds that distance, so that deallocate finds the block's start again.
//
// What the handle is charged is therefore what the engine charges for one
// block of `bytes` (alignment <= 8) or `bytes + alignment` bytes (alignment >
// 8): for a request of up to 1024 bytes the stride of its size class (class
// size + 24), above that the request + 24. For instance allocate(100) (default
// alignment, alignof(std::max_align_t), 16 on x86-64) is a zu_alloc of 116
// bytes, served by the 128-byte class and charged 152 bytes; a
// std::pmr::vector<std::uint64_t> of capacity 10 asks for 80 bytes aligned to
// 8 and is charged 104 (the 80-byte class).
//
// Thread safety is the handle's: the resource adds no state of its own beyond
// the pointers it was built with.
#pragma once

#include "dideverazez.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory_resource>
#include <new>
#include <stdexcept>

class zu_memory_resource : public std::pmr::memory_resource {
public:
    // The alignment every block of a handle has.
    static constexpr std::size_t BlockAlignment = 8;

    // `handle` supplies the storage (held, not owned; must not be null, which
    // raises std::invalid_argument) and must outlive every block handed out.
    // `name` and `category` are passed to zu_alloc with every request; they are
    // not copied.
    explicit zu_memory_resource(zu_allocator* handle, const char* name = "zu_memory_resource",
                                const char* category = "PMR")
        : handle_(handle), name_(name), category_(category) {
        if (handle_ == nullptr) {
            throw std::invalid_argument("zu_memory_resource: the handle must not be null");
        }
    }

    zu_memory_resource(const zu_memory_resource&) = delete;
    zu_memory_resource& operator=(const zu_memory_resource&) = delete;

    zu_allocator* handle() const noexcept { return handle_; }

private:
    // Raises std::invalid_argument when `alignment` is not a power of two,
    // std::bad_alloc when `bytes + alignment` does not fit in a size_t or the
    // handle cannot supply the block; nothing is charged then.
    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
            throw std::invalid_argument("zu_memory_resource: alignment must be a power of two");
        }
        if (alignment <= BlockAlignment) {
            return zu_alloc(bytes, handle_, name_, category_);
        }
        if (bytes > std::numeric_limits<std::size_t>::max() - alignment) {
            throw std::bad_alloc();
        }
        char* const block =
            static_cast<char*>(zu_alloc(bytes + alignment, handle_, name_, category_));
        const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(block);
        // The block is 8-aligned, so the distance to the next aligned address
        // strictly past it is a multiple of 8 in [8, alignment]: there is room
        // for the distance word, and `bytes` still fit behind the pointer.
        const std::size_t distance = alignment - static_cast<std::size_t>(start & (alignment - 1));
        char* const aligned = block + distance;
        std::memcpy(aligned - sizeof(std::uint64_t), &distance, sizeof distance);
        return aligned;
    }

    // A null pointer is ignored (std::pmr itself never passes one). Otherwise
    // `p` and `alignment` must be those of a block that a zu_memory_resource
    // handed out and that has not been freed yet (over any handle: the
    // block goes back to the engine that allocated it); this is not checked.
    void do_deallocate(void* p, std::size_t, std::size_t alignment) override {
        if (p == nullptr) {
            return;
        }
        char* block = static_cast<char*>(p);
        if (alignment > BlockAlignment) {
            std::size_t distance = 0;
            std::memcpy(&distance, block - sizeof(std::uint64_t), sizeof distance);
            block -= distance;
        }
        zu_free(block, handle_);
    }

    // Equal to another zu_memory_resource over the same handle: containers then
    // move storage between them, and it stays charged where it was allocated.
    // Over different handles the resources are unequal, so a container moved
    // or swapped across handles copies its elements and each handle keeps
    // accounting for its own storage.
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        if (this == &other) {
            return true;
        }
        const auto* resource = dynamic_cast<const zu_memory_resource*>(&other);
        return resource != nullptr && resource->handle_ == handle_;
    }

    zu_allocator* handle_; // held, not owned
    const char* name_;     // held, not owned
    const char* category_; // held, not owned
};
