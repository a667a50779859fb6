// The C and C++ heap's entry points, and how free knows a block's origin.
//
// malloc, calloc, realloc, free, aligned_alloc, posix_memalign, memalign,
// valloc, pvalloc, malloc_usable_size and the operator new and delete family
// are served by zu_alloc and zu_free, through the handles of Served.cpp.
//
// Every block handed out is 16-byte aligned (more when asked). For the
// default alignment the preload asks the engine for the size plus 8 bytes:
//
//   - a block the engine placed on a 16-byte boundary is handed out as it is.
//     The Size word of the library's block header just in front of it is 0
//     (a block of the pooled pages), which no glibc chunk's size word is;
//   - a block placed 8 bytes past a boundary gets a tag word in front of it:
//     a magic number, the size asked for and where the block came from.
//
// A larger alignment asks for the size plus the alignment, and a block that
// lies further in than 8 bytes has the distance in a word in front of its tag:
//
//   [Link | Owner | Size = 0] [user bytes]                    on a boundary
//   [what zu_alloc or the C heap gave ... | distance? | tag] [user bytes]
//
// Calls that come before the library is ready, from inside a call already
// being served (the library's own heap calls, the handles being built for a
// new thread), from the library's own code, or from a thread whose end was
// already handled take their block from the C heap (glibc's __libc_malloc)
// with a tag, and free knows them by it. A pointer with neither mark came
// from the C heap before this library was reached, and goes back to it. A
// block may be freed by any thread, also after the thread that allocated it
// has ended: its handles live on.

#include "Preload.h"

#include <dlfcn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <new>

namespace dideverazez::preload {
namespace {

constexpr std::uint64_t kMagic = 0xD1D; // the top 12 bits of every tag word
constexpr std::uint64_t kFromHeap = std::uint64_t{1} << 50;
constexpr std::uint64_t kShiftedBy8 = std::uint64_t{1} << 51;
constexpr std::uint64_t kLargest = (std::uint64_t{1} << 50) - 1; // sizes beyond: ENOMEM
constexpr std::size_t kAlignment = 16;                           // x86-64's max_align_t

// ---------------------------------------------------------------------------
// The words in front of a block

void* Place(char* start, std::size_t shift, std::size_t size, bool fromHeap) {
    char* block = start + shift;
    const std::uint64_t tag =
        kMagic << 52 | (fromHeap ? kFromHeap : 0) | (shift == 8 ? kShiftedBy8 : 0) | size;
    std::memcpy(block - 8, &tag, sizeof tag);
    if (shift != 8) {
        const std::uint64_t distance = shift;
        std::memcpy(block - 16, &distance, sizeof distance);
    }
    return block;
}

struct Found {
    bool ours;        // handed out by this library, through a handle or the C heap
    bool fromHeap;    // from the C heap (__libc_malloc), not through a handle
    bool tagged;      // false: handed out as the engine placed it, with no word of ours
    char* start;      // what zu_alloc or the C heap gave
    std::size_t size; // the size asked for; 0 when not tagged
};

Found Read(void* block) {
    std::uint64_t tag = 0, distance = 8;
    std::memcpy(&tag, static_cast<char*>(block) - 8, sizeof tag);
    if (tag == 0) { // the Size word of an engine's pooled block
        return {true, false, false, static_cast<char*>(block), 0};
    }
    if (tag >> 52 != kMagic) {
        return {false, true, false, static_cast<char*>(block), 0};
    }
    if ((tag & kShiftedBy8) == 0) {
        std::memcpy(&distance, static_cast<char*>(block) - 16, sizeof distance);
    }
    return {true, (tag & kFromHeap) != 0, true, static_cast<char*>(block) - distance,
            tag & kLargest};
}

// The bytes of `block` (found ours) that are the caller's: the size asked
// for, or all its class holds when no tag keeps the size.
std::size_t Usable(const Found& found) {
    return found.tagged ? found.size : zu_usable_size(found.start);
}

void* FromHeap(std::size_t size, std::size_t alignment) {
    if (gForeign.release != nullptr) { // its blocks carry no word of ours
        return alignment == kAlignment ? gForeign.allocate(size)
                                       : gForeign.aligned(alignment, size);
    }
    void* start = alignment == kAlignment ? __libc_malloc(size + alignment)
                                          : __libc_memalign(alignment, size + alignment);
    return start != nullptr ? Place(static_cast<char*>(start), alignment, size, true) : nullptr;
}

// A block of `size` bytes at `alignment` from `handle`, with its mark.
void* FromHandle(zu_allocator* handle, std::size_t size, std::size_t alignment) {
    if (alignment == kAlignment) {
        auto* start = static_cast<char*>(zu_alloc(size + 8, handle, "preload"));
        if (reinterpret_cast<std::uintptr_t>(start) % kAlignment == 8) {
            return Place(start, 8, size, false);
        }
        std::uint64_t headerSize = 0;
        std::memcpy(&headerSize, start - 8, sizeof headerSize);
        if (headerSize == 0) {
            return start;
        }
        // A heap block on a boundary, from a C heap that aligns to 8 only:
        // its Size word is no mark, so it is asked for again with room for a
        // tag.
        zu_free(start, nullptr);
    }
    // zu_alloc's blocks are 8-aligned: the first address 8 bytes past the
    // start at the alignment (a power of two: a mask, not a division) lies at
    // most `alignment` bytes in.
    auto* start = static_cast<char*>(zu_alloc(size + alignment, handle, "preload"));
    const auto at = reinterpret_cast<std::uintptr_t>(start) + 8;
    const std::size_t shift = 8 + ((0 - at) & (alignment - 1));
    return Place(start, shift, size, false);
}

// ---------------------------------------------------------------------------
// Serving the calls

void* Allocate(std::size_t size, std::size_t alignment, const void* caller) {
    if (size > kLargest) {
        errno = ENOMEM;
        return nullptr;
    }
    ThreadState& thread = gThread;
    const auto from = reinterpret_cast<std::uintptr_t>(caller);
    if (!gReady.load(std::memory_order_acquire) || thread.inside || thread.ended ||
        (from >= gOwnStart && from < gOwnEnd)) {
        return FromHeap(size, alignment);
    }
    thread.inside = true;
    void* block = nullptr;
    zu_allocator* handle = nullptr;
    if (gBy == By::Library) {
        handle = ObjectHandle(caller);
    } else {
        Served* served = thread.served;
        if (served == nullptr ||
            std::atomic_ref<bool>(thread.renamed).load(std::memory_order_relaxed)) {
            served = ServedForThisThread();
        }
        handle = served != nullptr ? served->blocks : nullptr;
    }
    try {
        if (handle == nullptr) {
            block = FromHeap(size, alignment);
        } else {
            block = FromHandle(handle, size, alignment);
        }
    } catch (...) {
        block = nullptr;
    }
    thread.inside = false;
    if (block == nullptr) {
        errno = ENOMEM;
    }
    return block;
}

void Release(void* block) {
    if (gForeign.release != nullptr) {
        gForeign.release(block);
        return;
    }
    if (block == nullptr) {
        return;
    }
    const Found found = Read(block);
    if (found.fromHeap) { // also a block with no mark: glibc's own
        __libc_free(found.start);
    } else {
        zu_free(found.start, nullptr);
    }
}

bool PowerOfTwo(std::size_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

std::size_t AtLeast16(std::size_t alignment) {
    return alignment < kAlignment ? kAlignment : alignment;
}

// The new-handler the program installed with std::set_new_handler, or null.
// It is kept by the program's C++ runtime: this library's own copy of the
// runtime has a handler of its own that nothing sets.
std::new_handler ProgramNewHandler() noexcept {
    using Get = std::new_handler (*)() noexcept;
    static std::atomic<Get> get{nullptr};
    Get found = get.load(std::memory_order_acquire);
    if (found == nullptr) { // until a C++ runtime is loaded
        found = reinterpret_cast<Get>(dlsym(RTLD_DEFAULT, "_ZSt15get_new_handlerv"));
        get.store(found, std::memory_order_release);
    }
    return found != nullptr ? found() : nullptr;
}

// operator new once the block could not be had: the program's new-handler is
// called (it frees memory, installs another handler or throws) and the block
// asked for again; without a handler, std::bad_alloc, or null from the
// nothrow forms, which also return null when the handler throws
// std::bad_alloc. Out of line, so that operator new itself stays a call of
// Allocate and a test.
[[gnu::noinline, gnu::cold]] void* NewAfterFailure(std::size_t size, std::size_t alignment,
                                                   const void* caller, bool nothrow) {
    for (;;) {
        const std::new_handler handler = ProgramNewHandler();
        if (handler == nullptr) {
            if (nothrow) {
                return nullptr;
            }
            PrepareProgramUnwinder();
            throw std::bad_alloc();
        }
        if (!nothrow) {
            handler();
        } else {
            try {
                handler();
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
        }
        if (void* block = Allocate(size, alignment, caller)) {
            return block;
        }
    }
}

inline void* New(std::size_t size, std::size_t alignment, const void* caller, bool nothrow) {
    void* block = Allocate(size, alignment, caller);
    return block != nullptr ? block : NewAfterFailure(size, alignment, caller, nothrow);
}

// Zeroes `bytes` at `block` where they are not zero already. A large block is
// fresh memory from the kernel more often than not, whose pages are zero and
// not yet resident: reading them maps the one shared zero page, writing them
// would make each page the program's own. glibc's calloc skips such blocks by
// knowing where they came from; this one looks, a page at a time.
void ClearUnlessZero(unsigned char* block, std::size_t bytes) {
    constexpr std::size_t kPage = 4096;
    static const unsigned char zeros[kPage] = {};
    if (bytes < 16 * kPage) {
        std::memset(block, 0, bytes);
        return;
    }
    for (std::size_t done = 0; done < bytes; done += kPage) {
        const std::size_t n = bytes - done < kPage ? bytes - done : kPage;
        if (std::memcmp(block + done, zeros, n) != 0) {
            std::memset(block + done, 0, n);
        }
    }
}

} // namespace
} // namespace dideverazez::preload

using namespace dideverazez::preload;

// ---------------------------------------------------------------------------
// The C heap's interface

extern "C" {

#define DIDEVERAZEZ_PRELOAD_EXPORT __attribute__((visibility("default")))

DIDEVERAZEZ_PRELOAD_EXPORT void* malloc(std::size_t size) {
    return Allocate(size, kAlignment, __builtin_return_address(0));
}

DIDEVERAZEZ_PRELOAD_EXPORT void free(void* block) {
    Release(block);
}

DIDEVERAZEZ_PRELOAD_EXPORT void* calloc(std::size_t count, std::size_t size) {
    if (size != 0 && count > SIZE_MAX / size) {
        errno = ENOMEM;
        return nullptr;
    }
    void* block = Allocate(count * size, kAlignment, __builtin_return_address(0));
    if (block != nullptr) {
        ClearUnlessZero(static_cast<unsigned char*>(block), count * size);
    }
    return block;
}

// A new block, the old contents up to the smaller size, the old block freed;
// the old block stays as it was when no new one can be had.
DIDEVERAZEZ_PRELOAD_EXPORT void* realloc(void* old, std::size_t size) {
    if (old == nullptr) {
        return Allocate(size, kAlignment, __builtin_return_address(0));
    }
    if (gForeign.release != nullptr) {
        return gForeign.resize(old, size);
    }
    if (size == 0) {
        Release(old);
        return nullptr;
    }
    const Found found = Read(old);
    if (!found.ours) { // from the C heap before this library: it grows there
        return __libc_realloc(old, size);
    }
    void* block = Allocate(size, kAlignment, __builtin_return_address(0));
    if (block != nullptr) {
        const std::size_t kept = Usable(found);
        std::memcpy(block, old, kept < size ? kept : size);
        Release(old);
    }
    return block;
}

DIDEVERAZEZ_PRELOAD_EXPORT void* aligned_alloc(std::size_t alignment, std::size_t size) {
    if (!PowerOfTwo(alignment)) {
        errno = EINVAL;
        return nullptr;
    }
    return Allocate(size, AtLeast16(alignment), __builtin_return_address(0));
}

DIDEVERAZEZ_PRELOAD_EXPORT void* memalign(std::size_t alignment, std::size_t size) {
    return aligned_alloc(alignment, size);
}

DIDEVERAZEZ_PRELOAD_EXPORT int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    if (!PowerOfTwo(alignment) || alignment % sizeof(void*) != 0) {
        return EINVAL;
    }
    void* block = Allocate(size, AtLeast16(alignment), __builtin_return_address(0));
    if (block == nullptr) {
        return ENOMEM;
    }
    *out = block;
    return 0;
}

DIDEVERAZEZ_PRELOAD_EXPORT void* valloc(std::size_t size) {
    return Allocate(size, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)),
                    __builtin_return_address(0));
}

// The size rounded up to whole pages; a size whose rounding would wrap is
// rejected with ENOMEM.
DIDEVERAZEZ_PRELOAD_EXPORT void* pvalloc(std::size_t size) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    if (size > SIZE_MAX - (page - 1)) {
        errno = ENOMEM;
        return nullptr;
    }
    return Allocate((size + page - 1) / page * page, page, __builtin_return_address(0));
}

// At least the size asked for, every byte of it the caller's: the size asked
// for when the block carries a tag, else all its size class holds.
DIDEVERAZEZ_PRELOAD_EXPORT std::size_t malloc_usable_size(void* block) {
    if (gForeign.release != nullptr) {
        return gForeign.usable != nullptr && block != nullptr ? gForeign.usable(block) : 0;
    }
    if (block == nullptr) {
        return 0;
    }
    const Found found = Read(block);
    return found.ours ? Usable(found) : 0;
}

// Renaming a thread: its next heap call takes the handles of its new name.
// glibc's own does the renaming (found when the preload starts).
DIDEVERAZEZ_PRELOAD_EXPORT int pthread_setname_np(pthread_t thread, const char* name) {
    const int error = gSetName != nullptr ? gSetName(thread, name) : ENOSYS;
    if (error == 0) {
        Renamed(thread);
    }
    return error;
}

// prctl(PR_SET_NAME) renames the calling thread; every option goes to the
// system call as glibc's wrapper sends it (four more words, read whether
// given or not).
DIDEVERAZEZ_PRELOAD_EXPORT int prctl(int option, ...) {
    va_list arguments;
    va_start(arguments, option);
    unsigned long words[4];
    for (unsigned long& word : words) {
        word = va_arg(arguments, unsigned long);
    }
    va_end(arguments);
    const long result = syscall(SYS_prctl, option, words[0], words[1], words[2], words[3]);
    if (result == 0 && option == PR_SET_NAME) {
        Renamed(pthread_self());
    }
    return static_cast<int>(result);
}

} // extern "C"

// ---------------------------------------------------------------------------
// The C++ heap's interface

DIDEVERAZEZ_PRELOAD_EXPORT void* operator new(std::size_t size) {
    return New(size, kAlignment, __builtin_return_address(0), false);
}
DIDEVERAZEZ_PRELOAD_EXPORT void* operator new[](std::size_t size) {
    return New(size, kAlignment, __builtin_return_address(0), false);
}
DIDEVERAZEZ_PRELOAD_EXPORT void* operator new(std::size_t size, std::align_val_t alignment) {
    return New(size, AtLeast16(static_cast<std::size_t>(alignment)), __builtin_return_address(0),
               false);
}
DIDEVERAZEZ_PRELOAD_EXPORT void* operator new[](std::size_t size, std::align_val_t alignment) {
    return New(size, AtLeast16(static_cast<std::size_t>(alignment)), __builtin_return_address(0),
               false);
}
DIDEVERAZEZ_PRELOAD_EXPORT void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return New(size, kAlignment, __builtin_return_address(0), true);
}
DIDEVERAZEZ_PRELOAD_EXPORT void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return New(size, kAlignment, __builtin_return_address(0), true);
}
DIDEVERAZEZ_PRELOAD_EXPORT void* operator new(std::size_t size, std::align_val_t alignment,
                                              const std::nothrow_t&) noexcept {
    return New(size, AtLeast16(static_cast<std::size_t>(alignment)), __builtin_return_address(0),
               true);
}
DIDEVERAZEZ_PRELOAD_EXPORT void* operator new[](std::size_t size, std::align_val_t alignment,
                                                const std::nothrow_t&) noexcept {
    return New(size, AtLeast16(static_cast<std::size_t>(alignment)), __builtin_return_address(0),
               true);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete(void* block) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete[](void* block) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete(void* block, std::size_t) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete[](void* block, std::size_t) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete(void* block, std::align_val_t) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete[](void* block, std::align_val_t) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete(void* block, std::size_t,
                                                std::align_val_t) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete[](void* block, std::size_t,
                                                  std::align_val_t) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete(void* block, const std::nothrow_t&) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete[](void* block, const std::nothrow_t&) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete(void* block, std::align_val_t,
                                                const std::nothrow_t&) noexcept {
    Release(block);
}
DIDEVERAZEZ_PRELOAD_EXPORT void operator delete[](void* block, std::align_val_t,
                                                  const std::nothrow_t&) noexcept {
    Release(block);
}
