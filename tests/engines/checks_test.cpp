// What the library catches by itself in the checking build
// (Tools/engines/Checks.cpp). Which test owns which rule:
//  - CheckedBuildDeathTest.BrokenPoolInvariantAborts: in the checking build,
//    each invariant of the pool, broken by hand, stops the next operation with
//    one line naming it (every invariant of PagedMemory::CheckClass and
//    CheckInvariants has its row).
//  - CheckedBuildDeathTest.MisuseAborts: a pooled block freed twice, a block
//    freed after its handle, a handle destroyed before its child.
//  - CheckedBuildDeathTest.HeapBlocksBalanceAtUnload: a heap block taken and
//    never freed stops the module's unload; the pages and large blocks a
//    leaking tree leaves do not, nor do the samples of a sampled run, nor a
//    basic engine's blocks (their count is not known).
// How the memory checkers are notified of pooled blocks: memory_checkers_test.cpp.

#include "engines/MemoryCheckers.h"
#include "engines/kdideverazez_impl.h"
#include "observe/Sampler.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <vector>

namespace {

#if defined(DIDEVERAZEZ_CHECKED)

using dideverazez::detail::Show;

// A root whose 64-byte class has a full page and, at the head of its list, a
// page with one block in use; two empty pages are cached.
struct BrokenPool {
    zu_allocator handle{"broken"};
    allocator_data& root = static_cast<allocator_data&>(dideverazez::test::EngineOf(handle));
    MemoryManager& manager = root.OwnPool.Managers[4];
    std::vector<void*> blocks;

    BrokenPool() {
        void* emptied[] = {handle.Alloc(1000), handle.Alloc(500)};
        for (int i = 0; i < 46; ++i) {
            blocks.push_back(handle.Alloc(64));
        }
        for (void* p : emptied) {
            zu_free(p, nullptr);
        }
    }
    Page* Listed() { return manager.FirstPage; }
    Page* Full() { return PagedMemory::PageOf(blocks[0]); }
    PooledBlock* FreeBlock() { // the second on the listed page's free list
        Show(Listed()->FreeList, sizeof(PooledBlock));
        auto* block = static_cast<PooledBlock*>(Listed()->FreeList->Link);
        Show(block, sizeof(PooledBlock));
        return block;
    }
};

TEST(CheckedBuildDeathTest, BrokenPoolInvariantAborts) {
    // What meets the broken pool: a block of the class, then a page from the
    // cache; or the block of the class alone (from its listed page); or a
    // block freed, which empties a page; or the metrics, which give the cached
    // pages back.
    enum class Then { Allocate, OneBlock, EmptyAPage, Metrics };
    const auto area = [](Page* page) { return reinterpret_cast<char*>(page + 1); };
    const struct {
        const char* invariant;
        std::function<void(BrokenPool&)> breakIt;
        Then then = Then::Allocate;
    } rows[] = {
        {"free block off its page's strides, or free list too long",
         [](BrokenPool& p) { p.FreeBlock()->Link = reinterpret_cast<char*>(p.FreeBlock()) + 8; }},
        {"free block off its page's strides", // one stride before the first block
         [&](BrokenPool& p) { p.FreeBlock()->Link = area(p.Listed()) - p.Listed()->Stride; }},
        {"free block off its page's strides", // where a block past the last would be
         [&](BrokenPool& p) {
             p.FreeBlock()->Link = area(p.Listed()) + p.Listed()->Capacity * p.Listed()->Stride;
         }},
        {"free block not marked free", [](BrokenPool& p) { p.FreeBlock()->Owner = &p.root; }},
        {"free pooled block with a non-zero Size word",
         [](BrokenPool& p) { p.FreeBlock()->Size = 1; }},
        {"free list shorter than FreeCount", [](BrokenPool& p) { p.FreeBlock()->Link = nullptr; }},
        {"UsedCount \\+ FreeCount differs from Capacity",
         [](BrokenPool& p) { ++p.Listed()->UsedCount; }},
        {"Blocks.Current differs", [](BrokenPool& p) { p.manager.Blocks.Add(1); }},
        {"Blocks.Current differs", [](BrokenPool& p) { p.manager.Blocks.Add(1); }, Then::OneBlock},
        {"page list links disagree", [](BrokenPool& p) { p.Listed()->Prev = p.Full(); }},
        {"listed page is empty or full",
         [](BrokenPool& p) {
             p.Listed()->Next = p.Full();
             p.Full()->Prev = p.Listed();
         }},
        {"listed page has the wrong manager", [](BrokenPool& p) { p.Listed()->Stride = 96; }},
        {"cached page is still listed",
         [](BrokenPool& p) { p.root.OwnPool.FreePages[0]->Next = p.Full(); }},
        {"Owner's PageStat differs", [](BrokenPool& p) { p.root.PageStat.Charge(0); }},
        {"Owner's PageStat differs", [](BrokenPool& p) { p.root.PageStat.Charge(0); },
         Then::Metrics},
        {"more cached pages than the cache holds",
         [](BrokenPool& p) { p.root.OwnPool.FreePageCount = 5; }, Then::EmptyAPage},
    };
    for (const auto& row : rows) {
        EXPECT_DEATH(
            {
                BrokenPool pool;
                row.breakIt(pool);
                if (row.then == Then::Metrics) {
                    zu_allocator::Metrics metrics;
                    pool.handle.GetMetrics(metrics);
                    std::_Exit(0); // the metrics' check, not the pool's destruction
                } else {
                    if (row.then == Then::EmptyAPage) {
                        pool.handle.Free(pool.blocks.back());
                    }
                    pool.handle.Alloc(64);
                    if (row.then == Then::OneBlock) {
                        std::_Exit(0); // that block's check, not the pool's destruction
                    }
                    pool.handle.Alloc(8);
                }
            },
            std::string("dideverazez: pool invariant broken: ") + row.invariant)
            << row.invariant;
    }
}

TEST(CheckedBuildDeathTest, MisuseAborts) {
    zu_allocator root("root");
    EXPECT_DEATH(
        {
            void* p = root.Alloc(64);
            root.Free(p);
            zu_free(p, &root);
        },
        "pooled block freed twice \\(block 0x[0-9a-f]+, freed through handle \"root\"\\)|"
        "use-after-poison");
    EXPECT_DEATH(
        {
            auto* gone = new zu_allocator(root, "gone");
            void* p = gone->Alloc(2000);
            delete gone;
            zu_free(p, nullptr);
        },
        "block names an allocator that is not alive.*through handle \"\\(none\\)\"");
    EXPECT_DEATH(
        {
            auto* parent = new zu_allocator("parent");
            new zu_allocator(*parent, "child");
            delete parent;
        },
        "allocator \"parent\" destroyed while 1 of its children are alive");
}

// What the children below leave, still reachable for memcheck and LeakSanitizer.
void* gKept[302];

// No handle is alive in these children when they exit and unload the module.
TEST(CheckedBuildDeathTest, HeapBlocksBalanceAtUnload) {
    EXPECT_DEATH(
        {
            gKept[0] = dbg_alloc(16);
            std::exit(0);
        },
        "^dideverazez: heap blocks not balanced at unload: 1 taken through dbg_alloc and not "
        "freed, 0 of them left by allocators destroyed with blocks in use\n$");
    EXPECT_EXIT(
        {
            auto* root = new zu_allocator("leaking");
            auto* child = new zu_allocator(*root, "child");
            for (int i = 0; i < 300; ++i) { // 300 x 88: seven pages of 64-byte blocks
                gKept[i] = child->Alloc(64);
            }
            gKept[300] = child->Alloc(2000);
            gKept[301] = root->Alloc(5000);
            delete child;
            delete root;
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    // A basic engine destroyed with a block in use: its figures mix blocks
    // with declared bytes, so how many heap blocks it leaves is not known, and
    // the balance is not checked.
    EXPECT_EXIT(
        {
            auto* basic = new allocator_none("basic", nullptr, false);
            gKept[0] = basic->Alloc(100, nullptr, nullptr);
            delete basic;
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    // Every allocation sampled, from two sites, and every block freed: the
    // samples' tables and sites go back to the heap with the module.
    EXPECT_EXIT(
        {
            dideverazez::observe::testing::SampleEvery(1);
            auto* root = new zu_allocator("sampled");
            auto* child = new zu_allocator(*root, "child");
            for (int i = 0; i < 100; ++i) {
                gKept[i] = i % 2 == 0 ? child->Alloc(64) : root->Alloc(3000);
            }
            for (int i = 0; i < 100; ++i) {
                zu_free(gKept[i], nullptr);
            }
            delete child;
            delete root;
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

#endif

} // namespace
