#include "engines/kdideverazez_impl.h"

#include <gtest/gtest.h>

TEST(BasicEngine, Smoke) {
    allocator_none root("root", nullptr, false);
    void* p = root.Alloc(0, nullptr, nullptr);
    EXPECT_EQ(root.GlobalStat.Memory.Current, 24);
    root.Free(p);
    EXPECT_EQ(root.GlobalStat.Memory.Current, 0);
}
