#include "AccountingModel.h"

#include "engines/kdideverazez_impl.h"
#include "handle/Internals.h"

#include <algorithm>
#include <sstream>

namespace dideverazez::reliability {

namespace {

// The size classes and blocks per page; a block of class s takes s + 24
// bytes, a page 4036 bytes of which the first 64 are its header.
constexpr int kClasses = 18;
constexpr std::uint64_t kClassSize[kClasses] = {8,   16,  32,  48,  64,  80,  96,  128, 160,
                                                192, 224, 256, 320, 384, 512, 640, 768, 1024};
constexpr std::uint64_t kCapacity[kClasses] = {124, 99, 70, 55, 45, 38, 33, 26, 21,
                                               18,  16, 14, 11, 9,  7,  5,  5,  3};
constexpr std::uint64_t kHeader = 24; // pooled and heap blocks alike
constexpr std::int64_t kPageBytes = 4036;
constexpr std::uint64_t kPageHeader = 64;
constexpr std::size_t kCacheLimit = 4;

constexpr const char* kNames[] = {"model-a", "model-b", "model-c", nullptr};

// The allocating functions and the free paths a client has; every free path
// reads the block's header, so the handle it names does not matter.
void* (*const kAllocate[])(std::uint64_t, zu_allocator*) = {
    [](std::uint64_t n, zu_allocator* h) { return zu_alloc(n, h, "model"); },
    [](std::uint64_t n, zu_allocator* h) { return zu_alloc(n, h, "model", "category"); },
    [](std::uint64_t n, zu_allocator* h) { return zu_alloc_array(n, h, "model"); },
    [](std::uint64_t n, zu_allocator* h) { return zu_alloc_array(n, h, "model", "category"); },
    [](std::uint64_t n, zu_allocator* h) { return h->Alloc(n); }};
void (*const kFree[])(void*, zu_allocator*) = {
    [](void* p, zu_allocator*) { zu_free(p, nullptr); },
    [](void* p, zu_allocator* other) { zu_free_array(p, other); },
    [](void* p, zu_allocator* other) { other->Free(p); }};

int ClassOf(std::uint64_t size) {
    const auto* cls = std::lower_bound(kClassSize, kClassSize + kClasses, size);
    return cls == kClassSize + kClasses ? -1 : static_cast<int>(cls - kClassSize);
}

// Mostly one below, on and one above each class size (1025 included),
// otherwise any pooled size, a heap size up to 64 KiB, now and then 1 MiB.
std::uint64_t SizeFor(std::uint64_t b) {
    const std::uint64_t r = b >> 8, kind = b % 8;
    if (kind < 4) {
        return kClassSize[r % kClasses] + (r >> 8) % 3 - 1;
    }
    if (kind < 6) {
        return r % 1025;
    }
    return kind == 6            ? 1025 + r % (65536 - 1024)
           : (r >> 4) % 64 == 0 ? 1025 + r % (1u << 20)
                                : r % 4097;
}

// Figures are described only when they differ, so that comparing after every
// call stays a few loads a figure.
void Describe(std::ostringstream& out, const char* owner, std::uint64_t index, const char* what,
              const ModelFigures& model, const StatValue& real) {
    const StatValue v = real.Load();
    if (model.Current != v.Current || model.Peak != v.Peak || model.Cumul != v.Cumul) {
        out << owner << ' ' << index << ' ' << what << ": model {" << model.Current << ", "
            << model.Peak << ", " << model.Cumul << "} engine {" << v.Current << ", " << v.Peak
            << ", " << v.Cumul << "}; ";
    }
}

template <class T> T* At(std::uintptr_t address) {
    return reinterpret_cast<T*>(address);
}

void Apply(ModelCharges& stat, bool charge, std::int64_t bytes) {
    charge ? stat.Charge(bytes) : stat.Discharge(bytes);
}

} // namespace

AccountingHarness::AccountingHarness(std::size_t roots) : otherHandles_(LiveHandleCount()) {
    for (std::size_t i = 0; i < roots; ++i) {
        Create(-1);
        Engine(static_cast<int>(i)).DebugFill = i == 1;
    }
}

AccountingHarness::~AccountingHarness() {
    testing::FailHeapCall(0);
    for (const Block& block : blocks_) {
        zu_free(block.p, nullptr);
    }
    for (auto handle = handles_.rbegin(); handle != handles_.rend(); ++handle) {
        delete handle->real; // children before parents: a child has a higher index
    }
}

int AccountingHarness::AliveHandle(std::uint32_t pick) const {
    const auto alive =
        std::count_if(handles_.begin(), handles_.end(), [](const Handle& h) { return h.alive; });
    for (std::size_t i = 0, wanted = alive ? pick % alive : 0; alive && i < handles_.size(); ++i) {
        if (handles_[i].alive && wanted-- == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

allocator_data& AccountingHarness::Engine(int handle) const {
    return static_cast<allocator_data&>(*zu_allocator_access::Engine(*handles_[handle].real));
}

allocator_data& AccountingHarness::RealEngine(std::uint32_t pick) const {
    return Engine(AliveHandle(pick));
}

void AccountingHarness::Fail(const std::string& message) {
    error_ = error_.empty() ? message : error_;
}

void AccountingHarness::ArmHeapFailure(std::uint64_t k) {
    testing::FailHeapCall(k);
    armedCall_ = testing::HeapCalls() + k;
}

// Runs one real call. A bad_alloc must come from the armed heap call, and the
// armed call, once made, must have raised; after a bad_alloc the comparison
// shows that nothing changed.
template <class Call> bool AccountingHarness::Attempt(const char* what, Call call) {
    try {
        call();
    } catch (const std::bad_alloc& failure) {
        if (armedCall_ == 0 || testing::HeapCalls() != armedCall_ ||
            std::string(failure.what()) != "bad allocation") {
            Fail(std::string(what) + ": a bad_alloc that no failed heap call explains");
        }
        armedCall_ = 0;
        ++failures_;
        Verify(what);
        return false;
    }
    if (armedCall_ != 0 && testing::HeapCalls() >= armedCall_) {
        Fail(std::string(what) + ": the heap refused a call and nothing was raised");
    }
    return true;
}

void AccountingHarness::Verify(const char* what) {
    ++checkedCalls_;
    if (std::string difference = error_.empty() ? Compare() : ""; !difference.empty()) {
        error_ = std::string(what) + ": " + difference;
    }
}

// ---------------------------------------------------------------------------
// Operations: the real call, then the model, then the comparison.

void AccountingHarness::Create(int parent) {
    if (std::count_if(handles_.begin(), handles_.end(), [](const Handle& h) { return h.alive; }) >=
        static_cast<std::ptrdiff_t>(MaxHandles)) {
        return;
    }
    Handle handle;
    handle.parent = parent;
    handle.root = parent >= 0 ? handles_[parent].root : static_cast<int>(handles_.size());
    const char* name = kNames[handles_.size() % 4];
    if (!Attempt("create a handle", [&] {
            handle.real = parent < 0 ? new zu_allocator(name)
                          : handles_.size() % 2 == 0
                              ? new zu_allocator(*handles_[parent].real, name)
                              : new zu_allocator(handles_[parent].real, name);
        })) {
        return;
    }
    handle.alive = true;
    if (parent >= 0) {
        ++handles_[parent].children;
    } else {
        pools_[handle.root] = Pool{};
    }
    handles_.push_back(handle);
    Verify("create a handle");
}

void AccountingHarness::Destroy(int handle) {
    // Down to a leaf of its subtree: descendants stand after their ancestors.
    for (std::size_t i = static_cast<std::size_t>(handle) + 1; i < handles_.size(); ++i) {
        if (handles_[i].alive && handles_[i].parent == handle) {
            handle = static_cast<int>(i);
        }
    }
    for (std::size_t i = blocks_.size(); i-- > 0;) {
        if (blocks_[i].owner == handle) {
            FreeBlock(i, i);
        }
    }
    Handle& leaf = handles_[handle];
    while (leaf.Used.Counter.Current > 0 || leaf.reservations > 0) {
        TakeBack(leaf.reservations > 0 ? OperationKind::UnReserve : OperationKind::DecMemoryUsed,
                 handle, 0);
    }
    if (leaf.parent < 0) {
        Metrics(handle); // frees the cached pages, all a root holds now
    }
    if (!Engine(handle).IsEmpty()) {
        Fail("a handle holds memory after every block and amount went back");
    }
    // Destroying a handle flushes its tree's cache; a root's pool goes with it.
    delete leaf.real;
    // The one heap call of a destruction is the registry's, keeping the
    // handle's last figures: refused, the record is dropped and nothing raised.
    if (armedCall_ != 0 && testing::HeapCalls() >= armedCall_) {
        armedCall_ = 0;
        ++failures_;
    }
    leaf.real = nullptr;
    leaf.alive = false;
    FlushTree(leaf.root);
    if (leaf.parent >= 0) {
        --handles_[leaf.parent].children;
    } else {
        pools_.erase(handle);
    }
    Verify("destroy a handle");
}

std::uintptr_t AccountingHarness::ModelTakeBlock(int root, int cls, std::uintptr_t realPage) {
    Pool& pool = pools_[root];
    Manager& manager = pool.managers[cls];
    if (manager.list.empty()) { // the newest cached page, or a new one
        const std::uintptr_t page = pool.cache.empty() ? realPage : pool.cache.back();
        pool.cache.empty() ? ChargePage(root, true) : pool.cache.pop_back();
        manager.Pages.Add(1);
        ModelPage& fresh = pool.pages[page] = ModelPage{cls, {}, 0};
        for (std::uint64_t i = kCapacity[cls]; i-- > 0;) {
            fresh.free.push_back(page + kPageHeader + i * (kClassSize[cls] + kHeader));
        }
        manager.list.insert(manager.list.begin(), page);
    }
    ModelPage& head = pool.pages[manager.list.front()];
    const std::uintptr_t block = head.free.back();
    head.free.pop_back();
    ++head.used;
    if (head.free.empty()) {
        manager.list.erase(manager.list.begin());
    }
    manager.Blocks.Add(1);
    return block;
}

void AccountingHarness::ModelReturnBlock(int root, std::uintptr_t page, std::uintptr_t block) {
    Pool& pool = pools_[root];
    ModelPage& served = pool.pages.at(page);
    Manager& manager = pool.managers[served.cls];
    manager.Blocks.Subtract(1);
    served.free.push_back(block);
    manager.list.erase(std::remove(manager.list.begin(), manager.list.end(), page),
                       manager.list.end());
    if (--served.used > 0) {
        manager.list.insert(manager.list.begin(), page); // back at the head
        return;
    }
    pool.cache.size() < kCacheLimit ? pool.cache.push_back(page) : ChargePage(root, false);
    pool.pages.erase(page);
    manager.Pages.Subtract(1);
}

void AccountingHarness::ChargePage(int root, bool charge) {
    Handle& owner = handles_[root];
    for (ModelCharges* stat : {&owner.Self, &owner.Page, &owner.Global}) {
        Apply(*stat, charge, kPageBytes);
    }
}

// The figures a block changes when it is handed out (charge) or comes back.
// A pooled block counts at its stride for every engine of the chain but the
// root, which holds the pages instead; a heap block at request + 24 for all.
void AccountingHarness::Account(const Block& block, bool charge) {
    Handle& owner = handles_[block.owner];
    const bool pooled = block.cls >= 0;
    const auto amount =
        static_cast<std::int64_t>(pooled ? kClassSize[block.cls] + kHeader : block.size + kHeader);
    Apply(pooled ? owner.Pooled : owner.Large, charge, amount);
    if (!pooled || owner.parent >= 0) {
        Apply(owner.Self, charge, amount);
    }
    for (int e = block.owner; e >= 0 && (!pooled || handles_[e].parent >= 0);
         e = handles_[e].parent) {
        Apply(handles_[e].Global, charge, amount);
    }
    heapBytes_ += pooled ? 0 : charge ? block.size : 0 - block.size;
}

void AccountingHarness::Alloc(int handle, std::uint64_t size, std::uint64_t how) {
    void* p = nullptr;
    if (!Attempt("Alloc", [&] { p = kAllocate[how % 5](size, handles_[handle].real); })) {
        return;
    }
    const BlockHeader* header = HeaderOf(p);
    // A filling tree fills exactly the bytes asked for: the first and the last
    // 16 are looked at.
    const auto* bytes = static_cast<const unsigned char*>(p);
    const auto notFilled = [](unsigned char c) { return c != 0xCD; };
    const std::uint64_t edge = std::min<std::uint64_t>(size, 16);
    if (header->Owner != &Engine(handle) ||
        (Engine(handle).DebugFill && (std::any_of(bytes, bytes + edge, notFilled) ||
                                      std::any_of(bytes + size - edge, bytes + size, notFilled)))) {
        Fail("a block's header does not name its engine, or its tree did not fill it");
    }
    Block block{p, handle, size, ClassOf(size), 0};
    std::uintptr_t expected = reinterpret_cast<std::uintptr_t>(p) - kHeader; // a heap block
    if (block.cls >= 0) {
        block.page = reinterpret_cast<std::uintptr_t>(PagedMemory::PageOf(p));
        expected = ModelTakeBlock(handles_[handle].root, block.cls, block.page);
    }
    if (header->Size != (block.cls >= 0 ? 0 : size + kHeader) ||
        reinterpret_cast<std::uintptr_t>(p) != expected + kHeader) {
        std::ostringstream out;
        out << "block at " << p << " with Size " << header->Size << ", the model expected "
            << reinterpret_cast<void*>(expected + kHeader);
        Fail(out.str());
    }
    Account(block, true);
    blocks_.push_back(block);
    Verify(block.cls >= 0 ? "pooled Alloc" : "heap Alloc");
}

void AccountingHarness::FreeBlock(std::size_t index, std::uint64_t how) {
    const Block block = blocks_[index];
    blocks_[index] = blocks_.back();
    blocks_.pop_back();
    if (block.cls >= 0 &&
        reinterpret_cast<std::uintptr_t>(PagedMemory::PageOf(block.p)) != block.page) {
        Fail("a pooled block in use does not link to its page");
    }
    kFree[how % 3](block.p, handles_[AliveHandle(static_cast<std::uint32_t>(how >> 2))].real);
    Account(block, false);
    if (block.cls >= 0) {
        ModelReturnBlock(handles_[block.owner].root, block.page,
                         reinterpret_cast<std::uintptr_t>(block.p) - kHeader);
    }
    Verify(block.cls >= 0 ? "pooled Free" : "heap Free");
}

void AccountingHarness::Declare(OperationKind kind, int handle, std::uint64_t amount) {
    Handle& target = handles_[handle];
    const auto n = static_cast<std::int64_t>(amount);
    const bool charge = kind == OperationKind::IncMemoryUsed || kind == OperationKind::Reserve;
    if (kind == OperationKind::IncMemoryUsed || kind == OperationKind::DecMemoryUsed) {
        charge ? target.real->IncMemoryUsed(amount) : target.real->DecMemoryUsed(amount);
        Apply(target.Used, charge, n);
    } else {
        if (charge ? !target.real->Reserve(amount) : (target.real->UnReserve(amount), false)) {
            Fail("Reserve answered false");
        }
        charge ? target.Reserved.Add(n) : target.Reserved.Subtract(n);
        target.reservations += charge ? 1 : -1;
    }
    Apply(target.Self, charge, n);
    for (int e = handle; e >= 0; e = handles_[e].parent) {
        Apply(handles_[e].Global, charge, n);
    }
    Verify("declared amount");
}

// Takes back part of what was declared (`b` picks how much), all of it with
// the last declaration open, so that the figures can come back to zero.
void AccountingHarness::TakeBack(OperationKind kind, int handle, std::uint64_t b) {
    const Handle& target = handles_[handle];
    const bool used = kind == OperationKind::DecMemoryUsed;
    const std::int64_t open = used ? target.Used.Counter.Current : target.reservations;
    const auto left =
        static_cast<std::uint64_t>(used ? target.Used.Memory.Current : target.Reserved.Current);
    if (open > 0) {
        Declare(kind, handle, open == 1 ? left : b % (left + 1));
    }
}

void AccountingHarness::FlushTree(int root) {
    Pool& pool = pools_[root];
    for (std::size_t i = 0; i < pool.cache.size(); ++i) {
        ChargePage(root, false);
    }
    pool.cache.clear();
}

void AccountingHarness::Metrics(int handle) {
    zu_allocator::Metrics m{};
    handles_[handle].real->GetMetrics(m);
    FlushTree(handles_[handle].root);
    const Handle& h = handles_[handle];
    const ModelCharges& g = h.Global;
    if (m.SelfPeak != h.Self.Memory.Peak || m.MemoryPeak != g.Memory.Peak ||
        m.MemoryCurrent != g.Memory.Current || m.MemoryCumul != g.Memory.Cumul ||
        m.CountCurrent != g.Counter.Current || m.CountCumul != g.Counter.Cumul) {
        Fail("GetMetrics: a word differs from the model's figures");
    }
    Verify("GetMetrics");
}

std::string AccountingHarness::Step(const Operation& op) {
    const int handle = AliveHandle(op.a);
    if (!error_.empty() || handle < 0) {
        return error_;
    }
    Handle& target = handles_[handle];
    switch (op.kind) {
    case OperationKind::CreateChild:
        Create(handle);
        break;
    case OperationKind::DestroyHandle:
        if (target.parent >= 0 || target.children > 0) {
            Destroy(handle);
        }
        break;
    case OperationKind::Alloc:
        if (blocks_.size() >= MaxLiveBlocks) {
            FreeBlock(op.a % blocks_.size(), op.b);
        } else if (const std::uint64_t size = SizeFor(op.b);
                   size > 1024 && heapBytes_ + size > MaxHeapBytes) {
            Alloc(handle, size % 1025, op.b >> 56);
        } else {
            Alloc(handle, size, op.b >> 56);
        }
        break;
    case OperationKind::Free:
        if (!blocks_.empty()) {
            FreeBlock(op.a % blocks_.size(), op.b >> 1);
        }
        break;
    case OperationKind::IncMemoryUsed:
    case OperationKind::Reserve: // 0 to 2^40 bytes
        Declare(op.kind, handle, (op.b >> 8) & ((std::uint64_t{1} << (op.b % 41)) - 1));
        break;
    case OperationKind::DecMemoryUsed:
    case OperationKind::UnReserve:
        TakeBack(op.kind, handle, op.b);
        break;
    case OperationKind::Metrics:
        Metrics(handle);
        break;
    case OperationKind::FailHeapCall:
        if (armedCall_ == 0) {
            ArmHeapFailure(op.b % 4 + 1);
        }
        break;
    default:
        break;
    }
    return error_;
}

std::string AccountingHarness::Drain() {
    testing::FailHeapCall(0);
    armedCall_ = 0;
    while (!blocks_.empty() && error_.empty()) {
        FreeBlock(blocks_.size() - 1, blocks_.size());
    }
    // Children have higher indices than their parents: each goes as a leaf.
    for (std::size_t i = handles_.size(); i-- > 0 && error_.empty();) {
        if (handles_[i].alive) {
            Destroy(static_cast<int>(i));
        }
    }
    return error_;
}

// ---------------------------------------------------------------------------
// Comparison

std::string AccountingHarness::Compare() const {
    static const char* const kStats[] = {"GlobalStat", "SelfStat", "LargeStat",
                                         "UsedStat",   "PageStat", "PooledStat"};
    std::ostringstream out;
    std::int32_t alive = 0;
    for (std::size_t i = 0; i < handles_.size(); ++i) {
        const Handle& model = handles_[i];
        if (!model.alive) {
            continue;
        }
        ++alive;
        const allocator_data& real = Engine(static_cast<int>(i));
        const ModelCharges* models[] = {&model.Global, &model.Self, &model.Large,
                                        &model.Used,   &model.Page, &model.Pooled};
        const StatAlloc* reals[] = {&real.GlobalStat, &real.SelfStat, &real.LargeStat,
                                    &real.UsedStat,   &real.PageStat, &real.PooledStat};
        for (std::size_t s = 0; s < 6; ++s) {
            Describe(out, kStats[s], i, "Memory", models[s]->Memory, reals[s]->Memory);
            Describe(out, kStats[s], i, "Counter", models[s]->Counter, reals[s]->Counter);
        }
        Describe(out, "ReservedStat", i, "", model.Reserved, real.ReservedStat);
        if (real.Pool != &Engine(model.root).OwnPool ||
            real.DebugFill != Engine(model.root).DebugFill) {
            out << "handle " << i << " does not share its root's pool and fill; ";
        }
    }
    if (LiveHandleCount() != otherHandles_ + alive) {
        out << "live handles " << LiveHandleCount() << ", the model " << otherHandles_ + alive
            << "; ";
    }
    for (const auto& [root, pool] : pools_) {
        allocator_data& engine = Engine(root);
        if (!engine.Mutex.try_lock()) {
            out << "tree " << root << " is still locked; ";
        } else {
            engine.Mutex.unlock();
        }
        const PagedMemory& real = engine.OwnPool;
        if (!std::equal(pool.cache.begin(), pool.cache.end(), real.FreePages,
                        real.FreePages + real.FreePageCount,
                        [](std::uintptr_t a, const Page* b) { return At<Page>(a) == b; })) {
            out << "the page cache differs; ";
        }
        for (int cls = 0; cls < kClasses; ++cls) {
            const Manager& manager = pool.managers[cls];
            Describe(out, "class", kClassSize[cls], "Blocks", manager.Blocks,
                     real.Managers[cls].Blocks);
            Describe(out, "class", kClassSize[cls], "Pages", manager.Pages,
                     real.Managers[cls].Pages);
            // The list, head first, with each page's neighbours.
            const Page* previous = nullptr;
            const Page* page = real.Managers[cls].FirstPage;
            for (std::size_t k = 0; k <= manager.list.size(); ++k) {
                const Page* expected =
                    k < manager.list.size() ? At<Page>(manager.list[k]) : nullptr;
                if (page != expected || (page != nullptr && page->Prev != previous)) {
                    out << "class " << kClassSize[cls] << " lists other pages; ";
                    break;
                }
                previous = page;
                page = page != nullptr ? page->Next : nullptr;
            }
        }
        // The checking build checks the pool itself after every page
        // transition; other builds get it now and then.
        if (const PoolFault fault =
                checkedCalls_ % 64 == 0 ? real.CheckInvariants() : PoolFault{}) {
            out << "pool: " << fault.Invariant << "; ";
        }
    }
    return out.str();
}

// ---------------------------------------------------------------------------
// Random sequences

Operation AccountingHarness::RandomOperation(std::mt19937_64& rng) {
    // Weights out of 100: a client that mostly allocates and frees.
    static constexpr std::pair<OperationKind, int> kMix[] = {
        {OperationKind::Alloc, 44},        {OperationKind::Free, 37},
        {OperationKind::IncMemoryUsed, 3}, {OperationKind::DecMemoryUsed, 3},
        {OperationKind::Reserve, 3},       {OperationKind::UnReserve, 3},
        {OperationKind::Metrics, 2},       {OperationKind::CreateChild, 3},
        {OperationKind::DestroyHandle, 1}, {OperationKind::FailHeapCall, 1},
    };
    const std::uint64_t draw = rng();
    int roll = static_cast<int>(draw % 100);
    Operation op{OperationKind::Alloc, static_cast<std::uint32_t>(draw >> 32), rng()};
    for (const auto& [kind, weight] : kMix) {
        if (roll < weight) {
            op.kind = kind;
            break;
        }
        roll -= weight;
    }
    return op;
}

std::string RunRandomSequence(std::uint64_t seed, std::uint64_t calls,
                              std::uint64_t* checkedCalls) {
    std::mt19937_64 rng(seed);
    AccountingHarness harness(2);
    std::string error;
    std::uint64_t index = 0;
    for (; harness.CheckedCalls() < calls && error.empty(); ++index) {
        Operation op = AccountingHarness::RandomOperation(rng);
        // Phases of growth and shrinkage, so that pages fill up, empty, go to
        // the cache and come back from it.
        if ((index / 2500) % 2 == 1 && op.kind == OperationKind::Alloc && op.b % 3 != 0) {
            op.kind = OperationKind::Free;
        }
        error = harness.Step(op);
    }
    const std::string drained = error.empty() ? harness.Drain() : "";
    if (checkedCalls != nullptr) {
        *checkedCalls = harness.CheckedCalls();
    }
    if (error.empty() && drained.empty()) {
        return {};
    }
    std::ostringstream out;
    out << "seed " << seed << ", operation " << index - 1 << ": "
        << (error.empty() ? "while draining: " + drained : error);
    return out.str();
}

} // namespace dideverazez::reliability
