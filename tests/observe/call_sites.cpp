// Two known call sites through one handle, three to one in bytes and
// 100,000,000 bytes in all, every block freed; then a handle that leaks one
// block from a known line. Prints where each function starts, so that a test
// can tell the sites apart without symbols, and the line of the leak.
#include "handle/dideverazez.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Not inlined, and not ending in a tail call, so that each keeps its frame.
[[gnu::noinline]] void* LoadMeshes(zu_allocator& handle, std::size_t bytes) {
    void* block = zu_alloc(bytes, &handle, "meshes");
    std::memset(block, 1, 8);
    return block;
}

[[gnu::noinline]] void* LoadTextures(zu_allocator& handle, std::size_t bytes) {
    void* block = zu_alloc(bytes, &handle, "textures");
    std::memset(block, 2, 8);
    return block;
}

constexpr int kLeakLine = __LINE__ + 2;
[[gnu::noinline]] void* LeakOne(zu_allocator& handle) {
    void* block = zu_alloc(4000, &handle, "leak");
    std::memset(block, 3, 8);
    return block;
}

// Sizes from 1 KiB to 128 KiB, the same every run.
std::size_t NextSize(std::uint64_t& state) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return 1024 + static_cast<std::size_t>((state >> 33) % (127 * 1024));
}

// Allocates and frees `total` bytes through `load`.
std::uint64_t Spend(zu_allocator& handle, std::uint64_t total,
                    void* (*load)(zu_allocator&, std::size_t), std::uint64_t& state) {
    std::uint64_t blocks = 0;
    for (std::uint64_t done = 0; done < total; ++blocks) {
        std::size_t size = NextSize(state);
        if (size > total - done) {
            size = static_cast<std::size_t>(total - done);
        }
        zu_free(load(handle, size), &handle);
        done += size;
    }
    return blocks;
}

} // namespace

int main() {
    std::printf("LoadMeshes 0x%jx\nLoadTextures 0x%jx\nLeakOne 0x%jx\nleak line %d\n",
                reinterpret_cast<std::uintmax_t>(&LoadMeshes),
                reinterpret_cast<std::uintmax_t>(&LoadTextures),
                reinterpret_cast<std::uintmax_t>(&LeakOne), kLeakLine);
    zu_allocator root("App");
    {
        zu_allocator assets(root, "Assets");
        std::uint64_t state = 42;
        // Interleaved, a tenth at a time, so that neither site has the
        // countdown to itself.
        std::uint64_t meshes = 0, textures = 0;
        for (int round = 0; round < 10; ++round) {
            meshes += Spend(assets, 7'500'000, LoadMeshes, state);
            textures += Spend(assets, 2'500'000, LoadTextures, state);
        }
        std::printf("meshes 75000000 bytes %ju blocks\ntextures 25000000 bytes %ju blocks\n",
                    static_cast<std::uintmax_t>(meshes), static_cast<std::uintmax_t>(textures));
    }
    {
        zu_allocator leaky(root, "Leaky");
        LeakOne(leaky);
    }
    return 0;
}
