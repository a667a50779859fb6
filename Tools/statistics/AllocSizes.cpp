// The request-size histogram.

#include "statistics/AllocSizes.h"

#include "handle/Internals.h"

#include <algorithm>

namespace {

struct ClassRow {
    std::uint64_t bound;
    const char* label;
};

// Bounds: 0, 2, 4; every 4 bytes to 32; every 8 to 64; every 16 to 256; every
// 64 to 512; then powers of two to 2 GiB. Labels: the bound in three
// characters and a unit.
constexpr ClassRow kClasses[AllocSizes::ClassCount] = {
    {0, "  0 b "},          {2, "  2 b "},          {4, "  4 b "},
    {8, "  8 b "},          {12, " 12 b "},         {16, " 16 b "},
    {20, " 20 b "},         {24, " 24 b "},         {28, " 28 b "},
    {32, " 32 b "},         {40, " 40 b "},         {48, " 48 b "},
    {56, " 56 b "},         {64, " 64 b "},         {80, " 80 b "},
    {96, " 96 b "},         {112, "112 b "},        {128, "128 b "},
    {144, "144 b "},        {160, "160 b "},        {176, "176 b "},
    {192, "192 b "},        {208, "208 b "},        {224, "224 b "},
    {240, "240 b "},        {256, "256 b "},        {320, "320 b "},
    {384, "384 b "},        {448, "448 b "},        {512, "512 b "},
    {1024, "  1 Ko"},       {2048, "  2 Ko"},       {4096, "  4 Ko"},
    {8192, "  8 Ko"},       {16384, " 16 Ko"},      {32768, " 32 Ko"},
    {65536, " 64 Ko"},      {131072, "128 Ko"},     {262144, "256 Ko"},
    {524288, "512 Ko"},     {1048576, "  1 Mo"},    {2097152, "  2 Mo"},
    {4194304, "  4 Mo"},    {8388608, "  8 Mo"},    {16777216, " 16 Mo"},
    {33554432, " 32 Mo"},   {67108864, " 64 Mo"},   {134217728, "128 Mo"},
    {268435456, "256 Mo"},  {536870912, "512 Mo"},  {1073741824, "  1 Go"},
    {2147483648u, "  2 Go"},
};

constexpr bool ClassesAreSorted() {
    for (std::size_t i = 1; i < AllocSizes::ClassCount; ++i) {
        if (kClasses[i].bound <= kClasses[i - 1].bound) {
            return false;
        }
    }
    return kClasses[AllocSizes::ClassCount - 1].bound == (std::uint64_t{1} << 31);
}
static_assert(ClassesAreSorted(), "histogram bounds ascend to 2 GiB");

} // namespace

AllocSizes::AllocSizes(const char* name, zu_allocator* allocator)
    : name(name != nullptr ? name : "unknown"),
      allocator(allocator != nullptr ? allocator : &dideverazez::DebugRootAllocator()),
      classes(lmstl_allocator<AllocSizeClass>(this->allocator)), pages(0) {}

AllocSizes::~AllocSizes() = default;

void AllocSizes::Reset() {
    if (classes.empty()) {
        classes.reserve(ClassCount); // one block of exactly 52 rows, or nothing on failure
        for (const ClassRow& row : kClasses) {
            classes.push_back({row.bound, row.label, 0});
        }
    }
    for (AllocSizeClass& row : classes) {
        row.count = 0;
    }
    pages = 0;
}

AllocSizeClass* AllocSizes::Record(std::uint64_t size) {
    if (classes.empty()) {
        Reset();
    }
    auto row = std::lower_bound(classes.begin(), classes.end(), size,
                                [](const AllocSizeClass& c, std::uint64_t s) { return c.bound < s; });
    if (row == classes.end()) {
        return nullptr;
    }
    ++row->count;
    return &*row;
}

void AllocSizes::RecordPage() { ++pages; }
