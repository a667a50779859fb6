// Helpers of the handle, histogram and report-shell tests: a recording engine
// that can stand in for a handle's own, a recording client context, and
// readers of a handle's figures and trace records.
#pragma once

#include "engines/kdideverazez_impl.h"
#include "handle/Internals.h"
#include "handle/dideverazez.h"
#include "rozudoru/TraceSink.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace dideverazez::test {

// An engine that records every call made to it. Its blocks come straight from
// malloc with a 16-byte header naming it, so the free functions route them back
// here like any engine's blocks. It holds no pool and no lock.
class SpyEngine final : public allocator_impl {
public:
    struct Request {
        std::uint64_t size;
        const char* name;
        const char* category;
    };

    SpyEngine() : allocator_impl("spy", nullptr, false) {}
    ~SpyEngine() override = default;

    int GetKind() const override {
        ++kindCalls;
        return 1;
    }
    void Flush() override {
        ++flushes;
        allocator_impl::Flush();
    }
    void* Alloc(std::uint64_t size, const char* name, const char* category) override {
        requests.push_back({size, name, category});
        auto* header = static_cast<BlockHeader*>(std::malloc(size + sizeof(BlockHeader)));
        if (header == nullptr) {
            throw std::bad_alloc();
        }
        header->Owner = this;
        header->Size = size + sizeof(BlockHeader);
        return header + 1;
    }
    void Free(void* p) override {
        freed.push_back(p);
        std::free(HeaderOf(p));
    }
    void IncMemoryUsed(std::uint64_t bytes) override { calls.emplace_back("IncMemoryUsed", bytes); }
    void DecMemoryUsed(std::uint64_t bytes) override { calls.emplace_back("DecMemoryUsed", bytes); }
    void Reserve(std::uint64_t bytes) override { calls.emplace_back("Reserve", bytes); }
    void UnReserve(std::uint64_t bytes) override { calls.emplace_back("UnReserve", bytes); }

    mutable int kindCalls = 0;
    int flushes = 0;
    std::vector<Request> requests;
    std::vector<void*> freed;
    std::vector<std::pair<std::string, std::uint64_t>> calls;
};

// Puts `spy` in place of `handle`'s engine for its lifetime, then the handle's
// own engine back, so that the handle is destroyed with the engine it built.
class EngineSwap {
public:
    EngineSwap(zu_allocator& handle, allocator_impl& spy)
        : handle_(handle), own_(std::exchange(zu_allocator_access::EngineSlot(handle), &spy)) {}
    ~EngineSwap() { zu_allocator_access::EngineSlot(handle_) = own_; }
    EngineSwap(const EngineSwap&) = delete;
    EngineSwap& operator=(const EngineSwap&) = delete;

private:
    zu_allocator& handle_;
    allocator_impl* own_;
};

// A client context that counts its calls.
struct RecordingContext : IAllocatorContext {
    void OnMemoryError(bool pending) override {
        ++calls;
        lastArgument = pending;
    }
    int calls = 0;
    bool lastArgument = false;
};

inline allocator_impl& Engine(const zu_allocator& handle) {
    return *zu_allocator_access::Engine(handle);
}

inline zu_allocator::Metrics MetricsOf(const zu_allocator& handle) {
    zu_allocator::Metrics metrics{};
    handle.GetMetrics(metrics);
    return metrics;
}

// A pointer as the standard stream inserts it, the form the trace lines use.
inline std::string PointerText(const void* pointer) {
    std::ostringstream text;
    text << pointer;
    return text.str();
}

// The page of a pooled block, reached through its Link word, so a test that
// leaves a block pending on purpose can give the page back afterwards.
inline void* PageOfPooledBlock(void* userPointer) {
    return static_cast<PooledBlock*>(userPointer)[-1].Link;
}

inline std::string OrNull(const char* text) {
    return text != nullptr ? text : "<null>";
}

using Kind = Tracer::TraceRecord::Kind;

// Checks one trace record field by field.
inline void ExpectRecord(const Tracer::TraceRecord& record, Kind kind, int detail,
                         const std::string& text, const char* file, long line, const char* category,
                         const char* function) {
    EXPECT_EQ(record.kind, kind) << text;
    EXPECT_EQ(record.detail, detail) << text;
    EXPECT_EQ(record.text, text);
    EXPECT_EQ(OrNull(record.file), OrNull(file)) << text;
    EXPECT_EQ(record.line, line) << text;
    EXPECT_EQ(OrNull(record.category), OrNull(category)) << text;
    EXPECT_EQ(OrNull(record.function), OrNull(function)) << text;
}

} // namespace dideverazez::test
