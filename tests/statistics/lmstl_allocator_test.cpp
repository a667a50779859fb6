// The standard-container adaptor over a handle: what it requests, and exact
// accounting of std::vector, std::map and std::basic_string on a child handle.
//
// A child's SelfStat shows its blocks at their stride (class size + 24) when
// pooled, at request + 24 when above 1024 bytes. Container sizes below are
// those of libstdc++, which both supported compilers use.

#include "statistics/lmstl_allocator.h"

#include "handle/HandleTesting.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

using dideverazez::test::Engine;
using dideverazez::test::EngineSwap;
using dideverazez::test::SpyEngine;

namespace {

using Vector = std::vector<std::uint64_t, lmstl_allocator<std::uint64_t>>;
using Map = std::map<int, int, std::less<int>, lmstl_allocator<std::pair<const int, int>>>;
using String = std::basic_string<char, std::char_traits<char>, lmstl_allocator<char>>;

struct Bench {
    zu_allocator root{"R"};
    zu_allocator child{root, "C"};

    std::int64_t Bytes() const { return Engine(child).SelfStat.Memory.Current; }
    std::int64_t Blocks() const { return Engine(child).SelfStat.Counter.Current; }
    std::int64_t BlocksEver() const { return Engine(child).SelfStat.Counter.Cumul; }
};

} // namespace

// allocate(n) is one request of n * sizeof(T) bytes under "lmstl_allocator" and
// "STL"; deallocate gives that block back.
TEST(LmstlAllocator, RequestsNamedLmstlAllocatorSTL) {
    zu_allocator handle("H");
    SpyEngine spy;
    EngineSwap swap(handle, spy);
    lmstl_allocator<std::uint64_t> alloc(&handle);
    std::uint64_t* p = alloc.allocate(3);
    ASSERT_EQ(spy.requests.size(), 1u);
    EXPECT_EQ(spy.requests[0].size, 24u);
    EXPECT_STREQ(spy.requests[0].name, "lmstl_allocator");
    EXPECT_STREQ(spy.requests[0].category, "STL");
    alloc.deallocate(p, 3);
    ASSERT_EQ(spy.freed.size(), 1u);
    EXPECT_EQ(spy.freed[0], p);
}

// Allocators over the same handle compare equal, over different ones unequal;
// a rebound copy keeps the handle.
TEST(LmstlAllocator, EqualityAndRebind) {
    zu_allocator first("A");
    zu_allocator second("B");
    const lmstl_allocator<int> a(&first);
    const lmstl_allocator<int> sameHandle(&first);
    const lmstl_allocator<int> other(&second);
    EXPECT_TRUE(a == sameHandle);
    EXPECT_FALSE(a != sameHandle);
    EXPECT_TRUE(a != other);

    using Rebound = std::allocator_traits<lmstl_allocator<int>>::rebind_alloc<double>;
    static_assert(std::is_same_v<Rebound, lmstl_allocator<double>>);
    static_assert(std::is_same_v<lmstl_allocator<int>::rebind<char>::other, lmstl_allocator<char>>);
    const Rebound rebound(a);
    EXPECT_EQ(rebound.handle(), &first);
    EXPECT_TRUE(rebound == a);
    EXPECT_TRUE(lmstl_allocator<int>(rebound) == a);
}

// A count whose bytes do not fit in a size_t raises std::bad_array_new_length;
// one that fits but cannot be served raises the engine's allocation failure.
// Neither changes a figure.
TEST(LmstlAllocator, OversizedRequests) {
    Bench bench;
    lmstl_allocator<std::uint64_t> alloc(&bench.child);
    EXPECT_THROW(alloc.allocate(SIZE_MAX / 8 + 1), std::bad_array_new_length);
    EXPECT_THROW(alloc.allocate(SIZE_MAX / 8), allocation_failure); // within 24 bytes of 2^64
    EXPECT_EQ(bench.BlocksEver(), 0);
}

// A vector's reserve, shrink, copy and move, block by block.
TEST(LmstlAllocator, VectorGrowShrinkCopyMove) {
    Bench bench;
    {
        Vector v(lmstl_allocator<std::uint64_t>(&bench.child));
        v.reserve(4); // 32 bytes: 32-byte class, stride 56
        EXPECT_EQ(bench.Bytes(), 56);
        v.reserve(20); // 160 bytes: 160-byte class, stride 184; the old block goes
        EXPECT_EQ(bench.Bytes(), 184);
        EXPECT_EQ(bench.Blocks(), 1);
        v.reserve(200); // 1600 bytes: heap block of 1624
        EXPECT_EQ(bench.Bytes(), 1624);
        EXPECT_EQ(Engine(bench.child).LargeStat.Memory.Current, 1624);
        v.assign({1, 2, 3});
        v.shrink_to_fit(); // 24 bytes: 32-byte class, stride 56
        EXPECT_EQ(bench.Bytes(), 56);
        EXPECT_EQ(Engine(bench.child).LargeStat.Memory.Current, 0);
        EXPECT_EQ(bench.BlocksEver(), 4);

        Vector copy(v); // another 24 bytes on the same handle
        EXPECT_EQ(copy.get_allocator().handle(), &bench.child);
        EXPECT_EQ(bench.Bytes(), 112);
        Vector moved(std::move(copy)); // takes the block over
        EXPECT_EQ(bench.Bytes(), 112);
        EXPECT_EQ(bench.Blocks(), 2);
        EXPECT_EQ(moved[2], 3u);
    }
    EXPECT_EQ(bench.Bytes(), 0);
    EXPECT_EQ(bench.Blocks(), 0);
    EXPECT_EQ(bench.BlocksEver(), 5);
}

// Copy assignment takes the source's allocator: the target's old block goes
// back to its own handle and the new one comes from the source's.
TEST(LmstlAllocator, VectorCopyAssignmentPropagatesAllocator) {
    zu_allocator root("R");
    zu_allocator first(root, "A");
    zu_allocator second(root, "B");
    Vector source({1, 2, 3}, lmstl_allocator<std::uint64_t>(&first)); // 24 bytes, stride 56
    Vector target({9, 9}, lmstl_allocator<std::uint64_t>(&second));   // 16 bytes, stride 40
    EXPECT_EQ(Engine(second).SelfStat.Memory.Current, 40);
    target = source;
    EXPECT_EQ(target.get_allocator().handle(), &first);
    EXPECT_EQ(Engine(first).SelfStat.Memory.Current, 112);
    EXPECT_EQ(Engine(second).SelfStat.Memory.Current, 0);
}

// A map's nodes (40 bytes in libstdc++: 32 of links and colour, 8 of value)
// each take a block of the 48-byte class, stride 72.
TEST(LmstlAllocator, MapNodesAccounted) {
    Bench bench;
    {
        Map m(lmstl_allocator<std::pair<const int, int>>(&bench.child));
        m[1] = 10;
        m[2] = 20;
        m[3] = 30;
        EXPECT_EQ(bench.Bytes(), 3 * 72);
        EXPECT_EQ(bench.Blocks(), 3);
        m.erase(2);
        EXPECT_EQ(bench.Bytes(), 2 * 72);
        Map copy(m);
        EXPECT_EQ(bench.Bytes(), 4 * 72);
        Map moved(std::move(copy));
        EXPECT_EQ(bench.Bytes(), 4 * 72);
        EXPECT_EQ(moved.at(3), 30);
    }
    EXPECT_EQ(bench.Bytes(), 0);
    EXPECT_EQ(bench.BlocksEver(), 5);
}

// A string beyond its in-object buffer takes capacity + 1 bytes; growth,
// copy, move and shrinking back into the buffer, block by block.
TEST(LmstlAllocator, StringGrowShrinkCopyMove) {
    Bench bench;
    {
        String s(100, 'x', lmstl_allocator<char>(&bench.child)); // 101 bytes: 128 class, 152
        EXPECT_EQ(bench.Bytes(), 152);
        s.append(100, 'y'); // capacity 200: 201 bytes, 224-byte class, stride 248
        EXPECT_EQ(bench.Bytes(), 248);
        EXPECT_EQ(bench.Blocks(), 1);
        String copy(s); // 201 bytes again
        EXPECT_EQ(bench.Bytes(), 496);
        String moved(std::move(copy));
        EXPECT_EQ(bench.Bytes(), 496);
        s.resize(10);
        s.shrink_to_fit(); // back into the in-object buffer: the block goes
        EXPECT_EQ(bench.Bytes(), 248);
        EXPECT_EQ(s, String("xxxxxxxxxx", lmstl_allocator<char>(&bench.child)));
        String small("short", lmstl_allocator<char>(&bench.child)); // fits the buffer
        EXPECT_EQ(bench.Blocks(), 1);
    }
    EXPECT_EQ(bench.Bytes(), 0);
    EXPECT_EQ(bench.BlocksEver(), 3);
}

// A heap refusal while a container grows leaves the container and the figures
// as they were.
TEST(LmstlAllocator, FailedGrowthLeavesContainerAlone) {
    Bench bench;
    Vector v({1, 2}, lmstl_allocator<std::uint64_t>(&bench.child)); // 16 bytes, stride 40
    dideverazez::testing::FailHeapCall(1);
    EXPECT_THROW(v.reserve(500), std::bad_alloc); // 4000 bytes: a heap block
    dideverazez::testing::FailHeapCall(0);
    EXPECT_EQ(v.size(), 2u);
    EXPECT_EQ(v.capacity(), 2u);
    EXPECT_EQ(bench.Bytes(), 40);
    EXPECT_EQ(bench.BlocksEver(), 1);
}
