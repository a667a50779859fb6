// The reference model of the accounting: trees of handles driven through the
// public interface, in lockstep with a model written to be obviously right
// rather than fast. Every statistic of every engine is three plain integers,
// every page its address, its class and a stack of free block addresses, every
// size class a list of pages (head first) and two figure triples, the cache a
// stack of pages. The class table, strides and capacities are written out
// here, never taken from the code under test.
//
// An Operation is a kind and two raw numbers that the harness reads modulo its
// current state (which handle, which block, which size), so any sequence is
// valid: a seeded generator and a fuzzer's bytes drive the same checks. After
// every real call the harness compares every figure of the model with the
// engines, the pools and the metrics, and keeps the first disagreement.
//
// A heap call may be made to fail (FailHeapCall): the operation that makes it
// must raise std::bad_alloc ("bad allocation") and change nothing, which the
// comparison after it shows, since the model did not move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

class allocator_data;
class zu_allocator;

namespace dideverazez::reliability {

struct ModelFigures {
    std::int64_t Current = 0, Peak = 0, Cumul = 0;

    void Add(std::int64_t n) {
        Current += n;
        Cumul += n;
        Peak = Peak < Current ? Current : Peak;
    }
    void Subtract(std::int64_t n) { Current -= n; }
};

struct ModelCharges {
    ModelFigures Memory, Counter;

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
    CreateChild,   // a: parent handle
    DestroyHandle, // a: handle; a leaf of its subtree goes, after its blocks
    Alloc,         // a: handle, b: size and allocating function
    Free,          // a: block, b: free function
    IncMemoryUsed, // a: handle, b: amount
    DecMemoryUsed, // a: handle, b: amount, within what was declared
    Reserve,       // a: handle, b: amount
    UnReserve,     // a: handle, b: amount, within what was reserved
    Metrics,       // a: handle; GetMetrics also frees the tree's cached pages
    FailHeapCall,  // b: which heap call from now fails, 1 to 4
    KindCount
};

struct Operation {
    OperationKind kind;
    std::uint32_t a;
    std::uint64_t b;
};

class AccountingHarness {
public:
    static constexpr std::size_t MaxLiveBlocks = 600;
    static constexpr std::size_t MaxHandles = 14;
    static constexpr std::uint64_t MaxHeapBytes = 24u << 20;

    // `roots` root handles with nothing allocated; the second tree fills
    // its blocks (DebugFill), the first does not.
    explicit AccountingHarness(std::size_t roots = 2);
    // Frees every block and destroys every handle, without checks.
    ~AccountingHarness();
    AccountingHarness(const AccountingHarness&) = delete;
    AccountingHarness& operator=(const AccountingHarness&) = delete;

    // Applies `op` and returns the first disagreement so far, or "".
    std::string Step(const Operation& op);
    // Frees every block, returns every declared amount, destroys every child
    // and flushes every tree, checking after each call; then every current
    // figure must be zero. Same result as Step.
    std::string Drain();
    // The k-th heap call from now fails (FailHeapCall with any k).
    void ArmHeapFailure(std::uint64_t k);

    static Operation RandomOperation(std::mt19937_64& rng);

    // The engine of the handle that Step would pick for `pick`.
    allocator_data& RealEngine(std::uint32_t pick) const;
    std::uint64_t CheckedCalls() const { return checkedCalls_; }
    std::uint64_t Failures() const { return failures_; }

private:
    struct Handle {
        zu_allocator* real = nullptr; // owned
        int parent = -1, root = -1, children = 0;
        bool alive = false;
        std::int64_t reservations = 0; // Reserve calls not yet taken back
        ModelCharges Global, Self, Large, Used, Page, Pooled;
        ModelFigures Reserved;
    };
    struct ModelPage {
        int cls = 0;
        std::vector<std::uintptr_t> free; // back() is handed out next
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
        int cls = -1; // -1 for a heap block
        std::uintptr_t page = 0;
    };

    int AliveHandle(std::uint32_t pick) const;
    allocator_data& Engine(int handle) const;
    void Create(int parent);
    void Destroy(int handle);
    void Alloc(int handle, std::uint64_t size, std::uint64_t how);
    void FreeBlock(std::size_t index, std::uint64_t how);
    void Declare(OperationKind kind, int handle, std::uint64_t amount);
    void TakeBack(OperationKind kind, int handle, std::uint64_t b);
    void Metrics(int handle);
    void FlushTree(int root);
    template <class Call> bool Attempt(const char* what, Call call);

    std::uintptr_t ModelTakeBlock(int root, int cls, std::uintptr_t realPage);
    void ModelReturnBlock(int root, std::uintptr_t page, std::uintptr_t block);
    void ChargePage(int root, bool charge);
    void Account(const Block& block, bool charge);

    void Verify(const char* what);
    std::string Compare() const;
    void Fail(const std::string& message);

    std::vector<Handle> handles_;
    std::map<int, Pool> pools_; // by root handle
    std::vector<Block> blocks_;
    std::uint64_t heapBytes_ = 0;
    std::uint64_t checkedCalls_ = 0;
    std::uint64_t armedCall_ = 0; // the heap call that will fail; 0 when none
    std::uint64_t failures_ = 0;
    std::int32_t otherHandles_ = 0; // live handles that are not the harness's
    std::string error_;
};

// Random operations from `seed` until `calls` real calls have been checked,
// then a drain; returns the seed and the operation of the first disagreement,
// or "".
std::string RunRandomSequence(std::uint64_t seed, std::uint64_t calls,
                              std::uint64_t* checkedCalls = nullptr);

} // namespace dideverazez::reliability
