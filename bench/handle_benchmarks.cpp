// What building and destroying handles costs, through the shipped library:
//   handles/children-50k  a root, 50,000 live children built under it, then
//                         destroyed, oldest first;
//   handles/names-100k    100,000 roots of distinct names ("request-<n>"),
//                         each built and destroyed in turn.
// Run plainly (nothing recorded: a program that asks for no report), with
// DIDEVERAZEZ_REPORT set (every handle recorded, destroyed ones kept within
// their bound), and against another build of the library through
// LD_LIBRARY_PATH, these rows compare releases (bench/run.sh does the first
// two).

#include "handle/dideverazez.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

namespace {

void Children(benchmark::State& state) {
    for (auto _ : state) {
        zu_allocator root("Server");
        std::vector<std::unique_ptr<zu_allocator>> children;
        children.reserve(50000);
        for (int i = 0; i < 50000; ++i) {
            children.push_back(std::make_unique<zu_allocator>(root, "connection"));
        }
        for (auto& child : children) {
            child.reset();
        }
    }
}

void Names(benchmark::State& state) {
    std::vector<std::string> names;
    for (int i = 0; i < 100000; ++i) {
        names.push_back("request-" + std::to_string(i));
    }
    for (auto _ : state) {
        for (const std::string& name : names) {
            zu_allocator handle(name.c_str());
            benchmark::DoNotOptimize(&handle);
        }
    }
}

} // namespace

BENCHMARK(Children)->Name("handles/children-50k")->Unit(benchmark::kMillisecond);
BENCHMARK(Names)->Name("handles/names-100k")->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
