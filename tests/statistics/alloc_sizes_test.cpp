// The request-size histogram and the container adaptor that supplies its table.
//
// Plan (one owner per rule):
// - AllocSizes.LifeAndClassesMatchTheGoldenFile (tests/data/alloc_sizes.txt):
//   name, pages, rows, counts and the large blocks of the supplying handle after
//   each step: construction without a name ("unknown", nothing taken), pages
//   recorded before the table exists, a table block the heap refuses (still no
//   table), the first Record (one block of 52 rows, 1,248 bytes: a 1,272-byte
//   heap block; the early pages are lost), then the 52 bounds and labels in
//   order with the class that each bound and the byte above it land in (sizes
//   above 2 GiB land nowhere), Reset on a built table (no second block, counts
//   and pages cleared), destruction (the block goes back). Without an allocator the
//   module's root "DEBUG" supplies the table.
// - LmstlAllocator.AllocatesAndFreesThroughItsHandle: n elements take
//   n * sizeof(T) bytes of the handle's and give them back; a count whose bytes
//   overflow raises std::bad_array_new_length, the largest that fits reaches the
//   engine's failure; allocators are equal when their handles are, across
//   rebinding.

#include "statistics/AllocSizes.h"
#include "support/TestSupport.h"

#include <sstream>

using namespace dideverazez::test;

TEST(AllocSizes, LifeAndClassesMatchTheGoldenFile) {
    EXPECT_EQ(AllocSizes().allocator, &dideverazez::DebugRootAllocator());
    zu_allocator handle("sizes");
    std::ostringstream os;
    {
        AllocSizes sizes(nullptr, &handle);
        const auto show = [&](const char* step) {
            const StatAlloc& large = EngineOf(handle).LargeStat;
            os << step << ": " << sizes.name << ", pages " << sizes.pages << ", rows "
               << sizes.classes.size() << '/' << sizes.classes.capacity() << ", large blocks "
               << large.Memory.Current << " bytes of " << large.Counter.Cumul << ", counts";
            for (const AllocSizeClass& row : sizes.classes) {
                os << ' ' << row.count;
            }
            os << '\n';
        };
        show("built");
        sizes.RecordPage();
        show("a page before the table");
        // With the next heap call failing:
        EXPECT_TRUE(RaisesBadAllocation([&] { HeapFault(1), sizes.Record(5); }));
        show("the heap refused the table");
        sizes.Record(5);
        show("recorded 5");
        const auto label = [](const AllocSizeClass* row) { return row ? row->label : "none"; };
        for (const AllocSizeClass& row : sizes.classes) {
            os << row.bound << " [" << row.label << "] counts " << label(sizes.Record(row.bound))
               << ", " << row.bound + 1 << " in " << label(sizes.Record(row.bound + 1)) << '\n';
        }
        os << UINT64_MAX << " counts in " << label(sizes.Record(UINT64_MAX)) << '\n';
        sizes.RecordPage();
        show("recorded every bound and the byte above it, and a page");
        sizes.Reset();
        show("reset");
    }
    os << "destroyed: large blocks " << EngineOf(handle).LargeStat.Memory.Current << " bytes\n";
    EXPECT_TRUE(MatchesGolden("alloc_sizes.txt", os.str()));
}

TEST(LmstlAllocator, AllocatesAndFreesThroughItsHandle) {
    zu_allocator a("a"), b("b");
    lmstl_allocator<std::uint32_t> words(&a);
    lmstl_allocator<char> chars(words); // rebound: the same handle
    EXPECT_TRUE(chars == words);
    EXPECT_FALSE(words == lmstl_allocator<std::uint32_t>(&b));
    words.deallocate(words.allocate(300), 300);
    chars.deallocate(chars.allocate(1), 1);
    EXPECT_EQ(Of(EngineOf(a).LargeStat.Memory), (Triple{0, 1224, 1224})); // 1,200 + 24
    EXPECT_EQ(Of(EngineOf(a).PooledStat.Memory), (Triple{0, 32, 32}));    // the 8-byte class
    EXPECT_THROW(words.allocate(SIZE_MAX / 4 + 1), std::bad_array_new_length);
    EXPECT_TRUE(RaisesBadAllocation([&] { words.allocate(SIZE_MAX / 4); }));
}
