// Allocation engines: the statistics every engine keeps, the abstract engine
// `allocator_impl`, the paged memory manager shared by a tree of paged engines,
// and the two engines, `allocator_data` (paged) and `allocator_none` (basic).
// Declared here together, as every engine and its callers need most of them;
// defined by role: the engine base in kdideverazez_impl.cpp, the basic engine
// in basic_engine.cpp, the pool and the paged engine in paged_engine.cpp (one
// translation unit, so that the pool's operations inline into the engine's
// Alloc and Free), the heap calls in SystemHeap.cpp.
//
// Layering: a handle owns one engine; a paged engine takes its small blocks
// from the pool of its tree's root and its large ones from the C heap
// (engines/SystemHeap.h); the pool takes whole pages the same way.
//
// Statistics are plain 64-bit words. Writers of a paged tree are serialised by
// the tree lock; readers (metrics, reports) may look at them from other threads
// without it, so a counter only ever changes by one aligned 64-bit store and is
// read by a relaxed atomic load. All counters wrap modulo 2^64 rather than
// overflow.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

class allocator_impl;
struct MemoryManager;
struct PagedMemory;

// The C heap could not supply a block or a page. Raised before any statistic,
// list or counter has changed.
class allocation_failure : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "bad allocation"; }
};

namespace dideverazez::detail {

[[noreturn]] void ThrowAllocationFailure();

inline std::int64_t LoadFigure(const std::int64_t& figure) noexcept {
    return std::atomic_ref<std::int64_t>(const_cast<std::int64_t&>(figure))
        .load(std::memory_order_relaxed);
}

inline void StoreFigure(std::int64_t& figure, std::int64_t value) noexcept {
    std::atomic_ref<std::int64_t>(figure).store(value, std::memory_order_relaxed);
}

// On x86-64 with g++ or clang, a counter that is only added to or subtracted
// from is changed by one `add` or `sub` to memory: its single aligned 8-byte
// store is what a relaxed atomic store would be, and the compiler will not fuse
// a relaxed load, add and store into one instruction by itself
// (docs/performance.md, instruction counts). ThreadSanitizer cannot see inline
// assembly, so its builds, and other targets, use the relaxed atomic reference
// throughout.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#if defined(__SANITIZE_THREAD__)
#define DIDEVERAZEZ_FIGURES_IN_PLACE 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DIDEVERAZEZ_FIGURES_IN_PLACE 0
#endif
#endif
#ifndef DIDEVERAZEZ_FIGURES_IN_PLACE
#define DIDEVERAZEZ_FIGURES_IN_PLACE 1
#endif
#else
#define DIDEVERAZEZ_FIGURES_IN_PLACE 0
#endif

// Two's-complement sum and difference, without signed overflow.
inline std::int64_t Wrap(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
inline std::int64_t WrapSubtract(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

// Adds n (mod 2^64) to a counter whose writers are serialised.
inline void AddToFigure(std::int64_t& figure, std::int64_t n) noexcept {
#if DIDEVERAZEZ_FIGURES_IN_PLACE
    asm("addq %1, %0" : "+m"(figure) : "er"(n));
#else
    StoreFigure(figure, Wrap(LoadFigure(figure), n));
#endif
}

inline void SubtractFromFigure(std::int64_t& figure, std::int64_t n) noexcept {
#if DIDEVERAZEZ_FIGURES_IN_PLACE
    asm("subq %1, %0" : "+m"(figure) : "er"(n));
#else
    StoreFigure(figure, WrapSubtract(LoadFigure(figure), n));
#endif
}

// The writer's own read of a counter. Only the writer stores to it, so with
// in-place updates a plain read races with nothing and may fold into a compare.
inline std::int64_t OwnFigure(const std::int64_t& figure) noexcept {
#if DIDEVERAZEZ_FIGURES_IN_PLACE
    return figure;
#else
    return LoadFigure(figure);
#endif
}

} // namespace dideverazez::detail

// Three counters of one quantity. Adding raises Current and Cumul, and Peak when
// Current passes it; subtracting lowers Current only (it may go negative).
struct StatValue {
    std::int64_t Current = 0;
    std::int64_t Peak = 0;
    std::int64_t Cumul = 0;

    void Add(std::int64_t n) noexcept {
        using namespace dideverazez::detail;
        // Current is summed in a register and stored, rather than added in
        // place and read back for the peak: the read-back would wait for the
        // store.
        const std::int64_t current = Wrap(OwnFigure(Current), n);
        StoreFigure(Current, current);
        AddToFigure(Cumul, n);
        if (OwnFigure(Peak) < current) {
            StoreFigure(Peak, current);
        }
    }
    void Subtract(std::int64_t n) noexcept { dideverazez::detail::SubtractFromFigure(Current, n); }
    // A copy read counter by counter; safe while a writer holds the tree lock.
    StatValue Load() const noexcept {
        using namespace dideverazez::detail;
        return {LoadFigure(Current), LoadFigure(Peak), LoadFigure(Cumul)};
    }
};

// Bytes and items of one kind of use. Charging n bytes adds n to Memory and 1
// to Counter; discharging subtracts them.
struct StatAlloc {
    StatValue Memory;
    StatValue Counter;

    void Charge(std::int64_t bytes) noexcept {
        Memory.Add(bytes);
        Counter.Add(1);
    }
    void Discharge(std::int64_t bytes) noexcept {
        Memory.Subtract(bytes);
        Counter.Subtract(1);
    }
    bool IsEmpty() const noexcept {
        using dideverazez::detail::LoadFigure;
        return LoadFigure(Memory.Current) == 0 && LoadFigure(Counter.Current) == 0;
    }
    StatAlloc Load() const noexcept { return {Memory.Load(), Counter.Load()}; }
};
// Statistics are plain 64-bit counters in their documented order.
static_assert(sizeof(StatValue) == 24 && offsetof(StatValue, Cumul) == 16);
static_assert(offsetof(StatValue, Peak) == 8 && offsetof(StatAlloc, Counter) == 24);

// The process statistics of an engine. Times are milliseconds of processor time
// of the whole process; the virtual-memory values are never measured.
struct ProcessInfo {
    void* ProcessHandle = nullptr;
    std::uint32_t ProcessId = 0;
    std::uint64_t UserTime = 0;
    std::uint64_t KernelTime = 0;
    std::uint64_t VmStart = 0;
    std::uint64_t VmPeak = 0;
    bool Running = false;

    ProcessInfo() = default;
    std::uint64_t GetCurrentVm() const noexcept { return 0; }
};

namespace dideverazez {
// The bytes a block takes beyond those asked for, in a pool page (its link
// word and header) or from the C heap (a word, then its header).
inline constexpr std::uint64_t kBlockOverhead = 24;
// The debug fill (allocator_impl::DebugFill): the user bytes of a block handed
// out, and every byte of a block returned to its page or freed to the C heap.
inline constexpr unsigned char kFillHandedOut = 0xCD;
inline constexpr unsigned char kFillReturned = 0xFE;
} // namespace dideverazez

// The two words in front of every user pointer p: the engine that allocated
// the block (at p - 16) and, for a block taken straight from the C heap, the
// bytes taken for it (at p - 8), or 0 for a block that lives in a pool page.
struct BlockHeader {
    allocator_impl* Owner;
    std::uint64_t Size;
};
// Owner at p - 16, Size at p - 8.
static_assert(sizeof(BlockHeader) == 16 && offsetof(BlockHeader, Size) == 8);

inline BlockHeader* HeaderOf(void* userPointer) noexcept {
    return reinterpret_cast<BlockHeader*>(static_cast<char*>(userPointer) - sizeof(BlockHeader));
}

// The abstract engine: place in the tree, name, tree lock, statistics and
// process statistics. Virtual operations stand in this order.
class allocator_impl {
public:
    // `name` is kept as given (not copied); null becomes "<unknown>". A child
    // takes its parent's Root and DebugFill. A non-global engine starts
    // measuring the process's processor time.
    allocator_impl(const char* name, allocator_impl* parent, bool isGlobal);
    // A global engine that still holds memory writes one "MEMORY ERROR" trace
    // error; nothing is freed on account of it.
    virtual ~allocator_impl();

    allocator_impl(const allocator_impl&) = delete;
    allocator_impl& operator=(const allocator_impl&) = delete;

    // 0 for the basic engine, 1 for the paged engine.
    virtual int GetKind() const = 0;
    // Stops the time measurement on its first call; later calls change nothing.
    virtual void Flush();
    // UserTime + KernelTime, whatever the state of the measurement.
    virtual std::uint64_t GetTimeTotal() const;
    // Returns a user pointer to `size` bytes; raises std::bad_alloc when the
    // heap fails or the block size would not fit in 64 bits, with nothing
    // changed. `name` and `category` are ignored.
    virtual void* Alloc(std::uint64_t size, const char* name, const char* category) = 0;
    // Takes back a non-null block whose header names this engine (trusted).
    virtual void Free(void* p) = 0;
    virtual void IncMemoryUsed(std::uint64_t bytes) = 0;
    virtual void DecMemoryUsed(std::uint64_t bytes) = 0;
    virtual void Reserve(std::uint64_t bytes) = 0;
    virtual void UnReserve(std::uint64_t bytes) = 0;
    // Not settled; answers 0.
    virtual std::int64_t Spare();

    // True when no memory is pending: (IsGlobal or GlobalStat empty) and every
    // other statistic empty, ReservedStat's Current 0.
    bool IsEmpty() const;

    allocator_impl* Parent; // null for a root
    allocator_impl* Root;   // the root of the tree; this engine for a root
    const char* Name;       // held, not owned
    bool IsGlobal;
    bool DebugFill;   // kFillHandedOut over handed-out blocks, kFillReturned over returned ones
    std::mutex Mutex; // only the Root's is locked: the tree lock
    // The counters every pooled block changes stand together behind the lock:
    // 144 bytes, so three cache lines wherever the heap puts the engine (it
    // aligns to 16), which is all a thread sharing the tree takes over from
    // another for them. A root's pooled blocks change PooledStat alone, next
    // to its lock.
    StatAlloc PooledStat;   // blocks from the size classes, at their stride
    StatAlloc SelfStat;     // this engine alone
    StatAlloc GlobalStat;   // this engine and its descendants
    StatAlloc LargeStat;    // blocks taken straight from the C heap
    StatAlloc UsedStat;     // declared with IncMemoryUsed / DecMemoryUsed
    StatValue ReservedStat; // declared with Reserve / UnReserve, bytes only
    StatAlloc PageStat;     // pages of the pool this engine owns
    ProcessInfo Process;
    // Its entry in the registry of handles (observe/Registry.cpp), null when
    // it is not recorded. Read and written by the registry alone.
    void* Registration = nullptr;

protected:
    // The time step of Flush shared by every engine.
    void StopTimeMeasurement();
};

// ---------------------------------------------------------------------------
// Paged memory manager

// A pooled block: its page (while in use) or the next free block of its page
// (while free), then the block header whose Size is always 0.
struct PooledBlock {
    void* Link;
    allocator_impl* Owner;
    std::uint64_t Size;
};
// A pooled block: its Link word, then its block header, then the user bytes.
static_assert(sizeof(PooledBlock) == 24 && offsetof(PooledBlock, Owner) == 8);
static_assert(offsetof(PooledBlock, Size) == 16);

// The header of a pool page: 4036 bytes from the C heap, this header, then the
// block area. Block i starts Stride * i bytes into the area; the bytes behind
// the last block are left over, and the very last byte of the page records
// whether the free list is still in build order (paged_engine.cpp).
//
// Invariants: UsedCount + FreeCount == Capacity; the free list holds exactly
// FreeCount blocks of this page, each on a stride boundary with a Size word of
// 0; the page is on its manager's list exactly when UsedCount and FreeCount
// are both above 0 (a full page has null links, an empty one is cached or
// freed at once).
struct Page {
    MemoryManager* Manager; // the class the page serves
    Page* Prev;             // neighbours on the manager's list; null off it
    Page* Next;
    std::uint64_t Stride;    // BlockSize + 24
    std::uint64_t Capacity;  // 3972 / Stride
    std::uint64_t UsedCount; // blocks handed out
    std::uint64_t FreeCount; // blocks on FreeList
    PooledBlock* FreeList;   // the block handed out next; null when full
};
// Eight 64-bit words in this order.
static_assert(sizeof(Page) == 64 && offsetof(Page, Prev) == 8 && offsetof(Page, Next) == 16);
static_assert(offsetof(Page, Stride) == 24 && offsetof(Page, Capacity) == 32);
static_assert(offsetof(Page, UsedCount) == 40 && offsetof(Page, FreeCount) == 48);

// The first broken invariant of a pool: what, and where. Invariant is null
// when every invariant holds.
struct PoolFault {
    const char* Invariant = nullptr;
    std::uint64_t ClassSize = 0; // 0 for the cache and the owner's counters
    const Page* At = nullptr;    // null when no one page is at fault
    explicit operator bool() const noexcept { return Invariant != nullptr; }
};

// One size class of a pool. Its list holds exactly the pages of the class that
// have both free and used blocks, the page that last got a block back first.
//
// What every block taken or returned reads and writes, the head of the list
// and the Blocks counter, comes first: 32 bytes, which share one cache line
// more often than not (a manager is 72 bytes, 8-aligned), rather than two.
struct MemoryManager {
    Page* FirstPage = nullptr;
    StatValue Blocks; // blocks of the class in use / at most / ever handed out
    StatValue Pages;  // pages serving the class now / at most / ever taken
    PagedMemory* Pool = nullptr;
    std::uint64_t BlockSize = 0;

    // A block of this class whose Link is its page: the first free block of the
    // head page, or of a new page. Raises std::bad_alloc, with nothing
    // changed, when a page is needed and the heap fails to supply it.
    PooledBlock* TakeBlock();
    // Gives up a page whose blocks are all free: cached when fewer than four
    // pages are cached, freed to the C heap otherwise.
    void ReleasePage(Page* page);
};

// The pool of a tree of paged engines: 18 size classes carving 4036-byte pages
// into blocks, and a cache of up to four empty pages. It has no lock: callers
// hold the tree lock.
struct PagedMemory {
    static constexpr std::uint64_t PageBytes = 4036;
    static constexpr std::uint64_t PageHeaderBytes = 64;
    static constexpr std::uint64_t BlockAreaBytes = PageBytes - PageHeaderBytes; // 3972
    static constexpr std::uint64_t BlockHeaderBytes = dideverazez::kBlockOverhead;
    static constexpr std::uint64_t CacheLimit = 4;
    static constexpr std::size_t ClassCount = 18;
    static constexpr std::uint64_t ClassSizes[ClassCount] = {
        8, 16, 32, 48, 64, 80, 96, 128, 160, 192, 224, 256, 320, 384, 512, 640, 768, 1024};
    static constexpr std::uint64_t LargestClass = ClassSizes[ClassCount - 1];

    // The manager of the smallest class whose BlockSize is at least `size`
    // (size <= LargestClass), found from a table of byte offsets.
    MemoryManager& ManagerFor(std::uint64_t size) noexcept;

    explicit PagedMemory(allocator_impl* owner);
    // Frees the cached pages; pages still holding blocks in use stay on the
    // heap and stay charged to the Owner.
    ~PagedMemory();
    PagedMemory(const PagedMemory&) = delete;
    PagedMemory& operator=(const PagedMemory&) = delete;

    // The newest cached page, or a new one from the C heap charged to the
    // Owner. Raises std::bad_alloc, with nothing changed, when the heap fails.
    Page* TakePage();
    // Takes back a block handed out by TakeBlock.
    static void ReturnBlock(PooledBlock* block);
    // Frees every cached page, newest first, discharging the Owner.
    void FlushCache();

    // The page of a pooled block in use, read from its Link word.
    static Page* PageOf(const void* userPointer) noexcept;

    // Checks every structural invariant of the pool: each class as CheckClass
    // does, the cache, and the Owner's PageStat against the pages held. The
    // caller holds the tree lock. The checking build runs it after every page
    // taken, cached or freed; anyone may call it.
    PoolFault CheckInvariants() const;
    // One class: its list's links, its listed pages (counts, stride, free
    // lists) and its Blocks counter against the blocks its pages hold. The
    // checking build runs it after every block taken or returned.
    PoolFault CheckClass(const MemoryManager& manager) const;

    allocator_impl* Owner;
    std::uint64_t FreePageCount;
    Page* FreePages[CacheLimit];
    MemoryManager Managers[ClassCount];
};

// ---------------------------------------------------------------------------
// Engines

// The paged engine: requests up to 1024 bytes from its tree's pool, larger ones
// from the C heap, every operation under the tree lock.
class allocator_data final : public allocator_impl {
public:
    // `parent`, when given, must be a paged engine (std::invalid_argument
    // otherwise).
    allocator_data(const char* name, allocator_impl* parent, bool isGlobal);
    // Frees the cached pages of its own pool (the tree's, for a root).
    ~allocator_data() override;

    int GetKind() const override { return 1; }
    // Frees the tree's cached pages and stops the time measurement, both under
    // the tree lock. Never called with the tree lock held, so it cannot
    // deadlock.
    void Flush() override;
    void* Alloc(std::uint64_t size, const char* name, const char* category) override;
    void Free(void* p) override;
    void IncMemoryUsed(std::uint64_t bytes) override;
    void DecMemoryUsed(std::uint64_t bytes) override;
    void Reserve(std::uint64_t bytes) override;
    void UnReserve(std::uint64_t bytes) override;

    bool OwnsPool() const noexcept { return Pool == &OwnPool; }

    PagedMemory OwnPool; // built into every paged engine; used by the root only
    PagedMemory* Pool;   // the tree's pool: the root's OwnPool

private:
    // The engines between this one and the root, nearest first: those whose
    // GlobalStat every block of this engine is charged to besides its own (the
    // root's too for heap blocks and declared amounts). The first
    // kCachedAncestors are held here, so that the charge loads each of them
    // directly instead of following Parent links, each load waiting for the
    // last; deeper ones are walked from the last cached one.
    static constexpr std::size_t kCachedAncestors = 8;
    allocator_impl* Ancestors[kCachedAncestors];
    std::size_t AncestorCount; // min(depth - 1, kCachedAncestors); 0 for a root

    // StatAlloc::Charge or Discharge of `amount` on the GlobalStat of every
    // engine between this one and the root (the inner ancestors); the Chain
    // form on this engine's, theirs and the root's.
    template <void (StatAlloc::*Apply)(std::int64_t) noexcept>
    void ApplyToInnerAncestors(std::int64_t amount) noexcept;
    template <void (StatAlloc::*Apply)(std::int64_t) noexcept>
    void ApplyToChain(std::int64_t amount) noexcept;
    // The inner ancestors beyond the cached ones (depth above kCachedAncestors + 1).
    template <void (StatAlloc::*Apply)(std::int64_t) noexcept>
    [[gnu::noinline]] void ApplyToUncachedAncestors(std::int64_t amount) noexcept;

    // Requests above the largest class, from the C heap (tree lock taken here).
    [[gnu::noinline]] void* AllocLarge(std::uint64_t size);
    // A heap block back to the C heap; the caller holds the tree lock.
    [[gnu::noinline]] void FreeLarge(void* p);
    void ChargeDeclared(std::int64_t bytes, StatAlloc* kind);
    void DischargeDeclared(std::int64_t bytes, StatAlloc* kind);
};

// The basic engine: every block from the C heap, no pool, no lock; only the
// GlobalStat of the engine and of its root are kept.
class allocator_none final : public allocator_impl {
public:
    allocator_none(const char* name, allocator_impl* parent, bool isGlobal);
    ~allocator_none() override;

    int GetKind() const override { return 0; }
    void* Alloc(std::uint64_t size, const char* name, const char* category) override;
    void Free(void* p) override;
    void IncMemoryUsed(std::uint64_t bytes) override;
    void DecMemoryUsed(std::uint64_t bytes) override;
    void Reserve(std::uint64_t bytes) override;
    void UnReserve(std::uint64_t bytes) override;

private:
    void Charge(std::int64_t bytes) noexcept;
    void Discharge(std::int64_t bytes) noexcept;
};
