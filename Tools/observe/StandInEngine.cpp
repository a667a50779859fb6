#include "observe/StandInEngine.h"

#include "engines/kdideverazez_impl.h"
#include "observe/SampleStore.h"

#include <atomic>
#include <mutex>
#include <new>

namespace dideverazez::observe {
namespace {

// It allocates nothing, and charges nothing: every counter stays the block's
// own engine's.
class StandIn final : public allocator_impl {
public:
    StandIn() : allocator_impl("<sampled>", nullptr, true) {}
    int GetKind() const override { return 1; }
    void* Alloc(std::uint64_t, const char*, const char*) override {
        detail::ThrowAllocationFailure();
    }
    void Free(void* p) override {
        allocator_impl* engine = TakeOutSampledBlock(p);
        HeaderOf(p)->Owner = engine;
        engine->Free(p);
    }
    void IncMemoryUsed(std::uint64_t) override {}
    void DecMemoryUsed(std::uint64_t) override {}
    void Reserve(std::uint64_t) override {}
    void UnReserve(std::uint64_t) override {}
};

alignas(StandIn) unsigned char gStorage[sizeof(StandIn)];
std::atomic<StandIn*> gStandIn{nullptr};
std::once_flag gBuilt;

} // namespace

allocator_impl* StandInEngine() noexcept {
    try {
        std::call_once(gBuilt, [] { gStandIn.store(new (gStorage) StandIn); });
    } catch (...) {
        return nullptr;
    }
    return gStandIn.load();
}

allocator_impl* StandInEngineIfBuilt() noexcept {
    return gStandIn.load(std::memory_order_relaxed);
}

void DestroyStandInEngine() noexcept {
    if (StandIn* standIn = gStandIn.exchange(nullptr)) {
        standIn->~StandIn();
    }
}

} // namespace dideverazez::observe
