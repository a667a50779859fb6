// The memory a heap takes from the operating system for one million 64-byte
// blocks: the growth of the peak resident set from just before the first
// block to just after the last. One heap per process, so that no heap sees
// another's pages:
//
//   memory_footprint <heap>      prints "<heap> <bytes>"
//
// Heaps: glibc, dideverazez (a child handle), malloc+accounting,
// pmr-unsync-pool, pmr-sync-pool, jemalloc, mimalloc, tcmalloc, talloc. A heap
// whose library is not installed prints "<heap> missing" and exits with 3.

#include "Heaps.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace bench;

constexpr std::size_t kBlocks = 1000000;
constexpr std::size_t kBytes = 64;

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
long long StatusBytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
            return std::stoll(line.substr(length + 1)) * 1024; // reported in kB
        }
    }
    return -1;
}

template <class Heap> long long Footprint(Heap& heap) {
    // The pointer array and the heap's own start-up come before the baseline.
    std::vector<void*> blocks(kBlocks, nullptr);
    heap.Free(heap.Alloc(kBytes), kBytes);
    const long long before = StatusBytes("VmRSS");
    for (void*& block : blocks) {
        block = heap.Alloc(kBytes);
        std::memset(block, 1, kBytes); // every block touched, as a client would
    }
    const long long peak = StatusBytes("VmHWM");
    for (void* block : blocks) {
        heap.Free(block, kBytes);
    }
    return peak - before;
}

template <class Heap, class... Args> long long Measure(Args&&... args) {
    auto heap = std::make_unique<Heap>(std::forward<Args>(args)...);
    return Footprint(*heap);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: memory_footprint <heap>\n");
        return 2;
    }
    EnsureRoomForJemalloc(argv);
    const std::string name = argv[1];
    const LoadedPeers& peers = Peers();
    long long bytes = -1;
    if (name == "glibc") {
        bytes = Measure<GlibcHeap>();
    } else if (name == "dideverazez") {
        bytes = Measure<DideverazezHeap>(1);
    } else if (name == "malloc+accounting") {
        bytes = Measure<AccountingHeap>();
    } else if (name == "pmr-unsync-pool") {
        bytes = Measure<UnsynchronizedPoolHeap>();
    } else if (name == "pmr-sync-pool") {
        bytes = Measure<SynchronizedPoolHeap>();
    } else if (name == "jemalloc" || name == "mimalloc" || name == "tcmalloc") {
        const LoadedHeap& heap = name == "jemalloc"   ? peers.jemalloc
                                 : name == "mimalloc" ? peers.mimalloc
                                                      : peers.tcmalloc;
        if (heap.Loaded()) {
            bytes = Measure<LoadedHeap>(heap);
        }
    } else if (name == "talloc") {
        if (peers.tallocNamedConst != nullptr && peers.tallocFree != nullptr) {
            bytes = Measure<TallocHeap>();
        }
    } else {
        std::fprintf(stderr, "memory_footprint: unknown heap '%s'\n", name.c_str());
        return 2;
    }
    if (bytes < 0) {
        std::printf("%s missing\n", name.c_str());
        return 3;
    }
    std::printf("%s %lld\n", name.c_str(), bytes);
    return 0;
}
