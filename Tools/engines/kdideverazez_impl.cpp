// The engine base: construction, time measurement, the pending test and the
// global engine's check at destruction. The basic engine is basic_engine.cpp's,
// the paged engine and its pool paged_engine.cpp's.

#include "engines/kdideverazez_impl.h"

#include "engines/Checks.h"
#include "platform/Platform.h"
#include "trace/rozudoru.h"

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
