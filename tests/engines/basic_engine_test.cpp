// The basic engine (Tools/engines/basic_engine.cpp). Which test owns which
// rule:
//  - BasicEngine.ChargesItsRootAndItselfOnly: its block header (24 bytes more
//    than asked), and charges to its root and itself only; Reserve and
//    IncMemoryUsed alike, UnReserve and DecMemoryUsed alike.
// What both engines share (errors, the 0xCD fill): engine_contract_test.cpp.

#include "engines/kdideverazez_impl.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using namespace dideverazez::test;

// A basic engine charges every amount to its root's GlobalStat and its own,
// never to the engines between, and keeps no other statistic. Reserve and
// IncMemoryUsed have the same effect, as have UnReserve and DecMemoryUsed.
TEST(BasicEngine, ChargesItsRootAndItselfOnly) {
    EngineTree<allocator_none> tree;
    void* p = tree.grandchild.Alloc(100, nullptr, nullptr); // 124
    EXPECT_EQ(HeaderOf(p)->Owner, &tree.grandchild);
    EXPECT_EQ(HeaderOf(p)->Size, 124u);
    tree.grandchild.IncMemoryUsed(10);
    tree.grandchild.Reserve(20);
    tree.grandchild.UnReserve(5);
    const std::array<Triple, 2> charged{{{149, 154, 154}, {2, 3, 3}}}; // 124 + 10 + 20 - 5
    EXPECT_EQ(Of(tree.grandchild.GlobalStat), charged);
    EXPECT_EQ(Of(tree.root.GlobalStat), charged);
    EXPECT_TRUE(tree.child.IsEmpty());
    tree.grandchild.DecMemoryUsed(25);
    tree.grandchild.Free(p);
    EXPECT_EQ(Of(tree.root.GlobalStat), (std::array<Triple, 2>{{{0, 154, 154}, {0, 3, 3}}}));
    EXPECT_EQ(AllFigures(tree.grandchild).front(), (Triple{0, 0, 0})); // ReservedStat
    tree.grandchild.GlobalStat = {};
    EXPECT_EQ(AllFigures(tree.grandchild), AllFigures(tree.child));
}

} // namespace
