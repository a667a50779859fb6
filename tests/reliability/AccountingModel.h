// A reference model of the accounting of paged engine trees, driven in
// lockstep with real allocator_data engines.
//
// The model is written to be obviously right rather than fast: every
// statistic of every engine is three plain integers, every page is its
// address, its class and a stack of free block addresses, every size class is
// a list of page addresses (head first) and two figure triples, and the cache
// is a stack of page addresses. It follows the documented rules only: the
// class table, the strides and capacities are written out here, never taken
// from the code under test.
//
// An Operation is a kind and two raw numbers; the harness interprets the
// numbers modulo its current state (which engine, which block, which size), so
// any sequence of operations is valid. This lets a seeded generator and a
// fuzzer's bytes drive the same checks. After every primitive step (one real
// call) the harness compares every figure of the model with the engines and
// the pools, and reports the first disagreement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

class allocator_data;

namespace dideverazez::reliability {

// Current, Peak and Cumul of one quantity, as the documented rules define them.
struct ModelFigures {
    std::int64_t Current = 0;
    std::int64_t Peak = 0;
    std::int64_t Cumul = 0;

    void Add(std::int64_t n) {
        Current += n;
        Cumul += n;
        if (Peak < Current) {
            Peak = Current;
        }
    }
    void Subtract(std::int64_t n) { Current -= n; }
};

// Bytes and items.
struct ModelCharges {
    ModelFigures Memory;
    ModelFigures Counter;

    void Charge(std::int64_t bytes) {
        Memory.Add(bytes);
        Counter.Add(1);
    }
    void Discharge(std::int64_t bytes) {
        Memory.Subtract(bytes);
        Counter.Subtract(1);
    }
};

enum class OperationKind : std::uint8_t {
    CreateChild,   // a: parent engine
    DestroyEngine, // a: engine (a leaf of its subtree is destroyed, after its blocks)
    Alloc,         // a: engine, b: size selector
    Free,          // a: block, b: route selector
    IncMemoryUsed, // a: engine, b: amount
    DecMemoryUsed, // a: engine, b: amount (bounded by the engine's declared use)
    Reserve,       // a: engine, b: amount
    UnReserve,     // a: engine, b: amount (bounded by the engine's reservation)
    Flush,         // a: engine
    KindCount
};

struct Operation {
    OperationKind kind;
    std::uint32_t a;
    std::uint64_t b;
};

class AccountingHarness {
public:
    // Limits that keep a long run small: live blocks, heap bytes, engines.
    static constexpr std::size_t MaxLiveBlocks = 600;
    static constexpr std::size_t MaxEngines = 14;
    static constexpr std::uint64_t MaxHeapBytes = 24u << 20;

    // Builds `roots` root engines (trees) with nothing allocated.
    explicit AccountingHarness(std::size_t roots = 2);
    // Frees every block and destroys every engine, without checks.
    ~AccountingHarness();
    AccountingHarness(const AccountingHarness&) = delete;
    AccountingHarness& operator=(const AccountingHarness&) = delete;

    // Applies `op` (one or a few real calls) and compares model and engines
    // after each call. Returns an empty string when they agree, else the first
    // disagreement.
    std::string Step(const Operation& op);
    // Frees every block, takes back every declared amount, destroys every
    // child and flushes every tree, checking after each call; then checks that
    // every figure of every root is back to zero. Same result as Step.
    std::string Drain();
    // Walks every page's free list and the pools' own invariant checker (slow;
    // Step does the cheap comparisons only).
    std::string DeepCheck() const;

    // A random operation with the mix of a typical client.
    static Operation RandomOperation(std::mt19937_64& rng);

    // The real engine that Step would pick for `pick` (for tests that break a
    // figure on purpose to see the comparison catch it).
    allocator_data& RealEngine(std::uint32_t pick) const {
        return *engines_[AliveEngine(pick)].real;
    }

    // Real calls checked so far.
    std::uint64_t CheckedCalls() const { return checkedCalls_; }

private:
    struct Engine {
        allocator_data* real = nullptr; // owned
        int parent = -1;
        int root = -1;
        int children = 0;
        bool alive = false;
        std::size_t ownedBlocks = 0;
        std::int64_t reservations = 0; // Reserve calls not yet taken back
        ModelCharges Global, Self, Large, Used, Page, Pooled;
        ModelFigures Reserved;
    };
    struct ModelPage {
        int cls = 0;
        std::vector<std::uintptr_t> free; // free blocks; back() is handed out next
        std::uint64_t used = 0;
    };
    struct Manager {
        std::vector<std::uintptr_t> list; // pages with free and used blocks, head first
        ModelFigures Blocks, Pages;
    };
    struct Pool {
        Manager managers[18];
        std::map<std::uintptr_t, ModelPage> pages; // pages serving a class
        std::vector<std::uintptr_t> cache;         // back() is the newest
    };
    struct Block {
        void* p = nullptr;
        int owner = -1;
        std::uint64_t size = 0;
        int cls = -1;            // -1 for a heap block
        std::uintptr_t page = 0; // pooled blocks only
    };

    int AliveEngine(std::uint32_t pick) const;
    int LeafOf(int engine) const;
    void CreateEngine(int parent);
    void DestroyLeaf(int engine);
    void Alloc(int engine, std::uint64_t size);
    void FreeBlock(std::size_t index, std::uint64_t route);
    void Declare(OperationKind kind, int engine, std::uint64_t amount);
    void FlushTree(int engine);

    // Model side of the pool.
    std::uintptr_t ModelTakeBlock(Pool& pool, int root, int cls, std::uintptr_t realPage);
    void ModelReturnBlock(Pool& pool, int root, std::uintptr_t page, std::uintptr_t block);
    void ChargePage(int root);
    void DischargePage(int root);

    // Compares everything cheap; records the first disagreement.
    void Verify(const char* what);
    std::string Compare() const;
    void Fail(std::string message);

    std::vector<Engine> engines_;
    std::map<int, Pool> pools_; // by root engine
    std::vector<Block> blocks_;
    std::uint64_t heapBytes_ = 0;
    std::uint64_t checkedCalls_ = 0;
    std::string error_;
};

// Runs random operations from `seed` until `calls` real calls have been
// checked, then drains; the result names the seed and the index of the first
// operation after which the model and the engines disagree, or is empty.
std::string RunRandomSequence(std::uint64_t seed, std::uint64_t calls,
                              std::uint64_t* checkedCalls = nullptr);

} // namespace dideverazez::reliability
