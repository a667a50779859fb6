// What AddressSanitizer and valgrind's memcheck may see of pooled memory.
//
// A pool page is one heap block to these tools: without help they would let a
// client read a freed pooled block, or write past its block into the next
// one, unseen. So in AddressSanitizer builds (always) and in builds with
// DIDEVERAZEZ_VALGRIND (memcheck's client requests) the pool marks
//  - a page header: accessible, it is the library's own bookkeeping;
//  - a free block, and the bytes behind the last block of a page: hidden;
//  - a block in use: its Link word hidden, its BlockHeader (Owner, Size)
//    accessible, its user bytes accessible up to the size requested and
//    hidden beyond. The header stays readable because every free path reads
//    it without a lock and before it knows the block's kind; a block freed a
//    second time is hidden by then, so the checker reports that very call.
// The library shows what it is about to touch itself and hides it again.
// Heap blocks need nothing: the tools see each one as the heap block it is.
// In every other build these are empty and the hot paths pay nothing.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define DIDEVERAZEZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DIDEVERAZEZ_ASAN 1
#endif
#endif

#if defined(DIDEVERAZEZ_ASAN)
#include <sanitizer/asan_interface.h>
#define DIDEVERAZEZ_HIDE(p, n) __asan_poison_memory_region((p), (n))
#define DIDEVERAZEZ_SHOW(p, n) __asan_unpoison_memory_region((p), (n))
#define DIDEVERAZEZ_HAND_OUT(p, n) __asan_unpoison_memory_region((p), (n))
#elif defined(DIDEVERAZEZ_VALGRIND)
#include <valgrind/memcheck.h>
#define DIDEVERAZEZ_HIDE(p, n) VALGRIND_MAKE_MEM_NOACCESS((p), (n))
#define DIDEVERAZEZ_SHOW(p, n) VALGRIND_MAKE_MEM_DEFINED((p), (n))
#define DIDEVERAZEZ_HAND_OUT(p, n) VALGRIND_MAKE_MEM_UNDEFINED((p), (n))
#else
#define DIDEVERAZEZ_HIDE(p, n) ((void)(p), (void)(n))
#define DIDEVERAZEZ_SHOW(p, n) ((void)(p), (void)(n))
#define DIDEVERAZEZ_HAND_OUT(p, n) ((void)(p), (void)(n))
#endif

namespace dideverazez::detail {

// No one may touch these bytes until they are shown again.
inline void Hide(const void* p, std::size_t n) noexcept {
    DIDEVERAZEZ_HIDE(p, n);
}

// The library itself is about to read or write these bytes.
inline void Show(const void* p, std::size_t n) noexcept {
    DIDEVERAZEZ_SHOW(p, n);
}

// User bytes handed to a client: accessible, contents not yet written.
inline void HandOut(const void* p, std::size_t n) noexcept {
    DIDEVERAZEZ_HAND_OUT(p, n);
}

} // namespace dideverazez::detail
