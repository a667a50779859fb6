#include "AccountingModel.h"

#include "engines/kdideverazez_impl.h"
#include "handle/dideverazez.h"

#include <algorithm>
#include <sstream>

namespace dideverazez::reliability {

namespace {

// The documented size classes and blocks per page; a block of class s takes
// s + 24 bytes, a page 4036 bytes of which the first 64 are its header.
constexpr int kClassCount = 18;
constexpr std::uint64_t kClassSize[kClassCount] = {8,   16,  32,  48,  64,  80,  96,  128, 160,
                                                   192, 224, 256, 320, 384, 512, 640, 768, 1024};
constexpr std::uint64_t kCapacity[kClassCount] = {124, 99, 70, 55, 45, 38, 33, 26, 21,
                                                  18,  16, 14, 11, 9,  7,  5,  5,  3};
constexpr std::uint64_t kPooledHeader = 24;
constexpr std::uint64_t kHeapHeader = 24;
constexpr std::uint64_t kPageBytes = 4036;
constexpr std::uint64_t kPageHeader = 64;
constexpr std::size_t kCacheLimit = 4;

constexpr const char* kEngineNames[] = {"model-a", "model-b", "model-c", "model-d"};

int ClassOf(std::uint64_t size) {
    for (int cls = 0; cls < kClassCount; ++cls) {
        if (kClassSize[cls] >= size) {
            return cls;
        }
    }
    return -1;
}

std::int64_t StrideOfClass(int cls) {
    return static_cast<std::int64_t>(kClassSize[cls] + kPooledHeader);
}

// A size for selector `b`: mostly on and around the class boundaries (one
// below, on, one above, 1025 included), otherwise any pooled size, a heap
// size up to 64 KiB, or now and then up to 1 MiB.
std::uint64_t SizeFor(std::uint64_t b) {
    const std::uint64_t r = b >> 8;
    switch (b % 8) {
    case 0:
    case 1:
    case 2:
    case 3: {
        const std::uint64_t bound = kClassSize[r % kClassCount];
        const std::uint64_t delta = (r >> 8) % 3; // 0: one below, 1: on, 2: one above
        return bound + delta - 1;
    }
    case 4:
    case 5:
        return r % 1025;
    case 6:
        return 1025 + r % (65536 - 1024);
    default:
        return (r >> 4) % 64 == 0 ? 1025 + r % (1u << 20) : r % 4097;
    }
}

// An amount for IncMemoryUsed / Reserve: from 0 up to 2^40 bytes.
std::uint64_t AmountFor(std::uint64_t b) {
    return (b >> 8) & ((std::uint64_t{1} << (b % 41)) - 1);
}

// Figures are compared first and described only when they differ, so that a
// comparison after every call costs a few loads per figure.
bool SameFigures(const ModelFigures& model, const StatValue& real) {
    return model.Current == real.Current && model.Peak == real.Peak && model.Cumul == real.Cumul;
}

void DescribeFigures(std::ostringstream& out, const char* owner, std::size_t index,
                     const char* what, const ModelFigures& model, const StatValue& real) {
    out << owner << " " << index << " " << what << ": model {" << model.Current << ", "
        << model.Peak << ", " << model.Cumul << "} engine {" << real.Current << ", " << real.Peak
        << ", " << real.Cumul << "}; ";
}

void CompareFigures(std::ostringstream& out, const char* owner, std::size_t index, const char* what,
                    const ModelFigures& model, const StatValue& real) {
    if (!SameFigures(model, real)) {
        DescribeFigures(out, owner, index, what, model, real);
    }
}

void CompareCharges(std::ostringstream& out, std::size_t engine, const char* what,
                    const ModelCharges& model, const StatAlloc& real) {
    if (!SameFigures(model.Memory, real.Memory.Load())) {
        DescribeFigures(out, "engine", engine, (std::string(what) + ".Memory").c_str(),
                        model.Memory, real.Memory.Load());
    }
    if (!SameFigures(model.Counter, real.Counter.Load())) {
        DescribeFigures(out, "engine", engine, (std::string(what) + ".Counter").c_str(),
                        model.Counter, real.Counter.Load());
    }
}

template <class T> T* At(std::uintptr_t address) {
    return reinterpret_cast<T*>(address);
}

} // namespace

AccountingHarness::AccountingHarness(std::size_t roots) {
    for (std::size_t i = 0; i < roots; ++i) {
        CreateEngine(-1);
    }
}

AccountingHarness::~AccountingHarness() {
    for (const Block& block : blocks_) {
        HeaderOf(block.p)->Owner->Free(block.p);
    }
    // Children before parents: a child always has a higher index.
    for (auto engine = engines_.rbegin(); engine != engines_.rend(); ++engine) {
        if (engine->alive) {
            delete engine->real;
        }
    }
}

int AccountingHarness::AliveEngine(std::uint32_t pick) const {
    int alive = 0;
    for (const Engine& engine : engines_) {
        alive += engine.alive ? 1 : 0;
    }
    if (alive == 0) {
        return -1;
    }
    int wanted = static_cast<int>(pick % static_cast<std::uint32_t>(alive));
    for (std::size_t i = 0; i < engines_.size(); ++i) {
        if (engines_[i].alive && wanted-- == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int AccountingHarness::LeafOf(int engine) const {
    for (bool descended = true; descended;) {
        descended = false;
        for (std::size_t i = 0; i < engines_.size(); ++i) {
            if (engines_[i].alive && engines_[i].parent == engine) {
                engine = static_cast<int>(i);
                descended = true;
                break;
            }
        }
    }
    return engine;
}

void AccountingHarness::Fail(std::string message) {
    if (error_.empty()) {
        error_ = std::move(message);
    }
}

void AccountingHarness::Verify(const char* what) {
    ++checkedCalls_;
    if (!error_.empty()) {
        return;
    }
    std::string difference = Compare();
    if (!difference.empty()) {
        error_ = std::string(what) + ": " + difference;
    }
}

// ---------------------------------------------------------------------------
// Operations: the real call first, then the model, then the comparison.

void AccountingHarness::CreateEngine(int parent) {
    std::size_t alive = 0;
    for (const Engine& engine : engines_) {
        alive += engine.alive ? 1 : 0;
    }
    if (alive >= MaxEngines) {
        return;
    }
    Engine engine;
    const char* name = kEngineNames[engines_.size() % 4];
    engine.real = new allocator_data(name, parent >= 0 ? engines_[parent].real : nullptr, false);
    engine.parent = parent;
    engine.root = parent >= 0 ? engines_[parent].root : static_cast<int>(engines_.size());
    engine.alive = true;
    if (parent >= 0) {
        ++engines_[parent].children;
    } else {
        pools_[engine.root] = Pool{};
    }
    engines_.push_back(engine);
    Verify("create engine");
}

void AccountingHarness::DestroyLeaf(int target) {
    const int leaf = LeafOf(target);
    // Blocks go before their owner, declared amounts are taken back.
    for (std::size_t i = blocks_.size(); i-- > 0;) {
        if (blocks_[i].owner == leaf) {
            FreeBlock(i, i);
        }
    }
    while (engines_[leaf].Used.Counter.Current > 0) {
        Declare(OperationKind::DecMemoryUsed, leaf, engines_[leaf].Used.Memory.Current);
    }
    while (engines_[leaf].reservations > 0) {
        const Engine& engine = engines_[leaf];
        Declare(OperationKind::UnReserve, leaf,
                engine.reservations == 1 ? static_cast<std::uint64_t>(engine.Reserved.Current) : 0);
    }
    Engine& engine = engines_[leaf];
    if (engine.parent < 0) {
        // A root goes last, with its pool: the cached pages are freed.
        Pool& pool = pools_[leaf];
        for (std::size_t i = pool.cache.size(); i-- > 0;) {
            DischargePage(leaf);
        }
        pool.cache.clear();
    }
    delete engine.real;
    engine.real = nullptr;
    engine.alive = false;
    if (engine.parent >= 0) {
        --engines_[engine.parent].children;
    } else {
        pools_.erase(leaf);
    }
    Verify("destroy engine");
}

std::uintptr_t AccountingHarness::ModelTakeBlock(Pool& pool, int root, int cls,
                                                 std::uintptr_t realPage) {
    Manager& manager = pool.managers[cls];
    if (manager.list.empty()) {
        std::uintptr_t page = realPage;
        if (!pool.cache.empty()) {
            page = pool.cache.back();
            pool.cache.pop_back();
        } else {
            ChargePage(root);
        }
        manager.Pages.Add(1);
        if (pool.pages.count(page) != 0) {
            Fail("a new page of the model is a page the pool already serves");
        }
        ModelPage& fresh = pool.pages[page];
        fresh.cls = cls;
        const std::uint64_t stride = kClassSize[cls] + kPooledHeader;
        for (std::uint64_t i = kCapacity[cls]; i-- > 0;) {
            fresh.free.push_back(page + kPageHeader + i * stride);
        }
        manager.list.insert(manager.list.begin(), page);
    }
    const std::uintptr_t page = manager.list.front();
    ModelPage& head = pool.pages[page];
    const std::uintptr_t block = head.free.back();
    head.free.pop_back();
    ++head.used;
    if (head.free.empty()) {
        manager.list.erase(manager.list.begin());
    }
    manager.Blocks.Add(1);
    return block;
}

void AccountingHarness::ModelReturnBlock(Pool& pool, int root, std::uintptr_t page,
                                         std::uintptr_t block) {
    ModelPage& served = pool.pages.at(page);
    Manager& manager = pool.managers[served.cls];
    manager.Blocks.Subtract(1);
    served.free.push_back(block);
    --served.used;
    auto listed = std::find(manager.list.begin(), manager.list.end(), page);
    if (served.used == 0) {
        if (listed != manager.list.end()) {
            manager.list.erase(listed);
        }
        if (pool.cache.size() < kCacheLimit) {
            pool.cache.push_back(page);
        } else {
            DischargePage(root);
        }
        pool.pages.erase(page);
        manager.Pages.Subtract(1);
    } else if (listed == manager.list.end()) {
        manager.list.insert(manager.list.begin(), page); // a full page comes back listed
    } else if (listed != manager.list.begin()) {
        manager.list.erase(listed);
        manager.list.insert(manager.list.begin(), page);
    }
}

void AccountingHarness::ChargePage(int root) {
    Engine& owner = engines_[root];
    owner.Self.Charge(kPageBytes);
    owner.Page.Charge(kPageBytes);
    owner.Global.Charge(kPageBytes);
}

void AccountingHarness::DischargePage(int root) {
    Engine& owner = engines_[root];
    owner.Self.Discharge(kPageBytes);
    owner.Page.Discharge(kPageBytes);
    owner.Global.Discharge(kPageBytes);
}

void AccountingHarness::Alloc(int engine, std::uint64_t size) {
    Engine& owner = engines_[engine];
    void* p = owner.real->Alloc(size, "model", nullptr);
    const BlockHeader* header = HeaderOf(p);
    if (header->Owner != owner.real) {
        Fail("the block header does not name the allocating engine");
    }
    Block block{p, engine, size, ClassOf(size), 0};
    if (block.cls >= 0) {
        if (header->Size != 0) {
            Fail("a pooled block has a non-zero Size word");
        }
        // The page of a block taken from a new heap page is known only once the
        // engine has taken it: read it from the block's Link word.
        const std::uintptr_t realPage =
            *At<std::uintptr_t>(reinterpret_cast<std::uintptr_t>(p) - kPooledHeader);
        Pool& pool = pools_[owner.root];
        const std::uintptr_t expected = ModelTakeBlock(pool, owner.root, block.cls, realPage);
        block.page = realPage;
        if (reinterpret_cast<std::uintptr_t>(p) != expected + kPooledHeader) {
            std::ostringstream out;
            out << "pooled block at " << p << ", the model expected "
                << reinterpret_cast<void*>(expected + kPooledHeader);
            Fail(out.str());
        }
        const std::int64_t stride = StrideOfClass(block.cls);
        owner.Pooled.Charge(stride);
        if (owner.parent >= 0) {
            owner.Self.Charge(stride);
            for (int e = engine; engines_[e].parent >= 0; e = engines_[e].parent) {
                engines_[e].Global.Charge(stride);
            }
        }
    } else {
        const std::uint64_t total = size + kHeapHeader;
        if (header->Size != total) {
            Fail("a heap block's Size word is not the request + 24");
        }
        owner.Self.Charge(static_cast<std::int64_t>(total));
        owner.Large.Charge(static_cast<std::int64_t>(total));
        for (int e = engine; e >= 0; e = engines_[e].parent) {
            engines_[e].Global.Charge(static_cast<std::int64_t>(total));
        }
        heapBytes_ += total;
    }
    ++owner.ownedBlocks;
    blocks_.push_back(block);
    Verify(block.cls >= 0 ? "pooled Alloc" : "heap Alloc");
}

void AccountingHarness::FreeBlock(std::size_t index, std::uint64_t route) {
    const Block block = blocks_[index];
    blocks_[index] = blocks_.back();
    blocks_.pop_back();
    Engine& owner = engines_[block.owner];
    const auto address = reinterpret_cast<std::uintptr_t>(block.p);
    if (block.cls >= 0 && *At<std::uintptr_t>(address - kPooledHeader) != block.page) {
        Fail("a pooled block in use does not link to its page");
    }
    // Both routes read the Owner word, as every free path of the module does.
    if (route % 2 == 0) {
        HeaderOf(block.p)->Owner->Free(block.p);
    } else {
        zu_free(block.p, nullptr);
    }
    if (block.cls >= 0) {
        const std::int64_t stride = StrideOfClass(block.cls);
        owner.Pooled.Discharge(stride);
        if (owner.parent >= 0) {
            owner.Self.Discharge(stride);
            for (int e = block.owner; engines_[e].parent >= 0; e = engines_[e].parent) {
                engines_[e].Global.Discharge(stride);
            }
        }
        ModelReturnBlock(pools_[owner.root], owner.root, block.page, address - kPooledHeader);
    } else {
        const auto total = static_cast<std::int64_t>(block.size + kHeapHeader);
        owner.Self.Discharge(total);
        owner.Large.Discharge(total);
        for (int e = block.owner; e >= 0; e = engines_[e].parent) {
            engines_[e].Global.Discharge(total);
        }
        heapBytes_ -= block.size + kHeapHeader;
    }
    --owner.ownedBlocks;
    Verify(block.cls >= 0 ? "pooled Free" : "heap Free");
}

void AccountingHarness::Declare(OperationKind kind, int engine, std::uint64_t amount) {
    Engine& target = engines_[engine];
    const auto n = static_cast<std::int64_t>(amount);
    switch (kind) {
    case OperationKind::IncMemoryUsed:
        target.real->IncMemoryUsed(amount);
        target.Self.Charge(n);
        target.Used.Charge(n);
        break;
    case OperationKind::DecMemoryUsed:
        target.real->DecMemoryUsed(amount);
        target.Self.Discharge(n);
        target.Used.Discharge(n);
        break;
    case OperationKind::Reserve:
        target.real->Reserve(amount);
        target.Self.Charge(n);
        target.Reserved.Add(n);
        ++target.reservations;
        break;
    default:
        target.real->UnReserve(amount);
        target.Self.Discharge(n);
        target.Reserved.Subtract(n);
        --target.reservations;
        break;
    }
    const bool charge = kind == OperationKind::IncMemoryUsed || kind == OperationKind::Reserve;
    for (int e = engine; e >= 0; e = engines_[e].parent) {
        if (charge) {
            engines_[e].Global.Charge(n);
        } else {
            engines_[e].Global.Discharge(n);
        }
    }
    Verify("declared amount");
}

void AccountingHarness::FlushTree(int engine) {
    const int root = engines_[engine].root;
    engines_[engine].real->Flush();
    Pool& pool = pools_[root];
    for (std::size_t i = pool.cache.size(); i-- > 0;) {
        DischargePage(root);
    }
    pool.cache.clear();
    Verify("Flush");
}

std::string AccountingHarness::Step(const Operation& op) {
    if (!error_.empty()) {
        return error_;
    }
    const int engine = AliveEngine(op.a);
    if (engine < 0) {
        return error_;
    }
    Engine& target = engines_[engine];
    switch (op.kind) {
    case OperationKind::CreateChild:
        CreateEngine(engine);
        break;
    case OperationKind::DestroyEngine:
        if (target.parent >= 0 || target.children > 0) {
            DestroyLeaf(engine);
        }
        break;
    case OperationKind::Alloc: {
        std::uint64_t size = SizeFor(op.b);
        if (blocks_.size() >= MaxLiveBlocks) {
            FreeBlock(op.a % blocks_.size(), op.b);
            break;
        }
        if (size > 1024 && heapBytes_ + size > MaxHeapBytes) {
            size %= 1025;
        }
        Alloc(engine, size);
        break;
    }
    case OperationKind::Free:
        if (!blocks_.empty()) {
            FreeBlock(op.a % blocks_.size(), op.b >> 1);
        }
        break;
    case OperationKind::IncMemoryUsed:
    case OperationKind::Reserve:
        Declare(op.kind, engine, AmountFor(op.b));
        break;
    case OperationKind::DecMemoryUsed: {
        // Only what was declared, so that the figures can come back to zero:
        // the last declaration takes back all that is left.
        const ModelCharges& used = target.Used;
        if (used.Counter.Current > 0) {
            const auto left = static_cast<std::uint64_t>(used.Memory.Current);
            Declare(op.kind, engine, used.Counter.Current == 1 ? left : op.b % (left + 1));
        }
        break;
    }
    case OperationKind::UnReserve: {
        // Reservations have no counter of their own; SelfStat counts them with
        // the rest, so the model keeps them from going below zero.
        const auto left = static_cast<std::uint64_t>(target.Reserved.Current);
        if (target.reservations > 0) {
            Declare(op.kind, engine, target.reservations == 1 ? left : op.b % (left + 1));
        }
        break;
    }
    case OperationKind::Flush:
        FlushTree(engine);
        break;
    default:
        break;
    }
    return error_;
}

std::string AccountingHarness::Drain() {
    while (!blocks_.empty() && error_.empty()) {
        FreeBlock(blocks_.size() - 1, blocks_.size());
    }
    for (std::size_t i = engines_.size(); i-- > 0 && error_.empty();) {
        Engine& engine = engines_[i];
        if (!engine.alive) {
            continue;
        }
        while (engine.Used.Counter.Current > 0 && error_.empty()) {
            Declare(OperationKind::DecMemoryUsed, static_cast<int>(i),
                    engine.Used.Counter.Current == 1
                        ? static_cast<std::uint64_t>(engine.Used.Memory.Current)
                        : static_cast<std::uint64_t>(engine.Used.Memory.Current) / 2);
        }
        while (engine.reservations > 0 && error_.empty()) {
            Declare(OperationKind::UnReserve, static_cast<int>(i),
                    engine.reservations == 1 ? static_cast<std::uint64_t>(engine.Reserved.Current)
                                             : 0);
        }
    }
    if (!error_.empty()) {
        return error_;
    }
    std::string deep = DeepCheck();
    if (!deep.empty()) {
        return "before the engines go: " + deep;
    }
    for (std::size_t i = 0; i < engines_.size(); ++i) {
        if (engines_[i].alive && engines_[i].parent < 0) {
            FlushTree(static_cast<int>(i));
        }
    }
    // With nothing allocated or declared and the caches flushed, every current
    // figure of every engine is zero.
    for (std::size_t i = 0; i < engines_.size() && error_.empty(); ++i) {
        const Engine& engine = engines_[i];
        if (engine.alive && !engine.real->IsEmpty()) {
            std::ostringstream out;
            out << "engine " << i << " is not empty after every block and amount went back";
            Fail(out.str());
        }
    }
    for (std::size_t i = engines_.size(); i-- > 0 && error_.empty();) {
        if (engines_[i].alive) {
            DestroyLeaf(static_cast<int>(i));
        }
    }
    return error_;
}

// ---------------------------------------------------------------------------
// Comparison

std::string AccountingHarness::Compare() const {
    std::ostringstream out;
    for (std::size_t i = 0; i < engines_.size(); ++i) {
        const Engine& model = engines_[i];
        if (!model.alive) {
            continue;
        }
        const allocator_data& real = *model.real;
        CompareCharges(out, i, "GlobalStat", model.Global, real.GlobalStat);
        CompareCharges(out, i, "SelfStat", model.Self, real.SelfStat);
        CompareCharges(out, i, "LargeStat", model.Large, real.LargeStat);
        CompareCharges(out, i, "UsedStat", model.Used, real.UsedStat);
        CompareFigures(out, "engine", i, "ReservedStat", model.Reserved, real.ReservedStat.Load());
        CompareCharges(out, i, "PageStat", model.Page, real.PageStat);
        CompareCharges(out, i, "PooledStat", model.Pooled, real.PooledStat);
        if (real.Pool != &engines_[model.root].real->OwnPool) {
            out << "engine " << i << " does not use its root's pool; ";
        }
    }
    for (const auto& [root, pool] : pools_) {
        const PagedMemory& real = engines_[root].real->OwnPool;
        const char* name = "pool: ";
        if (real.FreePageCount != pool.cache.size()) {
            out << name << "caches " << real.FreePageCount << " pages, the model "
                << pool.cache.size() << "; ";
        } else {
            for (std::size_t c = 0; c < pool.cache.size(); ++c) {
                if (reinterpret_cast<std::uintptr_t>(real.FreePages[c]) != pool.cache[c]) {
                    out << name << "cache entry " << c << " differs; ";
                }
            }
        }
        for (int cls = 0; cls < kClassCount; ++cls) {
            const Manager& manager = pool.managers[cls];
            const MemoryManager& realManager = real.Managers[cls];
            const auto size = static_cast<std::size_t>(kClassSize[cls]);
            CompareFigures(out, "class", size, "Blocks", manager.Blocks, realManager.Blocks.Load());
            CompareFigures(out, "class", size, "Pages", manager.Pages, realManager.Pages.Load());
            const std::uintptr_t head = manager.list.empty() ? 0 : manager.list.front();
            if (reinterpret_cast<std::uintptr_t>(realManager.FirstPage) != head) {
                out << "class " << size << " heads its list with page "
                    << static_cast<const void*>(realManager.FirstPage) << ", the model with "
                    << reinterpret_cast<const void*>(head) << " (model list of "
                    << manager.list.size() << " pages); ";
            }
            for (std::size_t k = 0; k < manager.list.size(); ++k) {
                const Page* page = At<const Page>(manager.list[k]);
                const std::uintptr_t prev = k == 0 ? 0 : manager.list[k - 1];
                const std::uintptr_t next = k + 1 == manager.list.size() ? 0 : manager.list[k + 1];
                if (reinterpret_cast<std::uintptr_t>(page->Prev) != prev ||
                    reinterpret_cast<std::uintptr_t>(page->Next) != next) {
                    out << "class " << size << " list position " << k << " has other neighbours; ";
                }
            }
        }
        for (const auto& [address, page] : pool.pages) {
            const Page* realPage = At<const Page>(address);
            const std::uint64_t stride = kClassSize[page.cls] + kPooledHeader;
            const std::uintptr_t freeHead = page.free.empty() ? 0 : page.free.back();
            if (realPage->Manager != &real.Managers[page.cls] || realPage->Stride != stride ||
                realPage->Capacity != kCapacity[page.cls] || realPage->UsedCount != page.used ||
                realPage->FreeCount != page.free.size() ||
                reinterpret_cast<std::uintptr_t>(realPage->FreeList) != freeHead) {
                out << name << "page " << reinterpret_cast<const void*>(realPage) << " of class "
                    << kClassSize[page.cls] << ": used " << realPage->UsedCount << " free "
                    << realPage->FreeCount << ", the model used " << page.used << " free "
                    << page.free.size() << "; ";
            }
            if (page.free.empty() && (realPage->Prev != nullptr || realPage->Next != nullptr)) {
                out << name << "a full page is still linked; ";
            }
        }
    }
    return out.str();
}

std::string AccountingHarness::DeepCheck() const {
    std::ostringstream out;
    for (const auto& [root, pool] : pools_) {
        const PagedMemory& real = engines_[root].real->OwnPool;
        if (const char* broken = real.CheckInvariants()) {
            out << "pool of engine " << root << ": " << broken << "; ";
        }
        for (const auto& [address, page] : pool.pages) {
            const PooledBlock* block = At<const Page>(address)->FreeList;
            for (std::size_t k = page.free.size(); k-- > 0;) {
                if (reinterpret_cast<std::uintptr_t>(block) != page.free[k]) {
                    out << "page " << reinterpret_cast<const void*>(address)
                        << ": free list differs from the model at position "
                        << page.free.size() - 1 - k << "; ";
                    break;
                }
                block = static_cast<const PooledBlock*>(block->Link);
            }
        }
    }
    return out.str();
}

// ---------------------------------------------------------------------------
// Random sequences

Operation AccountingHarness::RandomOperation(std::mt19937_64& rng) {
    // Weights out of 100, a client that mostly allocates and frees.
    static constexpr struct {
        OperationKind kind;
        int weight;
    } kMix[] = {
        {OperationKind::Alloc, 44},        {OperationKind::Free, 38},
        {OperationKind::IncMemoryUsed, 3}, {OperationKind::DecMemoryUsed, 3},
        {OperationKind::Reserve, 3},       {OperationKind::UnReserve, 3},
        {OperationKind::Flush, 2},         {OperationKind::CreateChild, 3},
        {OperationKind::DestroyEngine, 1},
    };
    const std::uint64_t draw = rng();
    int roll = static_cast<int>(draw % 100);
    Operation op{OperationKind::Alloc, static_cast<std::uint32_t>(draw >> 32), rng()};
    for (const auto& entry : kMix) {
        if (roll < entry.weight) {
            op.kind = entry.kind;
            break;
        }
        roll -= entry.weight;
    }
    return op;
}

std::string RunRandomSequence(std::uint64_t seed, std::uint64_t calls,
                              std::uint64_t* checkedCalls) {
    std::mt19937_64 rng(seed);
    AccountingHarness harness(2);
    // Phases of growth and shrinkage, so that pages fill up, empty, go to the
    // cache and come back from it.
    constexpr std::uint64_t kPhase = 2500;
    std::string error;
    std::uint64_t index = 0;
    // Operations that find nothing to do (a free with no block in use) make no
    // call; the sequence runs until `calls` real calls have been checked.
    for (; harness.CheckedCalls() < calls && error.empty(); ++index) {
        Operation op = AccountingHarness::RandomOperation(rng);
        const bool shrinking = (index / kPhase) % 2 == 1;
        if (shrinking && op.kind == OperationKind::Alloc && op.b % 3 != 0) {
            op.kind = OperationKind::Free;
        }
        error = harness.Step(op);
        if (error.empty() && index % 1024 == 1023) {
            error = harness.DeepCheck();
        }
    }
    if (error.empty()) {
        error = harness.Drain();
        if (!error.empty()) {
            error = "while draining: " + error;
        }
    } else {
        --index;
    }
    if (checkedCalls != nullptr) {
        *checkedCalls = harness.CheckedCalls();
    }
    if (error.empty()) {
        return {};
    }
    std::ostringstream out;
    out << "seed " << seed << ", operation " << index << ": " << error;
    return out.str();
}

} // namespace dideverazez::reliability
