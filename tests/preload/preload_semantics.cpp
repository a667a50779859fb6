// What a program may rely on from its C and C++ heap, checked in a program run
// with LD_PRELOAD=libdideverazez_preload.so (tests/preload/CMakeLists.txt):
// alignments, zeroed and resized blocks, usable sizes, errors, and blocks
// freed by another thread, also after the thread that allocated them ended.
// Exit status 0 when everything holds; each failure is one line.

#include <malloc.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

namespace {

int failures = 0;

void Expect(bool ok, const char* what, std::size_t detail) {
    if (!ok) {
        std::printf("FAILED: %s (%zu)\n", what, detail);
        ++failures;
    }
}

bool Aligned(const void* p, std::size_t alignment) {
    return reinterpret_cast<std::uintptr_t>(p) % alignment == 0;
}

struct alignas(64) Line {
    char bytes[64];
};

} // namespace

int main() {
    for (std::size_t size = 0; size <= 2100; size += size < 64 ? 1 : 37) {
        auto* p = static_cast<unsigned char*>(std::malloc(size));
        const std::size_t usable = malloc_usable_size(p);
        Expect(p != nullptr && Aligned(p, 16) && usable >= size, "malloc", size);
        std::memset(p, 0xAB, usable); // every usable byte is the caller's
        auto* q = static_cast<unsigned char*>(std::calloc(size + 1, 1));
        Expect(q != nullptr && q[size] == 0 && (size == 0 || q[0] == 0), "calloc zeroes", size);
        p = static_cast<unsigned char*>(std::realloc(p, size * 2 + 1));
        Expect(size == 0 || (p[0] == 0xAB && p[size - 1] == 0xAB), "realloc keeps", size);
        std::free(q);
        std::free(p);
    }
    // A large calloc looks at each page before clearing it: freed bytes, one
    // in a page, must not come back.
    for (std::size_t size : {std::size_t{100} << 10, std::size_t{3} << 20}) {
        auto* dirty = static_cast<unsigned char*>(std::malloc(size));
        for (std::size_t i = 4095; i < size; i += 4096) {
            dirty[i] = 0xAB;
        }
        std::free(dirty);
        auto* q = static_cast<unsigned char*>(std::calloc(size, 1));
        Expect(q != nullptr && std::count(q, q + size, 0) == static_cast<std::ptrdiff_t>(size),
               "large calloc zeroes", size);
        std::free(q);
    }
    for (std::size_t alignment = 32; alignment <= 8192; alignment *= 2) {
        void* p = nullptr;
        Expect(posix_memalign(&p, alignment, 100) == 0 && Aligned(p, alignment), "posix_memalign",
               alignment);
        void* q = aligned_alloc(alignment, alignment);
        void* r = memalign(alignment, 1);
        Expect(Aligned(q, alignment) && Aligned(r, alignment), "aligned_alloc, memalign",
               alignment);
        std::free(p), std::free(q), std::free(r);
    }
    void* p = nullptr;
    const volatile std::size_t huge = SIZE_MAX / 2; // no compile-time size checks
    Expect(posix_memalign(&p, 24, 8) == EINVAL, "an alignment not a power of two", 24);
    Expect(std::calloc(huge, 4) == nullptr && errno == ENOMEM, "calloc overflow", 0);
    Expect(std::malloc(huge) == nullptr && errno == ENOMEM, "impossible size", 0);
    // This program's first exception, so that its runtime's unwinder has not
    // unwound before: std::bad_alloc from the preload's operator new, thrown by
    // the preload's own copy of the unwinder, caught here through libgcc_s.
    bool caught = false;
    try {
        delete[] new char[huge];
    } catch (const std::bad_alloc&) {
        caught = true;
    }
    Expect(caught, "new of an impossible size throws std::bad_alloc", 0);
    // The program's new-handler is called while new fails, here once: it
    // removes itself, and new throws, or returns null for std::nothrow.
    static int handled = 0;
    const auto once = [] {
        ++handled;
        std::set_new_handler(nullptr);
    };
    std::set_new_handler(once);
    caught = false;
    try {
        delete[] new char[huge];
    } catch (const std::bad_alloc&) {
        caught = true;
    }
    Expect(caught && handled == 1, "new calls the program's new-handler", handled);
    std::set_new_handler(once);
    Expect(new (std::nothrow) char[huge] == nullptr&& handled == 2,
           "nothrow new calls the program's new-handler", handled);
    std::set_new_handler([] { throw std::bad_alloc(); });
    Expect(new (std::nothrow) char[huge] == nullptr, "nothrow new when the handler throws", 0);
    std::set_new_handler(nullptr);
    errno = 0;
    Expect(pvalloc(SIZE_MAX - 100) == nullptr && errno == ENOMEM, "pvalloc rounding past 2^64", 0);
    Expect(std::realloc(std::malloc(10), 0) == nullptr, "realloc to 0 frees", 0);
    auto* line = new Line[3];
    Expect(Aligned(line, 64), "aligned new[]", 64);
    delete[] line;

    // Blocks freed by another thread, after the thread that allocated them ended.
    std::vector<void*> blocks(1000);
    std::thread([&] {
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            blocks[i] = i % 2 ? std::malloc(i) : new char[i + 1];
        }
    }).join();
    std::thread([&] {
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            i % 2 ? std::free(blocks[i]) : delete[] static_cast<char*>(blocks[i]);
        }
    }).join();
    std::printf("%s\n",
                failures == 0 ? "preload semantics: all hold" : "preload semantics: FAILED");
    return failures == 0 ? 0 : 1;
}
