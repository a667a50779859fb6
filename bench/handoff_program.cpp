// An unchanged program whose blocks are freed by other threads than the ones
// that made them (the shapes of bench/Handoff.h through plain malloc and free),
// for bench/sharing.sh to run plainly, through the preload library and over
// other heaps with LD_PRELOAD.
//
//   handoff_program pc|2x2|pool4 STEPS
//
// Each thread makes STEPS steps (a block made or freed; for pool4 a request
// made and one freed). Prints the shape and steps (a line of the arguments
// alone) and the elapsed wall time on standard error ("elapsed ms N").

#include "Handoff.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

struct Malloc {
    void* Alloc(int, std::size_t bytes) {
        void* block = std::malloc(bytes);
        if (block == nullptr) {
            std::fprintf(stderr, "handoff_program: out of memory\n");
            std::exit(1);
        }
        return block;
    }
    void Free(void* block) { std::free(block); }
};

} // namespace

int main(int argc, char** argv) {
    using namespace bench::handoff;
    using Shape = void (*)(Malloc&, int, std::function<bool()>);
    const std::pair<const char*, std::pair<Shape, int>> shapes[] = {
        {"pc", {ProducerConsumer<Malloc, std::function<bool()>>, 2}},
        {"2x2", {TwoByTwo<Malloc, std::function<bool()>>, 4}},
        {"pool4", {Pool4<Malloc, std::function<bool()>>, 4}}};
    const auto* shape =
        argc == 3 ? std::find_if(std::begin(shapes), std::end(shapes),
                                 [&](const auto& s) { return std::strcmp(s.first, argv[1]) == 0; })
                  : std::end(shapes);
    if (shape == std::end(shapes)) {
        std::fprintf(stderr, "usage: handoff_program pc|2x2|pool4 STEPS\n");
        return 2;
    }
    const unsigned long long steps = std::strtoull(argv[2], nullptr, 10);
    Malloc heap;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int self = 0; self < shape->second.second; ++self) {
        threads.emplace_back([&, self] {
            unsigned long long done = 0;
            shape->second.first(heap, self, [&] { return done++ < steps; });
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::printf("%s %llu\n", shape->first, steps);
    std::fprintf(stderr, "elapsed ms %lld\n", static_cast<long long>(elapsed.count()));
    return 0;
}
