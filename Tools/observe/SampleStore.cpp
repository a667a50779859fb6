// The store of sampled allocations (SampleStore.h). It stays one file, past
// 600 lines, because every operation changes the sites, the stacks and the
// live blocks together under the one lock; split, that state would be shared
// by several files.

#include "observe/SampleStore.h"

#include "engines/SystemHeap.h"
#include "engines/kdideverazez_impl.h"
#include "observe/AddressMap.h"
#include "observe/Sampler.h"
#include "observe/StackCapture.h"
#include "observe/StandInEngine.h"
#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <tuple>
#include <unordered_map>

namespace dideverazez::observe {
namespace {

constexpr int kMaxFrames = 64;
constexpr std::uint64_t kGroupBit = std::uint64_t{1} << 63; // no engine lies that high

struct Site {
    std::uint64_t Owner;
    std::uint32_t Stack;
    std::uint64_t LiveBlocks; // sampled blocks of it not freed yet
    double InUseBytes, InUseBlocks, AllocatedBytes, AllocatedBlocks;
    // What it held at the samples' peak, valid while PeakStamp is the
    // samples' peakStamp (it changed since); before, what it holds now is
    // what it held then.
    double AtPeakBytes, AtPeakBlocks;
    std::uint64_t PeakStamp;
    Site* NextOfOwner;
    // Once merged into another group's site of the same stack: that site,
    // which its live blocks then count in.
    Site* Forward;
};

// What a sampled block stands for, in one word, so that a live block's entry
// is 32 bytes with its key. At a chance of 1 (every allocation sampled) it is
// the exact size, with the top bit set; below, the estimates (the size and 1
// over the chance) as two floats, bytes in the upper half, whose 24-bit
// precision is ample for figures that are estimates. The same values are
// counted in when the block is sampled and out when it is freed, so the
// totals come back to what they were.
class Weight {
public:
    Weight(std::uint64_t size, double chance) noexcept {
        if (chance >= 1.0) {
            bits_ = size | kExact;
            return;
        }
        const auto bytes = static_cast<float>(static_cast<double>(size) / chance);
        const auto blocks = static_cast<float>(1.0 / chance);
        std::uint32_t high = 0, low = 0;
        std::memcpy(&high, &bytes, sizeof high);
        std::memcpy(&low, &blocks, sizeof low);
        bits_ = std::uint64_t{high} << 32 | low; // a positive float: the top bit is clear
    }
    double Bytes() const noexcept {
        return (bits_ & kExact) != 0 ? static_cast<double>(bits_ & ~kExact) : Half(bits_ >> 32);
    }
    double Blocks() const noexcept { return (bits_ & kExact) != 0 ? 1.0 : Half(bits_); }

private:
    static constexpr std::uint64_t kExact = std::uint64_t{1} << 63;
    static double Half(std::uint64_t bits) noexcept {
        const auto word = static_cast<std::uint32_t>(bits);
        float value = 0;
        std::memcpy(&value, &word, sizeof value);
        return value;
    }
    std::uint64_t bits_;
};

struct LiveBlock {
    allocator_impl* Engine; // the block's own
    Site* Of;               // null once the module is gone
    Weight Counted;
};
static_assert(sizeof(LiveBlock) == 24);

struct SiteKey {
    std::uint64_t Owner;
    std::uint32_t Stack;
    bool operator==(const SiteKey&) const = default;
};

struct SiteKeyHash {
    std::size_t operator()(const SiteKey& key) const noexcept {
        return std::hash<std::uint64_t>()(key.Owner ^ (std::uint64_t{key.Stack} << 40));
    }
};

struct StackHash {
    std::size_t operator()(const LibraryString& frames) const noexcept {
        return std::hash<std::string_view>()(frames);
    }
};

template <class Key, class Value, class Hash = std::hash<Key>>
using LibraryMap = std::unordered_map<Key, Value, Hash, std::equal_to<Key>,
                                      LibraryAllocator<std::pair<const Key, Value>>>;

struct Samples {
    std::mutex mutex;
    LibraryVector<std::uint64_t> frames;
    LibraryVector<std::uint32_t> stackStarts{LibraryAllocator<std::uint32_t>()};
    LibraryMap<LibraryString, std::uint32_t, StackHash> stacks; // the frames' bytes -> index
    LibraryMap<SiteKey, Site*, SiteKeyHash> sites;              // of live engines
    LibraryMap<std::uint64_t, Site*> heads;                     // owner -> its sites' list
    AddressMap<LiveBlock> live;
    Site* forwarded = nullptr; // merged sites that live blocks still name
    std::uint64_t groups = 0;
    bool released = false;
    // The estimates of every live sampled block together, now and at their
    // highest; each new highest is a new peakStamp, which makes every site's
    // AtPeak what it holds then, without a pass over the sites.
    double inUseBytes = 0, inUseBlocks = 0;
    double peakBytes = 0, peakBlocks = 0;
    std::chrono::steady_clock::time_point peakTime{};
    std::uint64_t peakStamp = 0;
};

// Built on the first sample and never destroyed: blocks sampled may be freed
// by any code until the process ends.
alignas(Samples) unsigned char gSamplesStorage[sizeof(Samples)];
std::atomic<Samples*> gSamples{nullptr};
std::once_flag gBuilt;

Samples* Build() noexcept {
    try {
        std::call_once(gBuilt, [] { gSamples.store(new (gSamplesStorage) Samples); });
    } catch (...) {
        return nullptr;
    }
    return gSamples.load();
}

// A site first sampled after the peak held nothing then.
Site* NewSite(std::uint64_t owner, std::uint32_t stack, std::uint64_t peakStamp) {
    void* storage = heap::Allocate(sizeof(Site));
    if (storage == nullptr) {
        detail::ThrowAllocationFailure();
    }
    return new (storage) Site{owner, stack, 0, 0, 0, 0, 0, 0, 0, peakStamp, nullptr, nullptr};
}

// `site` at the samples' last peak: what it held then.
std::pair<double, double> AtPeak(const Samples& samples, const Site& site) noexcept {
    return site.PeakStamp == samples.peakStamp ? std::pair{site.AtPeakBytes, site.AtPeakBlocks}
                                               : std::pair{site.InUseBytes, site.InUseBlocks};
}

// Called before `site`'s in-use counters change: keeps what it held at the peak.
void KeepAtPeak(const Samples& samples, Site& site) noexcept {
    std::tie(site.AtPeakBytes, site.AtPeakBlocks) = AtPeak(samples, site);
    site.PeakStamp = samples.peakStamp;
}

// The total in use changed by `bytes` and `blocks` (a block sampled or freed);
// a new highest is a new peak, now.
void CountInUse(Samples& samples, double bytes, double blocks) noexcept {
    samples.inUseBytes += bytes;
    samples.inUseBlocks += blocks;
    if (samples.inUseBytes > samples.peakBytes) {
        samples.peakBytes = samples.inUseBytes;
        samples.peakBlocks = samples.inUseBlocks;
        samples.peakTime = std::chrono::steady_clock::now();
        ++samples.peakStamp;
    }
}

void FreeSite(Site* site) noexcept {
    site->~Site();
    heap::Free(site);
}

// A new site of `owner`, at the head of its list. Raises std::bad_alloc with
// nothing changed.
Site* AddSite(Samples& samples, std::uint64_t owner, std::uint32_t stack) {
    Site* site = NewSite(owner, stack, samples.peakStamp);
    try {
        Site*& head = samples.heads[owner];
        site->NextOfOwner = head;
        head = site;
    } catch (...) {
        FreeSite(site);
        throw;
    }
    return site;
}

// The index of the stack of `count` frames, added when new. Raises
// std::bad_alloc with nothing changed: frames kept without their stack's
// entry would become the start of the next stack added.
std::uint32_t StackIndex(Samples& samples, const std::uint64_t* frames, int count) {
    LibraryString key(reinterpret_cast<const char*>(frames), sizeof *frames * count);
    const auto found = samples.stacks.find(key);
    if (found != samples.stacks.end()) {
        return found->second;
    }
    if (samples.stackStarts.empty()) {
        samples.stackStarts.push_back(0);
    }
    const auto index = static_cast<std::uint32_t>(samples.stackStarts.size() - 1);
    // Room for the start pushed below, so that pushing it cannot fail once the
    // frames are in. Grown as resize grows, by doubling: reserve would take
    // exactly one more, copying the whole table for every new stack.
    samples.stackStarts.resize(samples.stackStarts.size() + 1), samples.stackStarts.pop_back();
    const std::size_t end = samples.frames.size();
    samples.frames.insert(samples.frames.end(), frames, frames + count);
    samples.stackStarts.push_back(static_cast<std::uint32_t>(samples.frames.size()));
    try {
        samples.stacks.emplace(std::move(key), index);
    } catch (...) {
        samples.stackStarts.pop_back();
        samples.frames.resize(end);
        throw;
    }
    return index;
}

// Takes the list of `owner`'s sites out of heads.
Site* TakeSites(Samples& samples, std::uint64_t owner) {
    const auto found = samples.heads.find(owner);
    if (found == samples.heads.end()) {
        return nullptr;
    }
    Site* first = found->second;
    samples.heads.erase(found);
    return first;
}

// The site a live block counts in.
Site* Final(Site* site) noexcept {
    while (site != nullptr && site->Forward != nullptr) {
        site = site->Forward;
    }
    return site;
}

// Frees the list of sites from `first` on, all of one owner; their live
// blocks are no longer counted anywhere.
void ForgetSites(Samples& samples, Site* first) noexcept {
    if (first == nullptr) {
        return;
    }
    const std::uint64_t owner = first->Owner;
    samples.live.ForEach([owner](const void*, LiveBlock& block) {
        if (Site* site = Final(block.Of); site != nullptr && site->Owner == owner) {
            block.Of = nullptr;
        }
    });
    while (first != nullptr) {
        Site* next = first->NextOfOwner;
        samples.sites.erase(SiteKey{owner, first->Stack});
        FreeSite(first);
        first = next;
    }
}

} // namespace

void RecordSample(void* block, std::uint64_t size, allocator_impl& engine, const void* caller,
                  double chance) {
    if (const Samples* samples = gSamples.load()) {
        samples->live.Prefetch(block); // its line arrives while the stack is taken
    }
    void* raw[kMaxFrames + 8];
    const int taken = CaptureStack(raw, kMaxFrames + 8);
    // The library's own frames go: the stack starts at the code that called
    // the handle.
    int first = 0;
    while (first < taken && raw[first] != caller) {
        ++first;
    }
    if (first == taken) {
        first = 0;
    }
    std::uint64_t frames[kMaxFrames];
    const int count = std::min(taken - first, kMaxFrames);
    for (int i = 0; i < count; ++i) {
        frames[i] = reinterpret_cast<std::uintptr_t>(raw[first + i]);
    }
    // What the sampled allocation stands for: the inverse of its chance of
    // being sampled, so that the estimates are unbiased.
    const Weight weight(size, chance);
    const double bytes = weight.Bytes(), blocks = weight.Blocks();

    Samples* built = Build();
    allocator_impl* standIn = StandInEngine();
    if (built == nullptr || standIn == nullptr) {
        return;
    }
    Samples& samples = *built;
    const std::lock_guard<std::mutex> lock(samples.mutex);
    if (samples.released) {
        return;
    }
    // Each step that can fail comes before anything it would leave half done:
    // a sample dropped leaves no site, no live entry and no half-added stack.
    const std::uint32_t stack = StackIndex(samples, frames, count);
    const auto owner = reinterpret_cast<std::uintptr_t>(&engine);
    LiveBlock* entry = &samples.live.Insert(block, LiveBlock{&engine, nullptr, weight});
    Site* site = nullptr;
    try {
        auto [at, added] = samples.sites.try_emplace(SiteKey{owner, stack}, nullptr);
        if (added) {
            try {
                at->second = AddSite(samples, owner, stack);
            } catch (...) {
                samples.sites.erase(at);
                throw;
            }
        }
        site = at->second;
    } catch (...) {
        samples.live.Erase(entry);
        throw;
    }
    entry->Of = site;
    KeepAtPeak(samples, *site);
    ++site->LiveBlocks;
    site->InUseBytes += bytes;
    site->InUseBlocks += blocks;
    site->AllocatedBytes += bytes;
    site->AllocatedBlocks += blocks;
    CountInUse(samples, bytes, blocks);
    HeaderOf(block)->Owner = standIn;
}

allocator_impl* TakeOutSampledBlock(void* p) noexcept {
    Samples& samples = *gSamples.load();
    allocator_impl* engine = nullptr;
    samples.live.Prefetch(p);
    {
        const std::lock_guard<std::mutex> lock(samples.mutex);
        LiveBlock* found = samples.live.Find(p);
        if (found == nullptr) {
            std::fprintf(stderr,
                         "dideverazez: block %p names the sampled blocks' engine but was "
                         "never sampled (a corrupted header)\n",
                         p);
            std::abort();
        }
        const LiveBlock block = *found;
        samples.live.Erase(found);
        engine = block.Engine;
        if (Site* site = Final(block.Of)) {
            KeepAtPeak(samples, *site);
            --site->LiveBlocks;
            site->InUseBytes -= block.Counted.Bytes();
            site->InUseBlocks -= block.Counted.Blocks();
        }
        // Counted out of the total also when its site was forgotten: the
        // total is of the blocks, whatever keeps their sites.
        CountInUse(samples, -block.Counted.Bytes(), -block.Counted.Blocks());
    }
    return engine;
}

allocator_impl* OwnerOf(void* block) noexcept {
    allocator_impl* owner = HeaderOf(block)->Owner;
    if (owner == nullptr || owner != StandInEngineIfBuilt()) {
        return owner;
    }
    Samples& samples = *gSamples.load();
    const std::lock_guard<std::mutex> lock(samples.mutex);
    const LiveBlock* found = samples.live.Find(block);
    return found != nullptr ? found->Engine : owner;
}

std::uint64_t RetireSites(const allocator_impl& engine) noexcept {
    Samples* samples = gSamples.load();
    if (samples == nullptr) {
        return 0;
    }
    std::unique_lock<std::mutex> lock(samples->mutex, std::defer_lock);
    if (!platform::LockUnlessEnding(lock) || samples->released) {
        return 0;
    }
    const auto owner = reinterpret_cast<std::uintptr_t>(&engine);
    const auto head = samples->heads.find(owner);
    if (head == samples->heads.end()) {
        return 0;
    }
    // Every site of the engine stays, as its retired entry's: what it still
    // holds, and what it allocated in its life.
    const std::uint64_t group = kGroupBit | ++samples->groups;
    try {
        for (Site* site = head->second; site != nullptr; site = site->NextOfOwner) {
            auto node = samples->sites.extract(SiteKey{owner, site->Stack});
            node.key().Owner = group;
            samples->sites.insert(std::move(node));
            site->Owner = group;
        }
        auto node = samples->heads.extract(head);
        node.key() = group;
        samples->heads.insert(std::move(node));
    } catch (...) {
        // A table could not grow: the engine's sites go, and their blocks are
        // counted no more.
        Site* first = head->second;
        for (Site* site = first; site != nullptr; site = site->NextOfOwner) {
            samples->sites.erase(SiteKey{group, site->Stack});
            site->Owner = owner;
        }
        samples->heads.erase(head);
        ForgetSites(*samples, first);
        return 0;
    }
    return group;
}

void MergeSiteGroups(std::uint64_t into, std::uint64_t from) noexcept {
    Samples* samples = gSamples.load();
    if (samples == nullptr || into == from) {
        return;
    }
    const std::lock_guard<std::mutex> lock(samples->mutex);
    Site* site = TakeSites(*samples, from);
    Site* kept = nullptr; // what moves to `into` as it is
    while (site != nullptr) {
        Site* next = site->NextOfOwner;
        const auto same = samples->sites.find(SiteKey{into, site->Stack});
        if (same != samples->sites.end()) {
            // One site a stack: its counters join the other's.
            Site* target = same->second;
            const auto [peakBytes, peakBlocks] = AtPeak(*samples, *site);
            KeepAtPeak(*samples, *target);
            target->AtPeakBytes += peakBytes;
            target->AtPeakBlocks += peakBlocks;
            target->LiveBlocks += site->LiveBlocks;
            target->InUseBytes += site->InUseBytes;
            target->InUseBlocks += site->InUseBlocks;
            target->AllocatedBytes += site->AllocatedBytes;
            target->AllocatedBlocks += site->AllocatedBlocks;
            samples->sites.erase(SiteKey{from, site->Stack});
            if (site->LiveBlocks == 0) {
                FreeSite(site);
            } else {
                site->Forward = target;
                site->NextOfOwner = samples->forwarded;
                samples->forwarded = site;
            }
        } else {
            site->NextOfOwner = kept;
            kept = site;
        }
        site = next;
    }
    const auto at = samples->heads.find(into); // present while its entry is kept
    if (at == samples->heads.end()) {
        ForgetSites(*samples, kept);
        return;
    }
    Site*& head = at->second;
    try {
        for (Site* s = kept; s != nullptr;) {
            Site* next = s->NextOfOwner;
            auto node = samples->sites.extract(SiteKey{from, s->Stack});
            node.key().Owner = into;
            samples->sites.insert(std::move(node));
            s->Owner = into;
            s->NextOfOwner = head;
            head = s;
            kept = s = next;
        }
    } catch (...) {
        ForgetSites(*samples, kept);
    }
}

void DropSiteGroup(std::uint64_t group) noexcept {
    Samples* samples = gSamples.load();
    if (samples == nullptr || group == 0) {
        return;
    }
    std::unique_lock<std::mutex> lock(samples->mutex, std::defer_lock);
    if (platform::LockUnlessEnding(lock)) {
        ForgetSites(*samples, TakeSites(*samples, group));
    }
}

std::pair<const SiteCopy*, const SiteCopy*>
SamplesCopy::SitesOf(std::uint64_t owner) const noexcept {
    const auto range =
        std::equal_range(Sites.begin(), Sites.end(), SiteCopy{owner, 0, 0, 0, 0, 0, 0, 0},
                         [](const SiteCopy& a, const SiteCopy& b) { return a.Owner < b.Owner; });
    return {Sites.data() + (range.first - Sites.begin()),
            Sites.data() + (range.second - Sites.begin())};
}

bool CopySamples(SamplesCopy& copy, bool wait) {
    copy.Bytes = SampleBytes();
    Samples* samples = gSamples.load();
    if (copy.Bytes == 0 || samples == nullptr) {
        return true;
    }
    std::unique_lock<std::mutex> lock(samples->mutex, std::defer_lock);
    if (wait) {
        lock.lock();
    } else if (!lock.try_lock()) {
        return false;
    }
    if (samples->released) {
        return true;
    }
    copy.Frames = samples->frames;
    copy.StackStarts = samples->stackStarts;
    copy.PeakBytes = samples->peakBytes;
    copy.PeakBlocks = samples->peakBlocks;
    copy.PeakTime = samples->peakTime;
    copy.Sites.clear();
    for (const auto& [owner, first] : samples->heads) {
        for (const Site* s = first; s != nullptr; s = s->NextOfOwner) {
            const auto [peakBytes, peakBlocks] = AtPeak(*samples, *s);
            copy.Sites.push_back({s->Owner, s->Stack, s->InUseBytes, s->InUseBlocks,
                                  s->AllocatedBytes, s->AllocatedBlocks, peakBytes, peakBlocks});
        }
    }
    lock.unlock();
    std::sort(copy.Sites.begin(), copy.Sites.end(), [](const SiteCopy& a, const SiteCopy& b) {
        return a.Owner != b.Owner ? a.Owner < b.Owner : a.Stack < b.Stack;
    });
    return true;
}

// Built here if nothing sampled has built them yet, and waited for if another
// thread is building them (see RegistryBeforeFork in observe/Registry.cpp).
void SamplesBeforeFork() noexcept {
    StandInEngine(); // built, or its build waited for, as the samples are (Fork.cpp)
    if (Samples* samples = Build()) {
        samples->mutex.lock();
    }
}

void SamplesAfterFork() noexcept {
    if (Samples* samples = gSamples.load()) {
        samples->mutex.unlock();
    }
}

bool ReleaseSamples() noexcept {
    Samples* samples = gSamples.load();
    if (samples == nullptr) {
        return true;
    }
    std::unique_lock<std::mutex> lock(samples->mutex, std::defer_lock);
    if (!platform::LockUnlessEnding(lock)) {
        return false;
    }
    samples->released = true;
    samples->live.ForEach([](const void*, LiveBlock& block) { block.Of = nullptr; });
    for (auto& [owner, first] : samples->heads) {
        for (Site* s = first; s != nullptr;) {
            Site* next = s->NextOfOwner;
            FreeSite(s);
            s = next;
        }
    }
    for (Site* s = samples->forwarded; s != nullptr;) {
        Site* next = s->NextOfOwner;
        FreeSite(s);
        s = next;
    }
    samples->forwarded = nullptr;
    decltype(samples->heads)().swap(samples->heads);
    decltype(samples->sites)().swap(samples->sites);
    decltype(samples->stacks)().swap(samples->stacks);
    decltype(samples->frames)().swap(samples->frames);
    decltype(samples->stackStarts)().swap(samples->stackStarts);
    if (samples->live.Size() != 0) {
        return false;
    }
    samples->live.Release();
    DestroyStandInEngine(); // no header names it any more, and none will
    return true;
}

#if defined(DIDEVERAZEZ_TEST_SEAMS)
namespace testing {
void ReopenSamples() noexcept {
    if (Samples* samples = gSamples.load()) {
        const std::lock_guard<std::mutex> lock(samples->mutex);
        samples->released = false;
        samples->peakBytes = -1;
        CountInUse(*samples, 0, 0);
    }
}
} // namespace testing
#endif

} // namespace dideverazez::observe
