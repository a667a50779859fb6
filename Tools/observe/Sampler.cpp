#include "observe/Sampler.h"

#include "observe/SampleStore.h"
#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace dideverazez::observe {

#if defined(__ELF__)
__thread std::uint64_t tSampleRemaining asm("dideverazez_sample_remaining")
    __attribute__((tls_model("initial-exec"))) = 0;
#else
constinit thread_local std::uint64_t tSampleRemaining = 0;
#endif

namespace {

constexpr std::uint64_t kLargestBytes = std::uint64_t{1} << 62;

#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local std::uint64_t tRandom = 0; // this thread's generator; 0 until seeded
// Where in the bytes this thread has requested its next sample point lies:
// the countdown is the distance to it.
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local std::uint64_t tPoint = 0;

// -1 until the environment is read; then the mean distance, 0 for off.
constinit std::atomic<std::int64_t> gBytes{-1};
// Seeds each thread's generator in turn, so that a program run twice the
// same way samples the same allocations.
constinit std::atomic<std::uint64_t> gSeeds{0x9E3779B97F4A7C15};

std::int64_t FromEnvironment() {
    const char* report = platform::TrustedEnvironment("DIDEVERAZEZ_REPORT");
    const char* text = platform::TrustedEnvironment("DIDEVERAZEZ_SAMPLE_BYTES");
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char* end = nullptr;
    const unsigned long long bytes = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || bytes == 0 || bytes > kLargestBytes) {
        std::fprintf(stderr,
                     "dideverazez: DIDEVERAZEZ_SAMPLE_BYTES=%s is not a number of bytes from 1 "
                     "to 2^62; nothing is sampled\n",
                     text);
        return 0;
    }
    if (report == nullptr || *report == '\0') {
        std::fputs("dideverazez: DIDEVERAZEZ_SAMPLE_BYTES needs DIDEVERAZEZ_REPORT, where the "
                   "samples are written; nothing is sampled\n",
                   stderr);
        return 0;
    }
    return static_cast<std::int64_t>(bytes);
}

std::int64_t Bytes() noexcept {
    std::int64_t bytes = gBytes.load(std::memory_order_relaxed);
    if (bytes < 0) {
        std::int64_t unread = -1;
        gBytes.compare_exchange_strong(unread, FromEnvironment());
        bytes = gBytes.load(std::memory_order_relaxed);
    }
    return bytes;
}

// splitmix64: a seed of any value gives a well-mixed generator state.
std::uint64_t Mix(std::uint64_t x) noexcept {
    x += 0x9E3779B97F4A7C15;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EB;
    return x ^ (x >> 31);
}

__extension__ using Wide = unsigned __int128;

// A whole number drawn uniformly from [0, bound).
std::uint64_t Uniform(std::uint64_t bound) noexcept {
    if (tRandom == 0) {
        tRandom = Mix(gSeeds.fetch_add(0x9E3779B97F4A7C15, std::memory_order_relaxed)) | 1;
    }
    // xorshift64*, then the high half of a 128-bit product: no division.
    tRandom ^= tRandom >> 12;
    tRandom ^= tRandom << 25;
    tRandom ^= tRandom >> 27;
    const std::uint64_t bits = tRandom * 0x2545F4914F6CDD1D;
    return static_cast<std::uint64_t>((static_cast<Wide>(bits) * bound) >> 64);
}

} // namespace

void Sample(void* block, std::uint64_t size, allocator_impl& engine, const void* caller) noexcept {
    const auto mean = static_cast<std::uint64_t>(Bytes());
    if (mean == 0) {
        tSampleRemaining = UINT64_MAX;
        return;
    }
    double chance = 1.0;
    if (mean == 1) { // every allocation, each for itself
        tSampleRemaining = 0;
    } else {
        // The bytes a thread requests are cut into windows of `mean` bytes,
        // each holding one sample point drawn uniformly in it; an allocation
        // is sampled when its bytes hold a point. What remains is the
        // distance from the end of the last allocation to the next point,
        // and the subtraction that went past it wrapped.
        if (tRandom == 0) { // the thread's first allocation: its count just began
            tPoint = Uniform(mean);
            if (size <= tPoint) {
                tSampleRemaining = tPoint - size;
                return;
            }
            tSampleRemaining = tPoint - size; // wrapped, as if counted down from tPoint
        }
        const std::uint64_t end = tPoint + (0 - tSampleRemaining);
        const std::uint64_t start = end - size;
        const std::uint64_t first = start / mean, last = (end - 1) / mean;
        // Its chance of holding a point, from where its bytes lie: a point of
        // each window it overlaps, and certainty once it covers a window.
        if (last == first) {
            chance = static_cast<double>(size) / static_cast<double>(mean);
        } else if (last == first + 1) {
            const auto n = static_cast<double>(mean);
            const double missA = 1.0 - static_cast<double>(last * mean - start) / n;
            const double missB = 1.0 - static_cast<double>(end - last * mean) / n;
            chance = 1.0 - missA * missB;
        }
        // The next point: the last window's own, unless that was this one's
        // or lies inside it, then the next window's.
        std::uint64_t next = last * mean + Uniform(mean);
        if (tPoint / mean == last || next < end) {
            next = (last + 1) * mean + Uniform(mean);
        }
        tPoint = next;
        tSampleRemaining = next - end;
    }
    if (block == nullptr) {
        return;
    }
    try {
        RecordSample(block, size, engine, caller, chance);
    } catch (...) {
        // Dropped: the block stays its engine's own and is freed as ever.
    }
}

std::uint64_t SampleBytes() noexcept {
    return static_cast<std::uint64_t>(Bytes());
}

#if defined(DIDEVERAZEZ_TEST_SEAMS)
namespace testing {
void SampleEvery(std::uint64_t bytes, std::uint64_t seed) noexcept {
    gBytes.store(static_cast<std::int64_t>(std::min(bytes, kLargestBytes)));
    gSeeds.store(Mix(seed));
    tRandom = 0;
    tPoint = 0;
    tSampleRemaining = 0;
    ReopenSamples();
}
} // namespace testing
#endif

} // namespace dideverazez::observe
