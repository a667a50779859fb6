// The paged memory manager and the paged engine. They share this translation
// unit so that the pool operations inline into the engine's Alloc and Free.

#include "engines/kdideverazez_impl.h"

#include "engines/Checks.h"
#include "engines/MemoryCheckers.h"
#include "engines/SystemHeap.h"
#include "platform/Platform.h"

#include <array>
#include <cstring>
#include <functional>
#include <stdexcept>

// g++ merges the neighbouring page counts (UsedCount, FreeCount) into one
// vector addition and then extracts the count it tests, which costs more
// instructions on the hot path than two scalar updates.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-slp-vectorize")
#endif

namespace {

using dideverazez::detail::HandOut;
using dideverazez::detail::Hide;
using dideverazez::detail::Show;
using dideverazez::detail::ThrowAllocationFailure;

constexpr std::uint64_t kDocumentedCapacity[PagedMemory::ClassCount] = {
    124, 99, 70, 55, 45, 38, 33, 26, 21, 18, 16, 14, 11, 9, 7, 5, 5, 3};

constexpr bool ClassTableIsSound() {
    for (std::size_t i = 0; i < PagedMemory::ClassCount; ++i) {
        const std::uint64_t size = PagedMemory::ClassSizes[i];
        const std::uint64_t stride = size + PagedMemory::BlockHeaderBytes;
        if (size % 8 != 0 || (i > 0 && size <= PagedMemory::ClassSizes[i - 1])) {
            return false; // sorted, and multiples of 8 so that ManagerFor can work in eighths
        }
        if (PagedMemory::BlockAreaBytes / stride != kDocumentedCapacity[i]) {
            return false;
        }
        // The order mark lives in the last byte of the page, which must lie
        // behind the last block in every class.
        if (PagedMemory::BlockAreaBytes - kDocumentedCapacity[i] * stride < 1) {
            return false;
        }
    }
    return true;
}
static_assert(ClassTableIsSound(), "size classes: sorted, strides and capacities as documented");

// Class index for every request size rounded up to a multiple of 8: because
// every class size is a multiple of 8, the first class that holds the rounded
// size is the first that holds the size itself.
constexpr std::array<std::uint8_t, PagedMemory::LargestClass / 8 + 1> kClassOfEighths = [] {
    std::array<std::uint8_t, PagedMemory::LargestClass / 8 + 1> table{};
    std::size_t cls = 0;
    for (std::size_t eighths = 0; eighths < table.size(); ++eighths) {
        while (PagedMemory::ClassSizes[cls] < eighths * 8) {
            ++cls;
        }
        table[eighths] = static_cast<std::uint8_t>(cls);
    }
    return table;
}();

// The same table as byte offsets of the class's manager within its pool, so
// that finding the manager for a size is one load and one add rather than an
// index times the manager size (docs/performance.md, Before and after the
// hot-path work).
static_assert(sizeof(PagedMemory) <= UINT16_MAX, "manager offsets fit in 16 bits");
constexpr std::array<std::uint16_t, PagedMemory::LargestClass / 8 + 1> kManagerOffsetOfEighths =
    [] {
        std::array<std::uint16_t, PagedMemory::LargestClass / 8 + 1> table{};
        for (std::size_t eighths = 0; eighths < table.size(); ++eighths) {
            table[eighths] = static_cast<std::uint16_t>(
                offsetof(PagedMemory, Managers) + kClassOfEighths[eighths] * sizeof(MemoryManager));
        }
        return table;
    }();

// Whether a page's free list is still in the order a rebuild would give it:
// every free block in ascending address order and every Size word 0.
// Taking the head keeps the order; pushing a block above the current head
// breaks it. A cached page that kept the order is taken back by a class of the
// same stride without rewriting its blocks, with the same result as a rebuild.
// The mark is the last byte of the page, behind the last block in every class.
enum : unsigned char { kInBuildOrder = 0x5a, kOrderDisturbed = 0xa5 };

unsigned char* OrderMark(Page* page) noexcept {
    return reinterpret_cast<unsigned char*>(page) + PagedMemory::PageBytes - 1;
}

// The mark lies in the page's hidden slack (MemoryCheckers.h).
unsigned char ReadOrderMark(Page* page) noexcept {
    Show(OrderMark(page), sizeof(unsigned char));
    const unsigned char mark = *OrderMark(page);
    Hide(OrderMark(page), sizeof(unsigned char));
    return mark;
}

void WriteOrderMark(Page* page, unsigned char mark) noexcept {
    Show(OrderMark(page), sizeof(unsigned char));
    *OrderMark(page) = mark;
    Hide(OrderMark(page), sizeof(unsigned char));
}

char* BlockArea(Page* page) noexcept {
    return reinterpret_cast<char*>(page + 1);
}

// The checking build's checks after a block of `manager`'s class was taken or
// returned, and after a page was taken, cached or freed.
inline void VerifyClass(const MemoryManager& manager) noexcept {
#if defined(DIDEVERAZEZ_CHECKED)
    dideverazez::checks::AbortOn(manager.Pool->CheckClass(manager));
#else
    (void)manager;
#endif
}

inline void VerifyPool(const PagedMemory& pool) noexcept {
#if defined(DIDEVERAZEZ_CHECKED)
    dideverazez::checks::AbortOn(pool.CheckInvariants());
#else
    (void)pool;
#endif
}

// In the checking build the Owner word of a free block marks it free, so that
// a second free of it is distinguished from a first.
inline void MarkFree([[maybe_unused]] PooledBlock* block) noexcept {
#if defined(DIDEVERAZEZ_CHECKED)
    block->Owner = dideverazez::checks::FreedBlockOwner();
#endif
}

void ChargePage(allocator_impl* owner) noexcept {
    constexpr auto bytes = static_cast<std::int64_t>(PagedMemory::PageBytes);
    owner->SelfStat.Charge(bytes);
    owner->PageStat.Charge(bytes);
    for (allocator_impl* engine = owner; engine != nullptr; engine = engine->Parent) {
        engine->GlobalStat.Charge(bytes);
    }
}

void DischargePage(allocator_impl* owner) noexcept {
    constexpr auto bytes = static_cast<std::int64_t>(PagedMemory::PageBytes);
    owner->SelfStat.Discharge(bytes);
    owner->PageStat.Discharge(bytes);
    for (allocator_impl* engine = owner; engine != nullptr; engine = engine->Parent) {
        engine->GlobalStat.Discharge(bytes);
    }
}

void Unlink(Page* page) noexcept {
    if (page->Prev != nullptr) {
        page->Prev->Next = page->Next;
    }
    if (page->Next != nullptr) {
        page->Next->Prev = page->Prev;
    }
    page->Prev = nullptr;
    page->Next = nullptr;
}

// Hands out the first free block of `page`, the head of `manager`'s list
// (every listed page has a free block). A page whose last free block goes
// leaves the list.
inline PooledBlock* TakeFrom(MemoryManager& manager, Page* page) noexcept {
    PooledBlock* block = page->FreeList;
    Show(block, sizeof(PooledBlock));
    page->FreeList = static_cast<PooledBlock*>(block->Link);
    ++page->UsedCount;
    if (--page->FreeCount == 0) {
        manager.FirstPage = page->Next;
        Unlink(page);
    }
    manager.Blocks.Add(1);
    block->Link = page;
    return block;
}

// Lays out a page for `manager`'s class and makes it the head of its list.
void InitialisePage(MemoryManager& manager, Page* page, bool intact) noexcept {
    const std::uint64_t stride = manager.BlockSize + PagedMemory::BlockHeaderBytes;
    page->Manager = &manager;
    page->Prev = nullptr;
    page->Next = manager.FirstPage;
    if (manager.FirstPage != nullptr) {
        manager.FirstPage->Prev = page;
    }
    page->UsedCount = 0;
    page->FreeCount = 0;
    page->Stride = stride;
    page->Capacity =
        stride > PagedMemory::BlockAreaBytes ? 0 : PagedMemory::BlockAreaBytes / stride;
    if (intact) {
        page->FreeCount = page->Capacity;
        page->FreeList = reinterpret_cast<PooledBlock*>(BlockArea(page));
    } else {
        // From the last block back to the first, so that the list runs in
        // ascending address order.
        Show(BlockArea(page), PagedMemory::BlockAreaBytes);
        PooledBlock* next = nullptr;
        for (std::uint64_t i = page->Capacity; i-- > 0;) {
            auto* block = reinterpret_cast<PooledBlock*>(BlockArea(page) + i * stride);
            block->Link = next;
            block->Size = 0;
            MarkFree(block);
            next = block;
            ++page->FreeCount;
        }
        page->FreeList = next;
        *OrderMark(page) = kInBuildOrder;
        Hide(BlockArea(page), PagedMemory::BlockAreaBytes);
    }
    manager.FirstPage = page;
}

// The rarer ends of ReturnToPage, kept out of line so that the common case
// (a block back to the head page, which keeps blocks in use) stays short.
[[gnu::noinline]] void ReleaseEmptied(MemoryManager& manager, Page* page) {
    if (manager.FirstPage == page) {
        manager.FirstPage = page->Next;
    }
    manager.ReleasePage(page);
    VerifyPool(*manager.Pool);
}

[[gnu::noinline]] void MoveToHead(MemoryManager& manager, Page* page) noexcept {
    if (manager.FirstPage == nullptr) {
        manager.FirstPage = page; // a full page has null links
        return;
    }
    Unlink(page);
    manager.FirstPage->Prev = page;
    page->Next = manager.FirstPage;
    manager.FirstPage = page;
}

// Takes back a block handed out by TakeBlock (`page` is its Link): it becomes
// the first free block of its page; a page whose last block comes back is released, and a page that
// is not the head of its manager's list becomes it.
inline void ReturnToPage(PooledBlock* block, Page* page) {
    MemoryManager& manager = *page->Manager;
    manager.Blocks.Subtract(1);

    // A null head (the page was full) compares below every block, so the page
    // is marked disturbed: conservative, it only costs a rebuild later.
    PooledBlock* head = page->FreeList;
    if (std::greater<>()(block, head)) {
        WriteOrderMark(page, kOrderDisturbed);
    }
    block->Link = head;
    MarkFree(block);
    Hide(block, page->Stride);
    page->FreeList = block;
    ++page->FreeCount;
    if (--page->UsedCount == 0) {
        ReleaseEmptied(manager, page);
        return;
    }
    if (manager.FirstPage != page) {
        MoveToHead(manager, page);
    }
    VerifyClass(manager);
}

// A debug-filled block back to its page: the fill (kFillReturned over the user bytes)
// and the return in one call, so that nothing of the block stays live across a
// call on the common path of Free (no saved registers for it).
[[gnu::noinline]] void FillAndReturn(PooledBlock* block, Page* page) {
    Show(block + 1, page->Stride - PagedMemory::BlockHeaderBytes);
    std::memset(block + 1, dideverazez::kFillReturned,
                page->Stride - PagedMemory::BlockHeaderBytes);
    ReturnToPage(block, page);
}

} // namespace

// ---------------------------------------------------------------------------
// PagedMemory and MemoryManager

MemoryManager& PagedMemory::ManagerFor(std::uint64_t size) noexcept {
    return *reinterpret_cast<MemoryManager*>(reinterpret_cast<char*>(this) +
                                             kManagerOffsetOfEighths[(size + 7) >> 3]);
}

PagedMemory::PagedMemory(allocator_impl* owner) : Owner(owner), FreePageCount(0), FreePages{} {
    for (std::size_t i = 0; i < ClassCount; ++i) {
        Managers[i].Pool = this;
        Managers[i].BlockSize = ClassSizes[i];
    }
}

PagedMemory::~PagedMemory() {
    FlushCache();
}

Page* PagedMemory::TakePage() {
    if (FreePageCount > 0) {
        --FreePageCount;
        return FreePages[FreePageCount];
    }
    void* memory = dideverazez::heap::Allocate(PageBytes);
    if (memory == nullptr) {
        ThrowAllocationFailure();
    }
    ChargePage(Owner);
    return static_cast<Page*>(memory);
}

PooledBlock* MemoryManager::TakeBlock() {
    Page* page = FirstPage;
    if (page == nullptr || page->FreeList == nullptr) {
        const bool cached = Pool->FreePageCount > 0;
        page = Pool->TakePage();
        Pages.Add(1);
        const bool intact = cached && page->Stride == BlockSize + PagedMemory::BlockHeaderBytes &&
                            ReadOrderMark(page) == kInBuildOrder;
        InitialisePage(*this, page, intact);
        PooledBlock* block = TakeFrom(*this, page);
        VerifyPool(*Pool);
        return block;
    }
    PooledBlock* block = TakeFrom(*this, page);
    VerifyClass(*this);
    return block;
}

void PagedMemory::ReturnBlock(PooledBlock* block) {
    Show(&block->Link, sizeof block->Link);
    ReturnToPage(block, static_cast<Page*>(block->Link));
}

Page* PagedMemory::PageOf(const void* userPointer) noexcept {
    const auto* block = static_cast<const PooledBlock*>(userPointer) - 1;
    Show(&block->Link, sizeof block->Link);
    auto* page = static_cast<Page*>(block->Link);
    Hide(&block->Link, sizeof block->Link);
    return page;
}

void MemoryManager::ReleasePage(Page* page) {
    Unlink(page);
    PagedMemory& pool = *Pool;
    if (pool.FreePageCount < PagedMemory::CacheLimit) {
        pool.FreePages[pool.FreePageCount] = page;
        ++pool.FreePageCount;
    } else {
        dideverazez::heap::Free(page);
        DischargePage(pool.Owner);
    }
    Pages.Subtract(1);
}

void PagedMemory::FlushCache() {
    while (FreePageCount > 0) {
        --FreePageCount;
        dideverazez::heap::Free(FreePages[FreePageCount]);
        DischargePage(Owner);
    }
    VerifyPool(*this);
}

PoolFault PagedMemory::CheckClass(const MemoryManager& manager) const {
    const std::uint64_t size = manager.BlockSize;
    const std::uint64_t stride = size + BlockHeaderBytes;
    const std::uint64_t capacity = BlockAreaBytes / stride;
    if (manager.Pool != this) {
        return {"manager does not belong to this pool", size, nullptr};
    }
    const StatValue pages = manager.Pages.Load();
    std::int64_t listed = 0;
    std::int64_t usedOnListed = 0;
    const Page* previous = nullptr;
    for (const Page* page = manager.FirstPage; page != nullptr; page = page->Next) {
        if (page->Prev != previous || ++listed > pages.Current) {
            return {"page list links disagree, or list longer than Pages.Current", size, page};
        }
        if (page->Manager != &manager || page->Stride != stride || page->Capacity != capacity) {
            return {"listed page has the wrong manager, stride or capacity", size, page};
        }
        if (page->UsedCount + page->FreeCount != page->Capacity) {
            return {"UsedCount + FreeCount differs from Capacity", size, page};
        }
        if (page->UsedCount == 0 || page->FreeCount == 0) {
            return {"listed page is empty or full", size, page};
        }
        const char* area = reinterpret_cast<const char*>(page + 1);
        std::uint64_t freeBlocks = 0;
        for (const PooledBlock* block = page->FreeList; block != nullptr;) {
            const char* at = reinterpret_cast<const char*>(block);
            if (at < area || at >= area + capacity * stride || (at - area) % stride != 0 ||
                ++freeBlocks > page->FreeCount) {
                return {"free block off its page's strides, or free list too long", size, page};
            }
            Show(block, sizeof(PooledBlock));
            const PooledBlock header = *block;
            Hide(block, sizeof(PooledBlock));
#if defined(DIDEVERAZEZ_CHECKED)
            if (header.Owner != dideverazez::checks::FreedBlockOwner()) {
                return {"free block not marked free", size, page};
            }
#endif
            if (header.Size != 0) {
                return {"free pooled block with a non-zero Size word", size, page};
            }
            block = static_cast<const PooledBlock*>(header.Link);
        }
        if (freeBlocks != page->FreeCount) {
            return {"free list shorter than FreeCount", size, page};
        }
        usedOnListed += static_cast<std::int64_t>(page->UsedCount);
        previous = page;
    }
    // Pages off the list are full, so they hold Capacity blocks each.
    if (manager.Blocks.Load().Current !=
        usedOnListed + (pages.Current - listed) * static_cast<std::int64_t>(capacity)) {
        return {"Blocks.Current differs from the blocks the class's pages hold", size, nullptr};
    }
    return {};
}

PoolFault PagedMemory::CheckInvariants() const {
    if (FreePageCount > CacheLimit) {
        return {"more cached pages than the cache holds", 0, nullptr};
    }
    std::uint64_t pagesHeld = FreePageCount;
    for (std::size_t i = 0; i < ClassCount; ++i) {
        const MemoryManager& manager = Managers[i];
        if (manager.BlockSize != ClassSizes[i]) {
            return {"manager has the wrong class size", manager.BlockSize, nullptr};
        }
        if (const PoolFault fault = CheckClass(manager)) {
            return fault;
        }
        pagesHeld += static_cast<std::uint64_t>(manager.Pages.Load().Current);
    }
    for (std::uint64_t c = 0; c < FreePageCount; ++c) {
        const Page* page = FreePages[c];
        if (page->Prev != nullptr || page->Next != nullptr || page->Manager->FirstPage == page) {
            return {"cached page is still listed", page->Manager->BlockSize, page};
        }
    }
    // Only the pool's own pages are charged to its Owner's PageStat.
    const StatAlloc held = Owner != nullptr ? Owner->PageStat.Load() : StatAlloc{};
    if (static_cast<std::uint64_t>(held.Counter.Current) != pagesHeld ||
        static_cast<std::uint64_t>(held.Memory.Current) != pagesHeld * PageBytes) {
        return {"Owner's PageStat differs from the pages the pool holds", 0, nullptr};
    }
    return {};
}

// ---------------------------------------------------------------------------
// allocator_data

namespace {

PagedMemory* PoolFor(allocator_impl* parent, PagedMemory& ownPool) {
    if (parent == nullptr) {
        return &ownPool;
    }
    auto* pagedParent = dynamic_cast<allocator_data*>(parent);
    if (pagedParent == nullptr) {
        throw std::invalid_argument("allocator_data: the parent of a paged engine must be paged");
    }
    return pagedParent->Pool;
}

// The tree lock found held: wait for it a while before sleeping on it. An
// operation holds the lock for tens of nanoseconds; sleeping on it costs two
// system calls and a wake-up, during which every line the thread touched goes
// cold. The wait backs off, each check twice as far from the last, and reads
// the lock word rather than retrying the lock, so that a holder in a run of
// calls keeps the tree, and its lines; the first look comes after 32 pauses,
// as such a holder unlocks and locks again within a few. The bound keeps a
// thread whose holder was preempted from spinning for a whole time slice
// (docs/performance.md, Threads sharing a handle).
constexpr unsigned kWaitChecks = 24;
constexpr unsigned kLongestWait = 256;

[[gnu::noinline]] void LockContended(std::mutex& mutex) {
    unsigned wait = 32;
    for (unsigned check = 0; check < kWaitChecks; ++check) {
        for (unsigned pause = 0; pause < wait; ++pause) {
            dideverazez::platform::CpuRelax();
        }
        if (!dideverazez::platform::LooksHeld(mutex) && mutex.try_lock()) {
            return;
        }
        if (wait < kLongestWait) {
            wait *= 2;
        }
    }
    mutex.lock();
}

inline void LockTree(std::mutex& mutex) {
    if (!mutex.try_lock()) {
        LockContended(mutex);
    }
}

// Holds the tree lock for a scope, like std::lock_guard, but keeps the engine
// rather than the mutex: the engine is live across the locking call anyway,
// and the mutex is found again from it to unlock, which spares the hot paths
// a saved register (a push and a pop on each).
class TreeLock {
public:
    explicit TreeLock(allocator_impl& engine) : engine_(engine) { LockTree(engine_.Root->Mutex); }
    ~TreeLock() { engine_.Root->Mutex.unlock(); }
    TreeLock(const TreeLock&) = delete;
    TreeLock& operator=(const TreeLock&) = delete;

private:
    allocator_impl& engine_;
};

} // namespace

allocator_data::allocator_data(const char* name, allocator_impl* parent, bool isGlobal)
    : allocator_impl(name, parent, isGlobal), OwnPool(this),
      Pool(PoolFor(parent, OwnPool)), Ancestors{}, AncestorCount(0) {
    for (allocator_impl* engine = parent;
         engine != nullptr && engine->Parent != nullptr && AncestorCount < kCachedAncestors;
         engine = engine->Parent) {
        Ancestors[AncestorCount++] = engine;
    }
}

allocator_data::~allocator_data() = default;

void allocator_data::Flush() {
    // The cached pages and the root's page counters are what every other
    // operation of the tree changes under the tree lock, so their release
    // takes it too. No operation calls Flush while holding the lock (the handle
    // calls it from GetMetrics and its destructor only), so this cannot
    // deadlock. At the end of a process a stopped thread may hold it: the
    // pages then stay cached.
    std::unique_lock<std::mutex> lock(Root->Mutex, std::defer_lock);
    if (dideverazez::platform::LockUnlessEnding(lock)) {
        Pool->FlushCache();
    }
    StopTimeMeasurement();
}

// Every counter a block changes is on the hot path of Alloc and Free: these
// must inline into them whatever the compiler makes of their size.
#if defined(__GNUC__)
#define DIDEVERAZEZ_HOT_INLINE [[gnu::always_inline]] inline
#else
#define DIDEVERAZEZ_HOT_INLINE inline
#endif

template <void (StatAlloc::*Apply)(std::int64_t) noexcept>
DIDEVERAZEZ_HOT_INLINE void allocator_data::ApplyToInnerAncestors(std::int64_t amount) noexcept {
    const std::size_t count = AncestorCount;
    for (std::size_t i = 0; i < count; ++i) {
        (Ancestors[i]->GlobalStat.*Apply)(amount);
    }
    if (count == kCachedAncestors) {
        ApplyToUncachedAncestors<Apply>(amount);
    }
}

template <void (StatAlloc::*Apply)(std::int64_t) noexcept>
void allocator_data::ApplyToUncachedAncestors(std::int64_t amount) noexcept {
    for (allocator_impl* engine = Ancestors[kCachedAncestors - 1]->Parent;
         engine->Parent != nullptr; engine = engine->Parent) {
        (engine->GlobalStat.*Apply)(amount);
    }
}

template <void (StatAlloc::*Apply)(std::int64_t) noexcept>
DIDEVERAZEZ_HOT_INLINE void allocator_data::ApplyToChain(std::int64_t amount) noexcept {
    (GlobalStat.*Apply)(amount);
    if (Parent != nullptr) {
        ApplyToInnerAncestors<Apply>(amount);
        (Root->GlobalStat.*Apply)(amount);
    }
}

void* allocator_data::Alloc(std::uint64_t size, const char*, const char*) {
    if (size > PagedMemory::LargestClass) {
        return AllocLarge(size);
    }
    TreeLock lock(*this);
    // Looked up under the lock, so that only the engine and the size live
    // across the locking call.
    MemoryManager& manager = Pool->ManagerFor(size);
    // Every listed page has a free block, so the head page serves the request
    // unless the class has none.
    Page* page = manager.FirstPage;
    PooledBlock* block;
    if (page != nullptr) {
        block = TakeFrom(manager, page);
        VerifyClass(manager);
    } else {
        block = manager.TakeBlock();
        page = static_cast<Page*>(block->Link);
    }
    block->Owner = this;
    Hide(&block->Link, sizeof block->Link); // in use, only the block header is readable
    const auto stride = static_cast<std::int64_t>(page->Stride);
    PooledStat.Charge(stride);
    // Only the root owns its pool, and the root holds the pages, so a pooled
    // block is charged to every engine of the chain but the root.
    // The engine's own counters come first, out of the walk up the chain, so
    // that a child of a root (the common case) walks nothing.
    if (Parent != nullptr) {
        SelfStat.Charge(stride);
        GlobalStat.Charge(stride);
        ApplyToInnerAncestors<&StatAlloc::Charge>(stride);
    }
    void* p = block + 1;
    HandOut(p, size);
    if (DebugFill) {
        std::memset(p, dideverazez::kFillHandedOut, size);
    }
    return p;
}

void* allocator_data::AllocLarge(std::uint64_t size) {
    if (size > UINT64_MAX - dideverazez::kBlockOverhead) {
        ThrowAllocationFailure();
    }
    const std::uint64_t total = size + dideverazez::kBlockOverhead;
    TreeLock lock(*this);
    auto* block = static_cast<char*>(dideverazez::heap::Allocate(total));
    if (block == nullptr) {
        ThrowAllocationFailure();
    }
    // The first word of a heap block is never written; the header follows it.
    void* p = block + dideverazez::kBlockOverhead;
    BlockHeader* header = HeaderOf(p);
    header->Owner = this;
    header->Size = total;
    const auto amount = static_cast<std::int64_t>(total);
    SelfStat.Charge(amount);
    LargeStat.Charge(amount);
    ApplyToChain<&StatAlloc::Charge>(amount);
    if (DebugFill) {
        std::memset(p, dideverazez::kFillHandedOut, size);
    }
    return p;
}

void allocator_data::Free(void* p) {
    TreeLock lock(*this);
    if (HeaderOf(p)->Size != 0) {
        FreeLarge(p);
        return;
    }
    auto* block = static_cast<PooledBlock*>(p) - 1;
    Show(&block->Link, sizeof block->Link);
    Page* page = static_cast<Page*>(block->Link);
    const auto stride = static_cast<std::int64_t>(page->Stride);
    PooledStat.Discharge(stride);
    if (Parent != nullptr) {
        SelfStat.Discharge(stride);
        GlobalStat.Discharge(stride);
        ApplyToInnerAncestors<&StatAlloc::Discharge>(stride);
    }
    if (DebugFill) {
        FillAndReturn(block, page);
        return;
    }
    ReturnToPage(block, page);
}

void allocator_data::FreeLarge(void* p) {
    const std::uint64_t total = HeaderOf(p)->Size;
    const auto amount = static_cast<std::int64_t>(total);
    SelfStat.Discharge(amount);
    LargeStat.Discharge(amount);
    ApplyToChain<&StatAlloc::Discharge>(amount);
    char* block = static_cast<char*>(p) - dideverazez::kBlockOverhead;
    if (DebugFill) {
        std::memset(block, dideverazez::kFillReturned, total);
    }
    dideverazez::heap::Free(block);
}

void allocator_data::ChargeDeclared(std::int64_t bytes, StatAlloc* kind) {
    TreeLock lock(*this);
    SelfStat.Charge(bytes);
    if (kind != nullptr) {
        kind->Charge(bytes);
    } else {
        ReservedStat.Add(bytes);
    }
    ApplyToChain<&StatAlloc::Charge>(bytes);
}

void allocator_data::DischargeDeclared(std::int64_t bytes, StatAlloc* kind) {
    TreeLock lock(*this);
    SelfStat.Discharge(bytes);
    if (kind != nullptr) {
        kind->Discharge(bytes);
    } else {
        ReservedStat.Subtract(bytes);
    }
    ApplyToChain<&StatAlloc::Discharge>(bytes);
}

void allocator_data::IncMemoryUsed(std::uint64_t bytes) {
    ChargeDeclared(static_cast<std::int64_t>(bytes), &UsedStat);
}

void allocator_data::DecMemoryUsed(std::uint64_t bytes) {
    DischargeDeclared(static_cast<std::int64_t>(bytes), &UsedStat);
}

void allocator_data::Reserve(std::uint64_t bytes) {
    ChargeDeclared(static_cast<std::int64_t>(bytes), nullptr);
}

void allocator_data::UnReserve(std::uint64_t bytes) {
    DischargeDeclared(static_cast<std::int64_t>(bytes), nullptr);
}
