// A histogram of allocation request sizes: 52 fixed classes, each counting the
// requests above the previous class's bound and up to its own, plus a count of
// pages. Its table's storage is taken from a zu_allocator.
#pragma once

#include "statistics/lmstl_allocator.h"

#include <cstdint>
#include <vector>

struct AllocSizeClass {
    std::uint64_t bound; // the largest request size the class counts
    const char* label;   // six characters, for reports
    std::uint64_t count; // requests recorded in the class
};
static_assert(sizeof(AllocSizeClass) == 24, "a histogram row is three 64-bit words");

class AllocSizes {
public:
    static constexpr std::size_t ClassCount = 52;
    // The page size of the paged memory manager, as the reports print it.
    static constexpr std::uint64_t PageBytes = 4036;

    // `name` (held, not owned) becomes "unknown" when null; a null `allocator`
    // means the module's root allocator "DEBUG". Allocates nothing.
    explicit AllocSizes(const char* name = nullptr, zu_allocator* allocator = nullptr);
    // Gives the table's storage, if any, back to the engine that supplied it.
    ~AllocSizes();
    AllocSizes(const AllocSizes&) = delete;
    AllocSizes& operator=(const AllocSizes&) = delete;

    // Builds the table when it has no classes (one block of 52 rows, 1,248
    // bytes, from `allocator`), then clears every count and the page count.
    // Raises std::bad_alloc, leaving the table without classes, when the block
    // cannot be had.
    void Reset();
    // Counts one request of `size` bytes in the first class whose bound is at
    // least `size` and returns that class; returns null, counting nothing, for
    // sizes above 2 GiB. Builds the table first when it has none.
    AllocSizeClass* Record(std::uint64_t size);
    // Counts one page.
    void RecordPage();

    const char* name;
    zu_allocator* allocator;
    std::vector<AllocSizeClass, lmstl_allocator<AllocSizeClass>> classes;
    std::uint64_t pages;
};
