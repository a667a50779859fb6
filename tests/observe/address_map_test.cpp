// The map of sampled blocks in use (Tools/observe/AddressMap.h). Which test
// owns which rule:
//  - AddressMap.AgreesWithAReferenceMap: every entry found after any run of
//    insertions and erasures, at the highest load, across growth and across
//    the table's end; erased ones gone.
//  - AddressMap.AFailedGrowthLeavesTheMapAsItWas: std::bad_alloc, and every
//    entry still there.
// Its use by the samples (each sampled block in, out when freed) is the
// sample store's (sample_store_test.cpp).

#include "engines/SystemHeap.h"
#include "observe/AddressMap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <random>
#include <unordered_map>
#include <vector>

namespace {

using dideverazez::observe::AddressMap;

const void* Address(std::uint64_t n) {
    return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(16 * n + 16));
}

TEST(AddressMap, AgreesWithAReferenceMap) {
    AddressMap<std::uint64_t> map;
    std::unordered_map<const void*, std::uint64_t> reference;
    std::vector<const void*> keys;
    std::mt19937_64 random(7);
    const auto check = [&] {
        ASSERT_EQ(map.Size(), reference.size());
        for (const auto& [key, value] : reference) {
            const std::uint64_t* found = map.Find(key);
            ASSERT_NE(found, nullptr);
            ASSERT_EQ(*found, value);
        }
        std::size_t visited = 0;
        map.ForEach([&](const void* key, std::uint64_t& value) {
            ++visited;
            EXPECT_EQ(reference.at(key), value);
        });
        EXPECT_EQ(visited, reference.size());
    };
    // Up to just below the growth bound of 1024 slots and 2048, then churn
    // there: the longest probe runs, wrapping past the last slot.
    for (const std::size_t high : {767u, 1535u}) {
        while (reference.size() < high) {
            const void* key = Address(random() % 100000);
            if (reference.count(key) == 0) {
                map.Insert(key, reference[key] = random());
                keys.push_back(key);
            }
        }
        check();
        for (int round = 0; round < 20000; ++round) {
            const std::size_t pick = random() % keys.size();
            const void* key = keys[pick];
            std::uint64_t* found = map.Find(key);
            ASSERT_NE(found, nullptr);
            map.Erase(found);
            reference.erase(key);
            keys[pick] = keys.back();
            keys.pop_back();
            EXPECT_EQ(map.Find(key), nullptr);
            for (;;) {
                const void* added = Address(random() % 100000);
                if (reference.count(added) == 0) {
                    map.Insert(added, reference[added] = random());
                    keys.push_back(added);
                    break;
                }
            }
            if (round % 5000 == 0) {
                check();
            }
        }
        check();
    }
    while (!keys.empty()) {
        map.Erase(map.Find(keys.back()));
        reference.erase(keys.back());
        keys.pop_back();
    }
    check();
    map.Release();
}

TEST(AddressMap, AFailedGrowthLeavesTheMapAsItWas) {
    AddressMap<std::uint64_t> map;
    for (std::uint64_t n = 0; n < 768; ++n) { // 3/4 of the first 1024 slots
        map.Insert(Address(n), n);
    }
    dideverazez::testing::FailHeapCall(1);
    EXPECT_THROW(map.Insert(Address(768), 768), std::bad_alloc);
    dideverazez::testing::FailHeapCall(0);
    EXPECT_EQ(map.Size(), 768u);
    for (std::uint64_t n = 0; n < 768; ++n) {
        ASSERT_NE(map.Find(Address(n)), nullptr);
        EXPECT_EQ(*map.Find(Address(n)), n);
    }
    EXPECT_EQ(map.Find(Address(768)), nullptr);
    map.Insert(Address(768), 768); // grows now
    EXPECT_EQ(map.Size(), 769u);
    for (std::uint64_t n = 0; n <= 768; ++n) {
        map.Erase(map.Find(Address(n)));
    }
    map.Release();
}

} // namespace
