// The basic engine, allocator_none: every block straight from the C heap
// with its header in front, charged to the engine and its root only.

#include "engines/kdideverazez_impl.h"

#include "engines/Checks.h"
#include "engines/SystemHeap.h"

#include <cstring>

allocator_none::allocator_none(const char* name, allocator_impl* parent, bool isGlobal)
    : allocator_impl(name, parent, isGlobal) {}

allocator_none::~allocator_none() {
#if defined(DIDEVERAZEZ_CHECKED)
    // Its counters mix blocks with declared bytes: how many heap blocks it
    // leaves is not known.
    if (!IsEmpty()) {
        dideverazez::checks::BalanceUnknown();
    }
#endif
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

// The basic engine's block: header first, then the user bytes; request +
// kBlockOverhead bytes are taken, so the last 8 bytes are never used.
void* allocator_none::Alloc(std::uint64_t size, const char*, const char*) {
    if (size > UINT64_MAX - dideverazez::kBlockOverhead) {
        dideverazez::detail::ThrowAllocationFailure();
    }
    const std::uint64_t total = size + dideverazez::kBlockOverhead;
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
        std::memset(p, dideverazez::kFillHandedOut, size);
    }
    return p;
}

void allocator_none::Free(void* p) {
    BlockHeader* header = HeaderOf(p);
    const std::uint64_t total = header->Size;
    Discharge(static_cast<std::int64_t>(total));
    if (DebugFill) {
        std::memset(header, dideverazez::kFillReturned, total);
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
