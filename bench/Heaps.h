// The allocators a team would pick instead of this library, each behind the
// same two operations so that one benchmark body measures them all in one
// process:
//
//   void* Alloc(std::size_t bytes);
//   void Free(void* block, std::size_t bytes);   // bytes as passed to Alloc
//
// jemalloc, mimalloc and tcmalloc replace the process's malloc when they are
// linked normally, which would put every other row on top of them. They are
// loaded with dlopen(RTLD_NOW | RTLD_LOCAL) instead and called through their
// own entry points, so glibc stays the process allocator. talloc is loaded the
// same way, so that the benchmarks build where none of the four is installed;
// a heap whose library is missing is simply not measured.
#pragma once

#include "handle/dideverazez.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <string>
#include <vector>

namespace bench {

// glibc's malloc and free: the reference every ratio is taken against.
struct GlibcHeap {
    void* Alloc(std::size_t bytes) { return std::malloc(bytes); }
    void Free(void* block, std::size_t) { std::free(block); }
};

// zu_alloc/zu_free on the deepest handle of a chain of `depth` handles below a
// root (depth 0: the root itself), through the shipped shared library. The
// tree lives as long as the heap.
class DideverazezHeap {
public:
    explicit DideverazezHeap(int depth);
    ~DideverazezHeap();
    DideverazezHeap(const DideverazezHeap&) = delete;
    DideverazezHeap& operator=(const DideverazezHeap&) = delete;

    void* Alloc(std::size_t bytes) { return zu_alloc(bytes, handle_, "bench"); }
    void Free(void* block, std::size_t) { zu_free(block, handle_); }

    zu_allocator& Handle() { return *handle_; }

private:
    std::vector<std::unique_ptr<zu_allocator>> chain_; // root first
    zu_allocator* handle_;
};

// The same accounting as the library keeps for one engine, bolted onto malloc:
// current, peak and cumulative bytes and counts under one std::mutex, with a
// 16-byte header in front of each block that remembers its size.
class AccountingHeap {
public:
    void* Alloc(std::size_t bytes);
    void Free(void* block, std::size_t);

private:
    struct Figure {
        std::int64_t current = 0, peak = 0, cumul = 0;
        void Add(std::int64_t n) {
            current += n;
            cumul += n;
            if (peak < current) {
                peak = current;
            }
        }
    };
    std::mutex mutex_;
    Figure bytes_;
    Figure count_;
};

// A std::pmr pool resource over the default upstream (new/delete).
template <class Resource> class PmrHeap {
public:
    void* Alloc(std::size_t bytes) { return resource_.allocate(bytes, alignof(std::max_align_t)); }
    void Free(void* block, std::size_t bytes) {
        resource_.deallocate(block, bytes, alignof(std::max_align_t));
    }

private:
    Resource resource_;
};
using SynchronizedPoolHeap = PmrHeap<std::pmr::synchronized_pool_resource>;
using UnsynchronizedPoolHeap = PmrHeap<std::pmr::unsynchronized_pool_resource>;

// A malloc/free pair resolved from a library loaded with RTLD_LOCAL.
struct LoadedHeap {
    void* (*alloc)(std::size_t) = nullptr;
    void (*free)(void*) = nullptr;

    bool Loaded() const { return alloc != nullptr && free != nullptr; }
    void* Alloc(std::size_t bytes) { return alloc(bytes); }
    void Free(void* block, std::size_t) { free(block); }
};

// The peers that come as shared libraries; each field is empty (not Loaded)
// when its Debian package is not installed or the library would not load.
struct LoadedPeers {
    LoadedHeap jemalloc;
    LoadedHeap mimalloc;
    LoadedHeap tcmalloc;
    // talloc's own entry points (its talloc_size and talloc_free are macros
    // over these two).
    void* (*tallocNamedConst)(const void* context, std::size_t size, const char* name) = nullptr;
    int (*tallocFree)(void* block, const char* location) = nullptr;
    std::string missing; // the libraries that could not be loaded, for the log
};

// Loads every peer once; later calls return the same set.
const LoadedPeers& Peers();

// A talloc child context ("bench" below a root context "root"): the one peer
// that is hierarchical and named like this library. Each block is a talloc
// child of that context.
class TallocHeap {
public:
    TallocHeap();
    ~TallocHeap();
    TallocHeap(const TallocHeap&) = delete;
    TallocHeap& operator=(const TallocHeap&) = delete;

    void* Alloc(std::size_t bytes) { return peers_.tallocNamedConst(child_, bytes, "block"); }
    void Free(void* block, std::size_t) { peers_.tallocFree(block, "bench"); }

private:
    const LoadedPeers& peers_;
    void* root_;
    void* child_;
};

// jemalloc keeps its thread state in initial-exec TLS, which a library loaded
// after start-up gets only when glibc was asked at start-up to keep static TLS
// room for it. When that tunable is missing, re-executes the program with it
// set (the environment is read by the dynamic loader before main) and does not
// return; when it is present or the re-execution fails, returns.
void EnsureRoomForJemalloc(char** argv);

} // namespace bench
