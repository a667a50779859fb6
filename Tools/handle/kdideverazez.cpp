// The handle, the free functions, the debug hooks and the module state.

#include "handle/dideverazez.h"

#include "engines/Checks.h"
#include "engines/SystemHeap.h"
#include "engines/kdideverazez_impl.h"
#include "handle/Internals.h"
#include "observe/Fork.h"
#include "observe/Registry.h"
#include "observe/Reporter.h"
#include "observe/SampleStore.h"
#include "observe/Sampler.h"
#include "platform/Platform.h"
#include "report/ReportStreams.h"
#include "statistics/AllocSizes.h"
#include "trace/rozudoru.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace {

const char* NameOrPlaceholder(const char* name) {
    return name != nullptr ? name : "<noname>";
}

// Live handles. Constant-initialised, so it is zero before any static object
// of any module is built; atomic, so handles of different trees may be built
// on different threads.
constinit std::atomic<std::int32_t> gLiveHandles{0};

#if defined(DIDEVERAZEZ_TEST_SEAMS)
constinit std::atomic<std::uint64_t> gProfileStarts{0};
constinit std::atomic<std::uint64_t> gProfileStops{0};
#endif

constexpr const char* kTraceFile = "kdideverazez";
constexpr const char* kCategory = "R9_ALLOCATOR:";

template <class... Pieces>
void TraceLine(long line, const char* function, const Pieces&... pieces) {
    std::ostringstream message;
    (message << ... << pieces);
    Tracer::_internal_::Log(Tracer::LogDetail_Lines, message, kTraceFile, line, kCategory,
                            function);
}

template <class... Pieces>
void TraceError(long line, const char* function, const Pieces&... pieces) {
    std::ostringstream message;
    (message << ... << pieces);
    Tracer::_internal_::Error(message, kTraceFile, line, kCategory, function);
}

// Routes a block to the engine named in its header; null is ignored. The
// checking build first checks that header (`through` names the caller's handle
// in its report).
void FreeBlock(void* block, [[maybe_unused]] const zu_allocator* through) {
    if (block == nullptr) {
        return;
    }
    allocator_impl* owner = HeaderOf(block)->Owner;
#if defined(DIDEVERAZEZ_CHECKED)
    // A sampled block's header names the sampler's stand-in; its own engine
    // is the one to check.
    if (const char* problem =
            dideverazez::checks::BlockOwnerProblem(dideverazez::observe::OwnerOf(block))) {
        // The handle is read only now: zu_free's handle is otherwise never read.
        dideverazez::checks::AbortOnBlock(
            problem, block,
            through != nullptr ? NameOrPlaceholder(zu_allocator_access::Name(*through)) : "(none)");
    }
#endif
    owner->Free(block);
}

// A sampled allocation: the sampler sees the block, or its failure. Reached
// by a tail call from the handle's entry points in an optimised build, so
// that its return address is in the code that called the handle: the stack
// is kept from there on.
[[gnu::noinline]] void* AllocSampled(allocator_impl& engine, std::uint64_t size, const char* name,
                                     const char* category) {
    const void* caller = __builtin_return_address(0);
    void* block = nullptr;
    try {
        block = engine.Alloc(size, name, category);
    } catch (...) {
        dideverazez::observe::Sample(nullptr, size, engine, caller);
        throw;
    }
    dideverazez::observe::Sample(block, size, engine, caller);
    return block;
}

// Every allocation of a handle goes through here. While sampling is off the
// sampler costs one subtraction and one branch, and the engine's call stays
// the last one.
inline void* AllocThrough(allocator_impl& engine, std::uint64_t size, const char* name,
                          const char* category) {
    if (dideverazez::observe::CountDown(size)) [[unlikely]] {
        return AllocSampled(engine, size, name, category);
    }
    return engine.Alloc(size, name, category);
}

allocator_impl& EngineOf(zu_allocator* allocator) {
    if (allocator == nullptr) {
        throw std::invalid_argument("zu_alloc: the allocator handle must not be null");
    }
    return *zu_allocator_access::Engine(*allocator);
}

} // namespace

// ---------------------------------------------------------------------------
// Debug hooks

// The module's own heap calls go to engines/SystemHeap.h directly; these are
// the same calls for a host's code.
void* dbg_alloc(size_t size) {
    return dideverazez::heap::Allocate(size);
}

void dbg_free(void* block) {
    dideverazez::heap::Free(block);
}

void dbg_profileStart() {
#if defined(DIDEVERAZEZ_TEST_SEAMS)
    gProfileStarts.fetch_add(1, std::memory_order_relaxed);
#endif
}

void dbg_profileStop() {
#if defined(DIDEVERAZEZ_TEST_SEAMS)
    gProfileStops.fetch_add(1, std::memory_order_relaxed);
#endif
}

void dbg_profileLoopBegin(const char*) {}

size_t dbg_profileLoopEnd() {
    return 0;
}

// ---------------------------------------------------------------------------
// zu_allocator

zu_allocator::zu_allocator(const char* name, bool global)
    : name_(name), parent_(nullptr), engine_(nullptr), reserved_(nullptr), context_(nullptr) {
    zu_allocator_access::Initialise(*this, global);
}

zu_allocator::zu_allocator(zu_allocator* parent, const char* name)
    : name_(name), parent_(parent), engine_(nullptr), reserved_(nullptr), context_(nullptr) {
    zu_allocator_access::Initialise(*this, false);
}

zu_allocator::zu_allocator(zu_allocator& parent, const char* name)
    : name_(name), parent_(&parent), engine_(nullptr), reserved_(nullptr), context_(nullptr) {
    zu_allocator_access::Initialise(*this, false);
}

void zu_allocator_access::Initialise(zu_allocator& handle, bool global) {
    if (gLiveHandles.load(std::memory_order_relaxed) == 0) {
        dbg_profileStart();
    }
    gLiveHandles.fetch_add(1, std::memory_order_relaxed);

    // A root is always paged; a child takes its parent's kind.
    const int kind = handle.parent_ != nullptr ? handle.parent_->engine_->GetKind() : 1;
    {
        Tracer::_internal_::scope trace(Tracer::LogDetail_Scopes, "R9_ALLOCATOR:zu_allocator::ctor",
                                        kTraceFile, 223);
        TraceLine(224, "initor", "This", ":", static_cast<const void*>(&handle));
        TraceLine(225, "initor", "Parent", ":", static_cast<const void*>(handle.parent_));
        TraceLine(226, "initor", "Name", ":", NameOrPlaceholder(handle.name_));
        TraceLine(227, "initor", "Kind", ":", kind != 0 ? "paged" : "basic");
    }

    allocator_impl* parentEngine = handle.parent_ != nullptr ? handle.parent_->engine_ : nullptr;
    const std::size_t bytes = kind != 0 ? sizeof(allocator_data) : sizeof(allocator_none);
    void* storage = dideverazez::heap::Allocate(bytes);
    try {
        if (storage == nullptr) {
            dideverazez::detail::ThrowAllocationFailure();
        }
        allocator_impl* engine =
            kind != 0 ? static_cast<allocator_impl*>(
                            new (storage) allocator_data(handle.name_, parentEngine, global))
                      : new (storage) allocator_none(handle.name_, parentEngine, global);
        try {
            dideverazez::observe::Register(*engine, handle.name_);
        } catch (...) {
            engine->~allocator_impl();
            throw;
        }
        handle.engine_ = engine;
    } catch (...) {
        // The handle never came to life: undo its count and free its storage.
        dideverazez::heap::Free(storage);
        if (gLiveHandles.fetch_sub(1, std::memory_order_relaxed) == 1) {
            dbg_profileStop();
        }
        throw;
    }
}

zu_allocator::~zu_allocator() {
    Tracer::_internal_::scope trace(Tracer::LogDetail_Scopes, "R9_ALLOCATOR:zu_allocator::dtor",
                                    kTraceFile, 282);
    TraceLine(283, "~zu_allocator", "This", ":", static_cast<const void*>(this));
    TraceLine(284, "~zu_allocator", "Name", ":", NameOrPlaceholder(name_));

    // A global engine makes its own check when it is destroyed.
    if (!engine_->IsGlobal) {
        TraceLine(289, "~zu_allocator", "MemoryPeak", ":", engine_->GlobalStat.Memory.Load().Peak);
        engine_->Flush();
        if (!engine_->IsEmpty()) {
            TraceError(299, "~zu_allocator",
                       "MEMORY ERROR : Release allocator with pending memory blocks", " : ",
                       engine_->GlobalStat.Counter.Load().Current);
            TraceError(300, "~zu_allocator", "MEMORY ERROR : unreleased bytes", " : ",
                       engine_->GlobalStat.Memory.Load().Current);
            for (zu_allocator* handle = this; handle != nullptr; handle = handle->parent_) {
                if (handle->context_ != nullptr) {
                    handle->context_->OnMemoryError(true);
                    break;
                }
            }
        }
    }

    // Its statistics now are what its metrics would return: a retired handle's
    // last, with the sites of the sampled blocks it still held.
    dideverazez::observe::Retire(*engine_, dideverazez::observe::RetireSites(*engine_));
    engine_->~allocator_impl();
    dideverazez::heap::Free(engine_);
    engine_ = nullptr;

    if (gLiveHandles.fetch_sub(1, std::memory_order_relaxed) == 1) {
        dbg_profileStop();
    }
}

zu_allocator& zu_allocator::GetRootAllocator() {
    zu_allocator* handle = this;
    while (handle->parent_ != nullptr) {
        handle = handle->parent_;
    }
    return *handle;
}

void zu_allocator::SetAllocatorContext(IAllocatorContext* context) {
    context_ = context;
}

void* zu_allocator::Alloc(size_t size) {
    return AllocThrough(*engine_, size, "_Alloc", nullptr);
}

void zu_allocator::Free(void* block) {
    FreeBlock(block, this);
}

void zu_allocator::IncMemoryUsed(size_t bytes) {
    engine_->IncMemoryUsed(bytes);
}

void zu_allocator::DecMemoryUsed(size_t bytes) {
    engine_->DecMemoryUsed(bytes);
}

bool zu_allocator::Reserve(size_t bytes) {
    engine_->Reserve(bytes);
    return true;
}

void zu_allocator::UnReserve(size_t bytes) {
    engine_->UnReserve(bytes);
}

bool zu_allocator::CheckLimits() {
    return true;
}

void zu_allocator::GetMetrics(Metrics& metrics) const {
    engine_->Flush();
    const StatAlloc global = engine_->GlobalStat.Load();
    metrics.TimeTotal = static_cast<int64_t>(engine_->GetTimeTotal());
    metrics.SelfPeak = engine_->SelfStat.Memory.Load().Peak;
    metrics.MemoryPeak = global.Memory.Peak;
    metrics.MemoryCurrent = global.Memory.Current;
    metrics.MemoryCumul = global.Memory.Cumul;
    metrics.CountCurrent = global.Counter.Current;
    metrics.CountCumul = global.Counter.Cumul;
}

void zu_allocator::Dump(std::ostream& out) {
    LmAlloc::FileStream stream(out);
    stream.FileStream::DumpAllocator(*engine_);
}

// ---------------------------------------------------------------------------
// Free functions

void* zu_alloc(size_t size, zu_allocator* allocator, const char* name) {
    return AllocThrough(EngineOf(allocator), size, name, nullptr);
}

void* zu_alloc(size_t size, zu_allocator* allocator, const char* name, const char* category) {
    return AllocThrough(EngineOf(allocator), size, name, category);
}

void* zu_alloc_array(size_t size, zu_allocator* allocator, const char* name) {
    return AllocThrough(EngineOf(allocator), size, name, nullptr);
}

void* zu_alloc_array(size_t size, zu_allocator* allocator, const char* name, const char* category) {
    return AllocThrough(EngineOf(allocator), size, name, category);
}

void zu_free(void* block, zu_allocator* allocator) {
    FreeBlock(block, allocator);
}

void zu_free_array(void* block, zu_allocator* allocator) {
    FreeBlock(block, allocator);
}

size_t zu_usable_size(const void* block) {
    if (block == nullptr) {
        return 0;
    }
    // A pooled block's Size word is 0 and its class is its page's; a heap
    // block's is the request plus the overhead, whichever engine took it.
    const std::uint64_t size = HeaderOf(const_cast<void*>(block))->Size;
    const std::uint64_t taken = size != 0 ? size : PagedMemory::PageOf(block)->Stride;
    return static_cast<size_t>(taken - dideverazez::kBlockOverhead);
}

// ---------------------------------------------------------------------------
// Module state

namespace {

// Built when the module is loaded (static initialisation of this translation
// unit), destroyed in reverse order when it is unloaded or the process exits.
// The "DEBUG" root holds one live-handle count from load to unload; the
// reporter writes snapshots when the environment asks for them.
// What the module keeps about its handles goes back last, after "DEBUG" and
// the last snapshot.
struct Bookkeeping {
    Bookkeeping() = default;
    Bookkeeping(const Bookkeeping&) = delete;
    Bookkeeping& operator=(const Bookkeeping&) = delete;
    ~Bookkeeping() {
        [[maybe_unused]] const bool registry = dideverazez::observe::ReleaseRegistry();
        [[maybe_unused]] const bool samples = dideverazez::observe::ReleaseSamples();
#if defined(DIDEVERAZEZ_CHECKED)
        // Every heap block is back by now but those leaking engines left.
        dideverazez::checks::Release(registry && samples);
#endif
    }
};

// "DEBUG" and the process's histogram, whose rows live in DEBUG's tree. A
// process ending with a thread stopped inside that tree (Windows) keeps the
// tree's lock held for good; both are then left to the end of the process,
// since destroying them frees into the tree.
class DebugTree {
public:
    DebugTree() { new (&parts_) Parts; }
    ~DebugTree() {
        // No other thread runs while the process ends: a lock free now stays
        // free.
        std::mutex& lock = zu_allocator_access::Engine(Stored().root)->Root->Mutex;
        if (dideverazez::platform::ProcessEnding()) {
            if (!lock.try_lock()) {
                return;
            }
            lock.unlock();
        }
        Stored().~Parts();
    }
    DebugTree(const DebugTree&) = delete;
    DebugTree& operator=(const DebugTree&) = delete;

    zu_allocator& Root() noexcept { return Stored().root; }
    AllocSizes& Histogram() noexcept { return Stored().histogram; }

private:
    struct Parts {
        zu_allocator root{"DEBUG", true};
        AllocSizes histogram{"Global", &root};
    };
    Parts& Stored() noexcept { return *std::launder(reinterpret_cast<Parts*>(&parts_)); }

    alignas(Parts) unsigned char parts_[sizeof(Parts)];
};

struct ModuleState {
    Bookkeeping bookkeeping;
    LmAlloc::NullStream nullStream;
    DebugTree debug;
    // Goes first: the last snapshot is written while "DEBUG" still stands.
    dideverazez::observe::Reporter reporter{debug.Histogram()};
    dideverazez::observe::ForkHandlers fork{reporter};
};

// Whether this copy of the module does the process's work. The shared library
// leaves it to the preload library's own copy when that is loaded: the
// program's calls bind there, and a second reporter would write a second
// report to the same path.
bool ThisCopyServes() noexcept {
#if defined(DIDEVERAZEZ_BUILDING)
    return dideverazez::platform::ThisCopyServes();
#else
    return true;
#endif
}

// The module state of the copy that serves; none in one that does not, whose
// public functions the program never reaches.
struct Module {
    Module() {
        if (ThisCopyServes()) {
            state.emplace();
        }
    }
    std::optional<ModuleState> state;
};

Module gModule;

} // namespace

namespace dideverazez {

std::int32_t LiveHandleCount() noexcept {
    return gLiveHandles.load(std::memory_order_relaxed);
}

zu_allocator& DebugRootAllocator() noexcept {
    return gModule.state->debug.Root();
}

AllocSizes& GlobalAllocSizes() noexcept {
    return gModule.state->debug.Histogram();
}

#if defined(DIDEVERAZEZ_TEST_SEAMS)
namespace testing {

std::uint64_t ProfileStarts() noexcept {
    return gProfileStarts.load(std::memory_order_relaxed);
}

std::uint64_t ProfileStops() noexcept {
    return gProfileStops.load(std::memory_order_relaxed);
}

} // namespace testing
#endif

} // namespace dideverazez
