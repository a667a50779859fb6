// dideverazez: named, hierarchical memory allocators with accounting.
//
// A module creates `zu_allocator` handles (roots, or children of other
// handles), allocates and frees through them or through the free functions
// below, declares extra use and reservations by hand, and reads each handle's
// metrics. Every block carries a header naming the engine that owns it, so a
// block can be freed through any handle, or through none.
//
// Blocks are aligned to 8 bytes. Requests of up to 1024 bytes are served from
// pooled pages shared by the whole tree of a root; larger ones come from the C
// heap. Every allocation, release and accounting call of one tree is
// serialised on the root's lock, so the handles of a tree may be used from
// several threads; creating and destroying handles must not race with other
// use of the same handles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>

#if defined(_WIN32)
#if defined(DIDEVERAZEZ_BUILDING)
#define DIDEVERAZEZ_API __declspec(dllexport)
#elif defined(DIDEVERAZEZ_STATIC)
#define DIDEVERAZEZ_API
#else
#define DIDEVERAZEZ_API __declspec(dllimport)
#endif
#else
#define DIDEVERAZEZ_API __attribute__((visibility("default")))
#endif

class allocator_impl;
class zu_allocator;

// The client's context, notified when a handle is destroyed with memory in use.
// The library never creates, copies or destroys a context; it must outlive the
// handle it is set on and all that handle's descendants.
struct IAllocatorContext {
    // Called once by the destructor of a handle whose engine still holds
    // memory, on the nearest context found from that handle up to its root.
    virtual void OnMemoryError(bool pending) = 0;

protected:
    ~IAllocatorContext() = default;
};

// Allocates `size` bytes through `allocator` (which must not be null: a null
// handle raises std::invalid_argument). Raises std::bad_alloc when the C heap
// cannot supply the block, or when `size` is within 24 bytes of SIZE_MAX; then
// nothing has changed. `name` and `category` describe the request and are not
// stored.
DIDEVERAZEZ_API void* zu_alloc(size_t size, zu_allocator* allocator, const char* name);
DIDEVERAZEZ_API void* zu_alloc(size_t size, zu_allocator* allocator, const char* name,
                               const char* category);
// The same as zu_alloc: `size` is the total number of bytes.
DIDEVERAZEZ_API void* zu_alloc_array(size_t size, zu_allocator* allocator, const char* name);
DIDEVERAZEZ_API void* zu_alloc_array(size_t size, zu_allocator* allocator, const char* name,
                                     const char* category);

// Frees `block` through the engine named in its header; `allocator` is not
// read and may be null. A null block is ignored. The block must come from one
// of the allocating functions and must not have been freed already, and the
// handle that allocated it must still be alive: none of this is checked.
DIDEVERAZEZ_API void zu_free(void* block, zu_allocator* allocator);
DIDEVERAZEZ_API void zu_free_array(void* block, zu_allocator* allocator);

// The bytes at `block` its caller may use: the size of its class for a block
// from the pooled pages (at least the size asked for), the size asked for a
// larger one. A null block answers 0. The block must be in use, as for
// zu_free (not checked); no lock is taken.
DIDEVERAZEZ_API size_t zu_usable_size(const void* block);

// Debug hooks. dbg_alloc/dbg_free wrap the C heap for every piece of storage
// the library takes for itself (no header, no accounting, no trace); dbg_alloc
// returns null, without raising, when the heap has no block. dbg_free ignores
// null. The profiling hooks have no effect; dbg_profileLoopEnd returns 0.
DIDEVERAZEZ_API void* dbg_alloc(size_t size);
DIDEVERAZEZ_API void dbg_free(void* block);
DIDEVERAZEZ_API void dbg_profileStart();
DIDEVERAZEZ_API void dbg_profileStop();
DIDEVERAZEZ_API void dbg_profileLoopBegin(const char* name);
DIDEVERAZEZ_API size_t dbg_profileLoopEnd();

// A named node in a tree of allocators. A handle owns one allocation engine
// and forwards every request to it; it keeps no counters of its own.
//
// The name is not copied and must outlive the handle. Children must be
// destroyed before their parent, and blocks before the handle that allocated
// them. Handles are neither copied nor moved.
class DIDEVERAZEZ_API zu_allocator {
public:
    // The statistics read by GetMetrics, in this order. Bytes and counts are
    // those of the handle's subtree unless named "Self".
    struct Metrics {
        int64_t TimeTotal;     // processor time of the process since the engine was built, ms
        int64_t SelfPeak;      // peak bytes charged to this handle alone
        int64_t MemoryPeak;    // peak bytes of the subtree
        int64_t MemoryCurrent; // bytes of the subtree now
        int64_t MemoryCumul;   // bytes ever charged to the subtree
        int64_t CountCurrent;  // items of the subtree now
        int64_t CountCumul;    // items ever charged to the subtree
    };

    // A root handle. `global` marks the module-wide root: its engine does not
    // measure time and checks for pending memory itself when destroyed.
    zu_allocator(const char* name = nullptr, bool global = false);
    // A child of `*parent`; a null parent gives a root.
    zu_allocator(zu_allocator* parent, const char* name);
    // A child of `parent`.
    zu_allocator(zu_allocator& parent, const char* name);
    // Writes the destruction trace; when memory is still in use, two
    // "MEMORY ERROR" trace lines and a call of the nearest context's
    // OnMemoryError(true). Pending blocks are reported, not freed.
    ~zu_allocator();

    zu_allocator(const zu_allocator&) = delete;
    zu_allocator& operator=(const zu_allocator&) = delete;

    // The topmost handle of this handle's tree (itself for a root).
    zu_allocator& GetRootAllocator();
    // Sets the context notified of pending memory (null clears it); not owned.
    void SetAllocatorContext(IAllocatorContext* context);

    // Allocates `size` bytes (8-byte aligned) charged to this handle; raises
    // std::bad_alloc as zu_alloc does.
    void* Alloc(size_t size);
    // Frees `block` through the engine that allocated it; null is ignored.
    void Free(void* block);

    // Declares, or takes back, use of `bytes` that the handle did not allocate.
    void IncMemoryUsed(size_t bytes);
    void DecMemoryUsed(size_t bytes);
    // Declares, or takes back, a reservation of `bytes`. Reserve always
    // returns true.
    bool Reserve(size_t bytes);
    void UnReserve(size_t bytes);
    // No limits are kept: always true.
    bool CheckLimits();

    // Stops the engine's time measurement (first call only), releases the
    // tree's cached empty pages, and fills `metrics`.
    void GetMetrics(Metrics& metrics) const;
    // Writes nothing: `out` receives no character and keeps its state.
    void Dump(std::ostream& out);

private:
    // The module's own code (free functions, report tools, tests) reaches the
    // engine through this; it is not part of the exported interface.
    friend struct zu_allocator_access;

    const char* name_;           // the caller's string (held, not owned)
    zu_allocator* parent_;       // null for a root (held, not owned)
    allocator_impl* engine_;     // owned; never null after construction
    void* reserved_;             // unused
    IAllocatorContext* context_; // held, not owned
};
