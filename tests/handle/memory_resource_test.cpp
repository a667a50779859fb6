// The client conveniences over the exported interface: zu_memory_resource
// (std::pmr) and lmstl_allocator (standard containers). Figures are read on
// child handles, whose GlobalStat holds exactly their own blocks at their
// charge: the stride of the size class (class + 24) up to 1024 bytes, the
// request + 24 above.

#include "handle/dideverazez.h"
#include "handle/zu_memory_resource.h"
#include "statistics/lmstl_allocator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <list>
#include <memory_resource>
#include <new>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

struct Figures {
    std::int64_t bytes;      // GlobalStat.Memory.Current
    std::int64_t blocks;     // GlobalStat.Counter.Current
    std::int64_t cumulBytes; // GlobalStat.Memory.Cumul
    std::int64_t allocated;  // GlobalStat.Counter.Cumul
};

Figures FiguresOf(const zu_allocator& handle) {
    zu_allocator::Metrics m{};
    handle.GetMetrics(m);
    return {m.MemoryCurrent, m.CountCurrent, m.MemoryCumul, m.CountCumul};
}

// An alignment that is not a power of two, as a run-time value (the compiler
// rejects such a constant outright).
std::size_t RunTimeAlignment(std::size_t value) {
    static volatile std::size_t chosen;
    chosen = value;
    return chosen;
}

bool IsAligned(const void* p, std::size_t alignment) {
    return reinterpret_cast<std::uintptr_t>(p) % alignment == 0;
}

class ClientConveniences : public ::testing::Test {
protected:
    zu_allocator root{"ConvenienceRoot"};
    zu_allocator first{root, "First"};
    zu_allocator second{root, "Second"};
};

using MemoryResource = ClientConveniences;
using ClientContainers = ClientConveniences;

// ---------------------------------------------------------------------------
// zu_memory_resource

// What one block costs: allocate(bytes) asks for alignof(max_align_t);
// alignments the blocks already have (up to 8) cost nothing extra; a larger
// one adds the alignment to the request, which may then leave the classes for
// the heap. Deallocation gives the charge back.
TEST_F(MemoryResource, AlignmentDecidesTheChargedBlock) {
    static_assert(alignof(std::max_align_t) == 16, "the figures below assume x86-64");
    struct Row {
        std::size_t bytes;
        std::size_t alignment; // 0: the default
        std::int64_t charge;
    };
    const Row rows[] = {
        {100, 0, 152},    // 100 + 16 = 116: the 128-byte class, 128 + 24
        {24, 1, 56},      // the 32-byte class, 32 + 24
        {24, 8, 56},      // the same
        {40, 32, 104},    // 40 + 32 = 72: the 80-byte class, 80 + 24
        {2000, 64, 2088}, // 2000 + 64 = 2064 from the heap, + 24
    };
    zu_memory_resource resource(&first);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.bytes) + " aligned to " + std::to_string(row.alignment));
        const std::size_t alignment = row.alignment == 0 ? 16 : row.alignment;
        void* p = row.alignment == 0 ? resource.allocate(row.bytes)
                                     : resource.allocate(row.bytes, row.alignment);
        EXPECT_TRUE(IsAligned(p, alignment));
        EXPECT_EQ(FiguresOf(first).bytes, row.charge);
        EXPECT_EQ(FiguresOf(first).blocks, 1);
        resource.deallocate(p, row.bytes, alignment);
        EXPECT_EQ(FiguresOf(first).bytes, 0);
        EXPECT_EQ(FiguresOf(first).blocks, 0);
    }
}

// Every alignment from 1 to 4096 with sizes around the class edges: each
// pointer meets its alignment, the requested bytes are usable without touching
// another block, and everything comes back.
TEST_F(MemoryResource, EveryPointerMeetsItsAlignmentAndOwnsItsBytes) {
    zu_memory_resource resource(&first);
    struct Handed {
        unsigned char* p;
        std::size_t bytes;
        std::size_t alignment;
        unsigned char fill;
    };
    std::vector<Handed> handed;
    unsigned char fill = 1;
    for (std::size_t alignment = 1; alignment <= 4096; alignment *= 2) {
        for (std::size_t bytes : {0, 1, 7, 8, 24, 100, 1000, 1016, 1024, 1025, 5000}) {
            auto* p = static_cast<unsigned char*>(resource.allocate(bytes, alignment));
            ASSERT_TRUE(IsAligned(p, alignment)) << bytes << " bytes aligned to " << alignment;
            std::memset(p, fill, bytes);
            handed.push_back({p, bytes, alignment, fill});
            fill = static_cast<unsigned char>(fill % 250 + 1);
        }
    }
    for (const Handed& h : handed) {
        ASSERT_EQ(std::count(h.p, h.p + h.bytes, h.fill), static_cast<std::ptrdiff_t>(h.bytes))
            << h.bytes << " bytes aligned to " << h.alignment << " were overwritten";
    }
    std::shuffle(handed.begin(), handed.end(), std::mt19937(7));
    for (const Handed& h : handed) {
        resource.deallocate(h.p, h.bytes, h.alignment);
    }
    // 13 alignments * 11 sizes.
    EXPECT_EQ(FiguresOf(first).allocated, 143);
    EXPECT_EQ(FiguresOf(first).bytes, 0);
    EXPECT_EQ(FiguresOf(first).blocks, 0);
}

// A block handed out by one resource can be given back through another over
// any handle: it returns to the engine that allocated it.
TEST_F(MemoryResource, BlockGivenBackThroughAnotherResourceReturnsToItsHandle) {
    zu_memory_resource ofFirst(&first);
    zu_memory_resource ofSecond(&second);
    void* p = ofFirst.allocate(40, 32);
    // 40 + 32 = 72 bytes: the 80-byte class, 104.
    EXPECT_EQ(FiguresOf(first).bytes, 104);
    ofSecond.deallocate(p, 40, 32);
    EXPECT_EQ(FiguresOf(first).bytes, 0);
    EXPECT_EQ(FiguresOf(second).allocated, 0);
}

// Bad requests raise before anything is charged.
TEST_F(MemoryResource, BadRequestsRaiseAndChargeNothing) {
    zu_memory_resource resource(&first);
    EXPECT_THROW(static_cast<void>(resource.allocate(16, RunTimeAlignment(3))),
                 std::invalid_argument);
    EXPECT_THROW(static_cast<void>(resource.allocate(16, RunTimeAlignment(0))),
                 std::invalid_argument);
    EXPECT_THROW(
        static_cast<void>(resource.allocate(std::numeric_limits<std::size_t>::max() - 8, 16)),
        std::bad_alloc);
    EXPECT_EQ(FiguresOf(first).allocated, 0);
    EXPECT_THROW(zu_memory_resource(nullptr), std::invalid_argument);
}

// Resources over the same handle are equal; over different handles, or against
// another kind of resource, they are not.
TEST_F(MemoryResource, EqualExactlyWhenOverTheSameHandle) {
    zu_memory_resource a(&first);
    zu_memory_resource b(&first);
    zu_memory_resource c(&second);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == c);
    EXPECT_FALSE(a.is_equal(*std::pmr::new_delete_resource()));
    EXPECT_EQ(a.handle(), &first);
}

// A std::pmr vector grows and shrinks through the handle: each reallocation
// is one block of the new capacity, the old one given back.
TEST_F(MemoryResource, VectorGrowsAndShrinksThroughTheHandle) {
    zu_memory_resource resource(&first);
    std::pmr::vector<std::uint64_t> v(&resource);
    v.reserve(10);
    // 80 bytes aligned to 8: the 80-byte class, 104.
    EXPECT_EQ(FiguresOf(first).bytes, 104);
    v.assign(10, 7);
    v.reserve(100);
    // 800 bytes: the 1024-byte class, 1048; the first block is back.
    EXPECT_EQ(FiguresOf(first).bytes, 1048);
    EXPECT_EQ(FiguresOf(first).blocks, 1);
    EXPECT_EQ(FiguresOf(first).cumulBytes, 104 + 1048);
    EXPECT_EQ(FiguresOf(first).allocated, 2);
    v.shrink_to_fit();
    // 10 * 8 = 80 bytes: 104, and the 1048 of the large block are back.
    EXPECT_EQ(FiguresOf(first).bytes, 104);
    EXPECT_EQ(FiguresOf(first).blocks, 1);
    v.clear();
    v.shrink_to_fit();
    EXPECT_EQ(FiguresOf(first).bytes, 0);
}

// Copying with a resource charges the copy to that resource's handle; a plain
// copy of a std::pmr container takes the default resource and charges nothing.
TEST_F(MemoryResource, CopyIsChargedToTheResourceItIsGiven) {
    zu_memory_resource ofFirst(&first);
    zu_memory_resource ofSecond(&second);
    std::pmr::vector<std::uint64_t> original(10, 7, &ofFirst);
    std::pmr::vector<std::uint64_t> copy(original, &ofSecond);
    EXPECT_EQ(FiguresOf(second).bytes, 104);
    EXPECT_EQ(FiguresOf(first).bytes, 104);
    std::pmr::vector<std::uint64_t> plain(original);
    EXPECT_EQ(plain.get_allocator().resource(), std::pmr::get_default_resource());
    EXPECT_EQ(FiguresOf(first).allocated + FiguresOf(second).allocated, 2);
}

// Moving between resources over the same handle hands the block over as it is.
TEST_F(MemoryResource, MoveOverTheSameHandleKeepsTheBlock) {
    zu_memory_resource a(&first);
    zu_memory_resource b(&first);
    std::pmr::vector<std::uint64_t> source(10, 7, &a);
    std::pmr::vector<std::uint64_t> target(&b);
    target = std::move(source);
    EXPECT_EQ(target.size(), 10u);
    EXPECT_EQ(FiguresOf(first).allocated, 1);
    EXPECT_EQ(FiguresOf(first).bytes, 104);
}

// Moving across handles copies the elements into a block of the target's
// handle; the source keeps its own block until it lets it go.
TEST_F(MemoryResource, MoveAcrossHandlesChargesTheTargetHandle) {
    zu_memory_resource ofFirst(&first);
    zu_memory_resource ofSecond(&second);
    std::pmr::vector<std::uint64_t> source(10, 7, &ofFirst);
    std::pmr::vector<std::uint64_t> target(&ofSecond);
    target = std::move(source);
    EXPECT_EQ(target.size(), 10u);
    EXPECT_EQ(FiguresOf(second).bytes, 104);
    EXPECT_EQ(FiguresOf(first).bytes, 104);
    source.clear();
    source.shrink_to_fit();
    EXPECT_EQ(FiguresOf(first).bytes, 0);
}

// A std::pmr pool over the resource takes its chunks through the handle and
// gives every one back on release().
TEST_F(MemoryResource, PoolResourceUpstreamChunksComeBackOnRelease) {
    zu_memory_resource resource(&first);
    std::pmr::unsynchronized_pool_resource pool(&resource);
    std::pmr::vector<std::pmr::vector<int>> nested(&pool);
    for (int i = 0; i < 200; ++i) {
        nested.emplace_back(std::size_t(i % 17 + 1), i);
    }
    EXPECT_GT(FiguresOf(first).blocks, 0);
    nested = std::pmr::vector<std::pmr::vector<int>>(&pool);
    pool.release();
    EXPECT_EQ(FiguresOf(first).bytes, 0);
    EXPECT_EQ(FiguresOf(first).blocks, 0);
}

// ---------------------------------------------------------------------------
// lmstl_allocator, as a client uses it (its own cases are in
// tests/statistics/lmstl_allocator_test.cpp)

// Move assignment propagates the allocator and takes the block as it is.
TEST_F(ClientContainers, MoveAssignmentTakesTheBlockAndTheHandle) {
    using Vector = std::vector<std::uint64_t, lmstl_allocator<std::uint64_t>>;
    Vector source(10, 7, lmstl_allocator<std::uint64_t>(&first));
    Vector target(5, 1, lmstl_allocator<std::uint64_t>(&second));
    target = std::move(source);
    EXPECT_EQ(target.get_allocator().handle(), &first);
    EXPECT_EQ(FiguresOf(second).bytes, 0);
    EXPECT_EQ(FiguresOf(first).bytes, 104);
    EXPECT_EQ(FiguresOf(first).allocated, 1);
}

// Swap exchanges blocks and handles; no figure moves.
TEST_F(ClientContainers, SwapExchangesBlocksAndHandles) {
    using Vector = std::vector<std::uint64_t, lmstl_allocator<std::uint64_t>>;
    Vector a(10, 7, lmstl_allocator<std::uint64_t>(&first));
    Vector b(5, 1, lmstl_allocator<std::uint64_t>(&second));
    a.swap(b);
    EXPECT_EQ(a.get_allocator().handle(), &second);
    EXPECT_EQ(b.get_allocator().handle(), &first);
    EXPECT_EQ(FiguresOf(first).bytes, 104);
    EXPECT_EQ(FiguresOf(second).bytes, 72);
    EXPECT_EQ(FiguresOf(first).allocated + FiguresOf(second).allocated, 2);
}

// A node container charges one block per element (libstdc++'s list node: two
// links and an int, 24 bytes, so the 32-byte class, 56).
TEST_F(ClientContainers, ListChargesOneBlockPerElement) {
    std::list<int, lmstl_allocator<int>> list{lmstl_allocator<int>(&first)};
    for (int i = 0; i < 5; ++i) {
        list.push_back(i);
    }
    EXPECT_EQ(FiguresOf(first).blocks, 5);
    EXPECT_EQ(FiguresOf(first).bytes, 5 * 56);
    list.pop_front();
    EXPECT_EQ(FiguresOf(first).bytes, 4 * 56);
}

} // namespace
