// The engine base (construction, time measurement, pending test, the global
// engine's check at destruction) and the basic engine.

#include "engines/kdideverazez_impl.h"

#include "engines/Checks.h"
#include "engines/SystemHeap.h"
#include "platform/Platform.h"
#include "trace/rozudoru.h"

#include <cstring>
#include <sstream>

namespace dideverazez::detail {

void ThrowAllocationFailure() {
    throw allocation_failure();
}

} // namespace dideverazez::detail

namespace {

constexpr const char* kUnknownName = "<unknown>";

} // namespace

// ---------------------------------------------------------------------------
// allocator_impl

allocator_impl::allocator_impl(const char* name, allocator_impl* parent, bool isGlobal)
    : Parent(parent), Root(parent != nullptr ? parent->Root : this),
      Name(name != nullptr ? name : kUnknownName), IsGlobal(isGlobal),
      DebugFill(parent != nullptr ? parent->DebugFill : false) {
    namespace platform = dideverazez::platform;
    Process.ProcessHandle = platform::CurrentProcess();
    Process.ProcessId = platform::CurrentProcessId();
    platform::ProcessTimes(Process.ProcessHandle, Process.UserTime, Process.KernelTime);
    if (!IsGlobal) {
        Process.VmStart = 0;
        Process.VmPeak = 0;
        Process.Running = true;
    }
#if defined(DIDEVERAZEZ_CHECKED)
    dideverazez::checks::EngineBuilt(*this);
#endif
}

allocator_impl::~allocator_impl() {
#if defined(DIDEVERAZEZ_CHECKED)
    dideverazez::checks::EngineGoing(*this);
    // The pool's cache is flushed by now: the pages still counted hold blocks
    // in use, as do the large blocks, and they stay with the process.
    dideverazez::checks::EngineLeaves(dideverazez::detail::LoadFigure(PageStat.Counter.Current) +
                                      dideverazez::detail::LoadFigure(LargeStat.Counter.Current));
#endif
    if (IsGlobal && !IsEmpty()) {
        std::ostringstream message;
        message << "MEMORY ERROR : Release global allocator with pending memory blocks"
                << " : " << GlobalStat.Counter.Load().Current;
        Tracer::_internal_::Error(message, "kdideverazez_impl", 105,
                                  "R9_ALLOCATOR:", "~allocator_impl");
    }
}

void allocator_impl::StopTimeMeasurement() {
    if (!Process.Running) {
        return;
    }
    std::uint64_t user = 0;
    std::uint64_t kernel = 0;
    dideverazez::platform::ProcessTimes(Process.ProcessHandle, user, kernel);
    Process.UserTime = user - Process.UserTime;
    Process.KernelTime = kernel - Process.KernelTime;
    Process.Running = false;
}

void allocator_impl::Flush() {
    StopTimeMeasurement();
}

std::uint64_t allocator_impl::GetTimeTotal() const {
    return Process.UserTime + Process.KernelTime;
}

std::int64_t allocator_impl::Spare() {
    return 0;
}

bool allocator_impl::IsEmpty() const {
    return (IsGlobal || GlobalStat.IsEmpty()) && SelfStat.IsEmpty() && LargeStat.IsEmpty() &&
           UsedStat.IsEmpty() && PageStat.IsEmpty() && PooledStat.IsEmpty() &&
           dideverazez::detail::LoadFigure(ReservedStat.Current) == 0;
}

// ---------------------------------------------------------------------------
// allocator_none

namespace {

// The basic engine's block: header first, then the user bytes; request + 24
// bytes are taken, so the last 8 bytes are never used.
constexpr std::uint64_t kBasicOverhead = 24;

} // namespace

allocator_none::allocator_none(const char* name, allocator_impl* parent, bool isGlobal)
    : allocator_impl(name, parent, isGlobal) {}

allocator_none::~allocator_none() {
#if defined(DIDEVERAZEZ_CHECKED)
    // Its figures mix blocks with declared bytes: how many heap blocks it
    // leaves is not known.
    if (!IsEmpty()) {
        dideverazez::checks::BalanceUnknown();
    }
#endif
}

void allocator_none::Flush() {
    StopTimeMeasurement();
}

void allocator_none::Charge(std::int64_t bytes) noexcept {
    Root->GlobalStat.Charge(bytes);
    if (Root != this) {
        GlobalStat.Charge(bytes);
    }
}

void allocator_none::Discharge(std::int64_t bytes) noexcept {
    Root->GlobalStat.Discharge(bytes);
    if (Root != this) {
        GlobalStat.Discharge(bytes);
    }
}

void* allocator_none::Alloc(std::uint64_t size, const char*, const char*) {
    if (size > UINT64_MAX - kBasicOverhead) {
        dideverazez::detail::ThrowAllocationFailure();
    }
    const std::uint64_t total = size + kBasicOverhead;
    void* block = dideverazez::heap::Allocate(total);
    if (block == nullptr) {
        dideverazez::detail::ThrowAllocationFailure();
    }
    auto* header = static_cast<BlockHeader*>(block);
    header->Owner = this;
    header->Size = total;
    Charge(static_cast<std::int64_t>(total));
    void* p = header + 1;
    if (DebugFill) {
        std::memset(p, 0xCD, size);
    }
    return p;
}

void allocator_none::Free(void* p) {
    BlockHeader* header = HeaderOf(p);
    const std::uint64_t total = header->Size;
    Discharge(static_cast<std::int64_t>(total));
    if (DebugFill) {
        std::memset(header, 0xFE, total);
    }
    dideverazez::heap::Free(header);
}

void allocator_none::IncMemoryUsed(std::uint64_t bytes) {
    Charge(static_cast<std::int64_t>(bytes));
}

void allocator_none::DecMemoryUsed(std::uint64_t bytes) {
    Discharge(static_cast<std::int64_t>(bytes));
}

void allocator_none::Reserve(std::uint64_t bytes) {
    Charge(static_cast<std::int64_t>(bytes));
}

void allocator_none::UnReserve(std::uint64_t bytes) {
    Discharge(static_cast<std::int64_t>(bytes));
}
