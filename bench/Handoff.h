// Blocks handed between threads: the shapes that bench/sharing_benchmarks
// times through each heap and bench/handoff_program runs as an unchanged
// program, written once.
//
//   producer-consumer  thread 0 allocates 64-byte blocks, thread 1 frees them;
//   2x2                threads 0 and 1 produce, 2 and 3 consume, each
//                      producer's blocks dealt alternately to both consumers;
//   pool4              four workers; each makes a request (three blocks of 48,
//                      200 and 700 bytes, the last written through), hands it
//                      to the next worker and frees the one the previous
//                      worker handed it.
//
// A heap is anything with `void* Alloc(int thread, std::size_t bytes)` and
// `void Free(void* block)`; `more()` says whether the calling thread goes on
// (Google Benchmark's KeepRunning, or a count). Every thread of a shape makes
// the same number of steps, and every ring then gives as many blocks as it
// gets, so the rings are empty again when a shape ends.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <thread>

namespace bench::handoff {

constexpr std::size_t kSlots = 1024;
constexpr std::size_t kRequestSizes[] = {48, 200, 700};

// A single-producer, single-consumer ring; a side that finds it full or empty
// yields its core, since the shapes run more threads than a machine may have
// cores.
struct alignas(128) Ring {
    std::atomic<void*> slots[kSlots] = {};
    alignas(128) std::size_t produced = 0;
    alignas(128) std::size_t consumed = 0;

    void Put(void* item) {
        std::atomic<void*>& slot = slots[produced++ % kSlots];
        while (slot.load(std::memory_order_acquire) != nullptr) {
            std::this_thread::yield();
        }
        slot.store(item, std::memory_order_release);
    }
    void* Take() {
        std::atomic<void*>& slot = slots[consumed++ % kSlots];
        void* item;
        while ((item = slot.exchange(nullptr, std::memory_order_acquire)) == nullptr) {
            std::this_thread::yield();
        }
        return item;
    }
};

// rings[from][to], between the threads of a shape.
inline Ring gRings[4][4];

// Producer p deals its k-th block to consumer `first + (k + p) % consumers`;
// consumer c takes its k-th from producer (k + c) % producers. With two of
// each, both use ring [p][c] at the steps k of the parity of p + c.
template <class Heap, class More>
void Produce(Heap& heap, int self, int consumers, int first, More more) {
    for (std::size_t k = 0; more(); ++k) {
        gRings[self][first + (k + self) % consumers].Put(heap.Alloc(self, 64));
    }
}

template <class Heap, class More> void Consume(Heap& heap, int self, int producers, More more) {
    for (std::size_t k = 0; more(); ++k) {
        heap.Free(gRings[(k + self) % producers][self].Take());
    }
}

// One thread of producer-consumer (threads 0 and 1) or of 2x2 (0 to 3).
template <class Heap, class More> void ProducerConsumer(Heap& heap, int self, More more) {
    self == 0 ? Produce(heap, 0, 1, 1, more) : Consume(heap, 1, 1, more);
}

template <class Heap, class More> void TwoByTwo(Heap& heap, int self, More more) {
    self < 2 ? Produce(heap, self, 2, 2, more) : Consume(heap, self, 2, more);
}

// One worker of pool4 (0 to 3): a request's first block holds the other two.
template <class Heap, class More> void Pool4(Heap& heap, int self, More more) {
    Ring& out = gRings[self][(self + 1) % 4];
    Ring& in = gRings[(self + 3) % 4][self];
    while (more()) {
        auto** request = static_cast<void**>(heap.Alloc(self, kRequestSizes[0]));
        request[0] = heap.Alloc(self, kRequestSizes[1]);
        request[1] = heap.Alloc(self, kRequestSizes[2]);
        std::memset(request[1], 0x5a, kRequestSizes[2]);
        out.Put(request);
        auto** taken = static_cast<void**>(in.Take());
        heap.Free(taken[1]);
        heap.Free(taken[0]);
        heap.Free(taken);
    }
}

} // namespace bench::handoff
