// Runs one shape for a given number of alloc+free pairs, for counting
// instructions under `valgrind --tool=callgrind`, where counts repeat exactly
// and timings do not. bench/run.sh runs each shape with n and 2n pairs; the
// difference divided by n is the cost of one pair, free of set-up and exit.
//
//   instruction_counts <shape> <pairs>
//
// Shapes: steady (64 bytes on a child, 100 blocks live), pingpong (the same
// with nothing else live), root, depth8 (steady on the root and on a depth-8
// handle), batch-1k (pairs of the 1..1024 batch pattern, a multiple of 10,000),
// large-4k (4 KiB blocks on a child, 100 live), glibc, glibc-batch-1k,
// glibc-large-4k, accounting (malloc with mutex accounting), floor (two
// std::mutex lock+unlock pairs).

#include "Heaps.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

namespace {

using namespace bench;

constexpr std::size_t kLive = 100;
constexpr std::size_t kBatch = 10000;

// Keeps the compiler from dropping a pair whose block is never used.
void* volatile gSink;

template <class Heap> void Steady(Heap& heap, std::size_t bytes, long pairs) {
    std::array<void*, kLive> live{};
    for (void*& block : live) {
        block = heap.Alloc(bytes);
    }
    for (long i = 0; i < pairs; ++i) {
        void* block = heap.Alloc(bytes);
        gSink = block;
        heap.Free(block, bytes);
    }
    for (void* block : live) {
        heap.Free(block, bytes);
    }
}

template <class Heap> void PingPong(Heap& heap, std::size_t bytes, long pairs) {
    for (long i = 0; i < pairs; ++i) {
        void* block = heap.Alloc(bytes);
        gSink = block;
        heap.Free(block, bytes);
    }
}

// The same pattern as the timed batch-1k rows (same seed).
template <class Heap> void Batch(Heap& heap, long pairs) {
    std::mt19937_64 random(20240601);
    std::uniform_int_distribution<std::size_t> size(1, 1024);
    std::vector<std::size_t> sizes(kBatch);
    for (std::size_t& s : sizes) {
        s = size(random);
    }
    std::vector<std::size_t> order(kBatch);
    for (std::size_t i = 0; i < kBatch; ++i) {
        order[i] = i;
    }
    std::shuffle(order.begin(), order.end(), random);
    std::vector<void*> blocks(kBatch);
    for (long done = 0; done < pairs; done += static_cast<long>(kBatch)) {
        for (std::size_t i = 0; i < kBatch; ++i) {
            blocks[i] = heap.Alloc(sizes[i]);
        }
        for (std::size_t i : order) {
            heap.Free(blocks[i], sizes[i]);
        }
    }
}

std::mutex gMutex;

void Floor(long pairs) {
    for (long i = 0; i < pairs; ++i) {
        gMutex.lock();
        gMutex.unlock();
        gMutex.lock();
        gMutex.unlock();
    }
}

int Usage() {
    std::fprintf(stderr, "usage: instruction_counts "
                         "steady|pingpong|root|depth8|batch-1k|large-4k|glibc|glibc-batch-1k|"
                         "glibc-large-4k|accounting|floor <pairs>\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        return Usage();
    }
    const char* shape = argv[1];
    const long pairs = std::strtol(argv[2], nullptr, 10);
    if (pairs <= 0) {
        return Usage();
    }
    const auto is = [shape](const char* name) { return std::strcmp(shape, name) == 0; };
    if (is("steady") || is("root") || is("depth8")) {
        DideverazezHeap heap(is("root") ? 0 : is("depth8") ? 8 : 1);
        Steady(heap, 64, pairs);
    } else if (is("pingpong")) {
        DideverazezHeap heap(1);
        PingPong(heap, 64, pairs);
    } else if (is("large-4k")) {
        DideverazezHeap heap(1);
        Steady(heap, 4096, pairs);
    } else if (is("glibc-large-4k")) {
        GlibcHeap heap;
        Steady(heap, 4096, pairs);
    } else if (is("batch-1k")) {
        DideverazezHeap heap(1);
        Batch(heap, pairs);
    } else if (is("glibc")) {
        GlibcHeap heap;
        Steady(heap, 64, pairs);
    } else if (is("glibc-batch-1k")) {
        GlibcHeap heap;
        Batch(heap, pairs);
    } else if (is("accounting")) {
        AccountingHeap heap;
        Steady(heap, 64, pairs);
    } else if (is("floor")) {
        Floor(pairs);
    } else {
        return Usage();
    }
    return 0;
}
