#include "Heaps.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <new>
#include <unistd.h>

namespace bench {

namespace {

constexpr const char* kChainNames[] = {"bench-root", "bench-1", "bench-2", "bench-3", "bench-4",
                                       "bench-5",    "bench-6", "bench-7", "bench-8"};
constexpr int kDeepest = static_cast<int>(sizeof kChainNames / sizeof kChainNames[0]) - 1;

constexpr const char* kJemallocTunable = "glibc.rtld.optional_static_tls=65536";

// Opens the first of `names` that loads; null when none does.
void* OpenFirst(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL)) {
            return library;
        }
    }
    return nullptr;
}

template <class Function> Function Resolve(void* library, const char* symbol) {
    return library != nullptr ? reinterpret_cast<Function>(dlsym(library, symbol)) : nullptr;
}

LoadedHeap LoadHeap(std::initializer_list<const char*> names, const char* allocName,
                    const char* freeName) {
    void* library = OpenFirst(names);
    LoadedHeap heap;
    heap.alloc = Resolve<void* (*)(std::size_t)>(library, allocName);
    heap.free = Resolve<void (*)(void*)>(library, freeName);
    return heap;
}

LoadedPeers LoadPeers() {
    LoadedPeers peers;
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (tunables != nullptr && std::strstr(tunables, kJemallocTunable) != nullptr) {
        peers.jemalloc = LoadHeap({"libjemalloc.so.2", "libjemalloc.so"}, "malloc", "free");
    }
    peers.mimalloc = LoadHeap({"libmimalloc.so.2", "libmimalloc.so"}, "mi_malloc", "mi_free");
    peers.tcmalloc =
        LoadHeap({"libtcmalloc_minimal.so.4", "libtcmalloc.so.4"}, "tc_malloc", "tc_free");
    void* talloc = OpenFirst({"libtalloc.so.2", "libtalloc.so"});
    peers.tallocNamedConst =
        Resolve<decltype(peers.tallocNamedConst)>(talloc, "talloc_named_const");
    peers.tallocFree = Resolve<decltype(peers.tallocFree)>(talloc, "_talloc_free");

    const std::pair<const char*, bool> found[] = {
        {"jemalloc", peers.jemalloc.Loaded()},
        {"mimalloc", peers.mimalloc.Loaded()},
        {"tcmalloc", peers.tcmalloc.Loaded()},
        {"talloc", peers.tallocNamedConst != nullptr && peers.tallocFree != nullptr}};
    for (const auto& [name, loaded] : found) {
        if (!loaded) {
            peers.missing += peers.missing.empty() ? "" : " ";
            peers.missing += name;
        }
    }
    return peers;
}

} // namespace

DideverazezHeap::DideverazezHeap(int depth) {
    if (depth < 0 || depth > kDeepest) {
        throw std::invalid_argument("DideverazezHeap: depth out of range");
    }
    chain_.push_back(std::make_unique<zu_allocator>(kChainNames[0]));
    for (int level = 1; level <= depth; ++level) {
        chain_.push_back(std::make_unique<zu_allocator>(*chain_.back(), kChainNames[level]));
    }
    handle_ = chain_.back().get();
}

DideverazezHeap::~DideverazezHeap() {
    while (!chain_.empty()) {
        chain_.pop_back(); // children before their parent
    }
}

void* AccountingHeap::Alloc(std::size_t bytes) {
    auto* block = static_cast<std::uint64_t*>(std::malloc(bytes + 16));
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    block[0] = bytes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_.Add(static_cast<std::int64_t>(bytes));
        count_.Add(1);
    }
    return block + 2;
}

void AccountingHeap::Free(void* block, std::size_t) {
    auto* header = static_cast<std::uint64_t*>(block) - 2;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_.current -= static_cast<std::int64_t>(header[0]);
        count_.current -= 1;
    }
    std::free(header);
}

const LoadedPeers& Peers() {
    static const LoadedPeers peers = LoadPeers();
    return peers;
}

TallocHeap::TallocHeap() : peers_(Peers()) {
    root_ = peers_.tallocNamedConst(nullptr, 0, "root");
    child_ = peers_.tallocNamedConst(root_, 0, "bench");
    if (root_ == nullptr || child_ == nullptr) {
        throw std::bad_alloc();
    }
}

TallocHeap::~TallocHeap() {
    peers_.tallocFree(root_, "bench");
}

void EnsureRoomForJemalloc(char** argv) {
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (tunables != nullptr && std::strstr(tunables, kJemallocTunable) != nullptr) {
        return;
    }
    std::string value = kJemallocTunable;
    if (tunables != nullptr && *tunables != '\0') {
        value = std::string(tunables) + ":" + value;
    }
    setenv("GLIBC_TUNABLES", value.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "could not re-execute with %s: jemalloc is not measured\n",
                 kJemallocTunable);
}

} // namespace bench
