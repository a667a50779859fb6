// The demo host program: a small "application" with a scene, a network layer,
// an audio module and a plug-in, each accounting its memory to a tree of
// zu_allocator handles. It runs a few hundred thousand allocations and frees,
// prints the tree of handles with their figures, writes a text and an XML
// report of every engine, and finally destroys a plug-in handle that still
// holds blocks, on purpose, to show what a leak looks like.
//
// Usage: dideverazez_demo [report-folder]   (default: ./demo-reports)
//
// It links the module's static build to reach the engines and the report
// streams (zu_allocator_access, LmAlloc::FileStream); everything else goes
// through the exported interface. Exit status 0 when every check the demo
// makes of its own counters holds, 1 otherwise. It stays one file, past 600
// lines, so that the host program reads from top to bottom as a user would
// write it.

#include "engines/kdideverazez_impl.h"
#include "handle/Internals.h"
#include "handle/dideverazez.h"
#include "handle/zu_memory_resource.h"
#include "observe/SnapshotWriter.h"
#include "report/ReportStreams.h"
#include "statistics/AllocSizes.h"
#include "statistics/ValueFormat.h"
#include "statistics/lmstl_allocator.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// The application's modules

// A band of request sizes, drawn uniformly, with its share of a module's
// requests.
struct SizeBand {
    int weight;
    std::uint64_t smallest;
    std::uint64_t largest;
};

// One handle of the tree. `parent` indexes kModules (-1 for a root); a root's
// tree is built when the workload reaches operation `startAt`; `weight` is the
// module's share of the operations (0: it allocates nothing itself);
// `liveTarget` the number of blocks it keeps in use once warmed up.
struct ModulePlan {
    const char* name;
    int parent;
    int startAt;
    int weight;
    int liveTarget;
    std::array<SizeBand, 2> bands;
};

constexpr int kOperations = 400'000;

// Mostly small requests; vertex buffers, mip levels, audio streams and some
// network buffers go above 1024 bytes and straight to the C heap. The network
// layer connects a fifth of the way in, the audio module starts half-way.
constexpr ModulePlan kModules[] = {
    {"Scene", -1, 0, 0, 0, {}},
    {"Meshes", 0, 0, 2, 200, {{{4, 64, 512}, {0, 0, 0}}}},
    {"Vertices", 1, 0, 6, 600, {{{6, 96, 1024}, {3, 1025, 16384}}}},
    {"Indices", 1, 0, 10, 900, {{{8, 16, 768}, {1, 1025, 8192}}}},
    {"Textures", 0, 0, 2, 100, {{{1, 64, 256}, {0, 0, 0}}}},
    {"Mipmaps", 4, 0, 3, 150, {{{2, 256, 1024}, {2, 1025, 65536}}}},
    {"SceneGraph", 0, 0, 24, 4000, {{{10, 16, 128}, {2, 129, 320}}}},
    {"Network", -1, kOperations / 5, 0, 0, {}},
    {"Sockets", 7, 0, 2, 64, {{{1, 128, 512}, {0, 0, 0}}}},
    {"SendBuffers", 8, 0, 9, 700, {{{5, 64, 1024}, {2, 1025, 1500}}}},
    {"RecvBuffers", 8, 0, 9, 700, {{{5, 64, 1024}, {2, 1025, 1500}}}},
    {"Packets", 7, 0, 20, 2500, {{{12, 20, 96}, {3, 97, 256}}}},
    {"Audio", -1, kOperations / 2, 0, 0, {}},
    {"Streams", 12, 0, 3, 120, {{{1, 512, 1024}, {3, 4096, 32768}}}},
    {"Mixer", 12, 0, 4, 300, {{{1, 32, 256}, {0, 0, 0}}}},
    {"Effects", 14, 0, 8, 800, {{{6, 48, 512}, {1, 513, 2048}}}},
    // The host's own bookkeeping: its block lists (through lmstl_allocator)
    // and the request-size histograms' tables.
    {"Diagnostics", -1, 0, 0, 0, {}},
    {"BlockLists", 16, 0, 0, 0, {}},
};
constexpr int kModuleCount = static_cast<int>(std::size(kModules));
// The modules the host treats apart.
constexpr int kTextures = 4;
constexpr int kSockets = 8;
constexpr int kMixer = 14;
constexpr int kDiagnostics = 16;
constexpr int kBlockLists = 17;
static_assert(std::string_view(kModules[kTextures].name) == "Textures");
static_assert(std::string_view(kModules[kSockets].name) == "Sockets");
static_assert(std::string_view(kModules[kMixer].name) == "Mixer");
static_assert(std::string_view(kModules[kDiagnostics].name) == "Diagnostics");
static_assert(std::string_view(kModules[kBlockLists].name) == "BlockLists");

// The tree a module belongs to: the index of its root.
int RootOf(int module) {
    while (kModules[module].parent >= 0) {
        module = kModules[module].parent;
    }
    return module;
}

int DepthOf(int module) {
    int depth = 0;
    for (; kModules[module].parent >= 0; module = kModules[module].parent) {
        ++depth;
    }
    return depth;
}

// What the library charges to a handle's own figures for a block of `size`
// bytes: the stride of its size class (class + 24) up to 1024 bytes, the
// request + 24 above. The host keeps its own tally with it, to show that the
// library's figures are exact to the byte.
std::int64_t ChargeOf(std::uint64_t size) {
    if (size <= PagedMemory::LargestClass) {
        for (std::uint64_t classSize : PagedMemory::ClassSizes) {
            if (size <= classSize) {
                return static_cast<std::int64_t>(classSize + 24);
            }
        }
    }
    return static_cast<std::int64_t>(size + 24);
}

// The host's context: notified when a handle is destroyed with memory in use.
class HostContext final : public IAllocatorContext {
public:
    void OnMemoryError(bool pending) override {
        ++calls_;
        std::printf("  [host] OnMemoryError(%s): an allocator was destroyed with memory in use\n",
                    pending ? "true" : "false");
        std::fflush(stdout);
    }
    int Calls() const { return calls_; }

private:
    int calls_ = 0;
};

// A block the host holds.
struct LiveBlock {
    void* pointer;
    std::uint64_t size;
};

using BlockList = std::vector<LiveBlock, lmstl_allocator<LiveBlock>>;

// ---------------------------------------------------------------------------
// Output

std::string Grouped(std::int64_t value, int width) {
    std::ostringstream text;
    LmAlloc::FormatGrouped(text, value, width);
    return text.str();
}

std::string ByteSize(std::int64_t bytes) {
    std::ostringstream text;
    LmAlloc::FormatByteSize(text, bytes);
    return text.str();
}

std::string Indented(const char* name, int depth) {
    return std::string(static_cast<std::size_t>(depth) * 2, ' ') + name;
}

// The table of handles: one line per handle, children under their parent.
void PrintTable(const std::vector<zu_allocator*>& handles) {
    std::printf("%-16s %11s | %22s | %22s | %24s | %6s %8s | %7s\n", "allocator", "self peak",
                "current bytes", "peak bytes", "cumulative bytes", "blocks", "ever", "time");
    std::printf("%s\n", std::string(133, '-').c_str());
    for (int module = 0; module < kModuleCount; ++module) {
        zu_allocator::Metrics m{};
        handles[static_cast<std::size_t>(module)]->GetMetrics(m);
        std::printf("%-16s %11s | %11s %10s | %11s %10s | %13s %10s | %6s %8s | %5.3f s\n",
                    Indented(kModules[module].name, DepthOf(module)).c_str(),
                    Grouped(m.SelfPeak, 11).c_str(), Grouped(m.MemoryCurrent, 11).c_str(),
                    ByteSize(m.MemoryCurrent).c_str(), Grouped(m.MemoryPeak, 11).c_str(),
                    ByteSize(m.MemoryPeak).c_str(), Grouped(m.MemoryCumul, 13).c_str(),
                    ByteSize(m.MemoryCumul).c_str(), Grouped(m.CountCurrent, 6).c_str(),
                    Grouped(m.CountCumul, 8).c_str(), static_cast<double>(m.TimeTotal) / 1000.0);
    }
}

struct NamedStat {
    const char* textLabel; // the text report prints it in front of "Current = ", etc.
    const char* xmlName;   // the XML report's Name attribute
    StatAlloc stat;
};

// The statistics of an engine in its field order. ReservedStat keeps bytes
// only, so its item counts read 0.
std::array<NamedStat, 7> StatisticsOf(const allocator_impl& engine) {
    return {{{"GlobalStat   ", "GlobalStat", engine.GlobalStat.Load()},
             {"SelfStat     ", "SelfStat", engine.SelfStat.Load()},
             {"LargeStat    ", "LargeStat", engine.LargeStat.Load()},
             {"UsedStat     ", "UsedStat", engine.UsedStat.Load()},
             {"ReservedStat ", "ReservedStat", StatAlloc{engine.ReservedStat.Load(), StatValue{}}},
             {"PageStat     ", "PageStat", engine.PageStat.Load()},
             {"PooledStat   ", "PooledStat", engine.PooledStat.Load()}}};
}

// Writes every engine of the tree, in tree order, through `stream`; `out` is
// the file under it, for the demo's own headings. Roots add their pool's size
// classes and the request-size histogram of their tree.
void WriteReport(std::ostream& out, LmAlloc::FileStream& stream, bool xml,
                 const std::vector<zu_allocator*>& handles,
                 const std::vector<const AllocSizes*>& histograms) {
    stream.BeginReport();
    for (int module = 0; module < kModuleCount; ++module) {
        const allocator_impl& engine =
            *zu_allocator_access::Engine(*handles[static_cast<std::size_t>(module)]);
        const char* kind = engine.GetKind() == 1 ? "paged" : "basic";
        if (xml) {
            out << "<ENGINE name=\"" << engine.Name << "\" kind=\"" << kind << "\" depth=\""
                << DepthOf(module) << "\">\n";
        } else {
            out << "==== " << Indented(engine.Name, DepthOf(module)) << "  (" << kind
                << " engine, depth " << DepthOf(module) << ", self peak "
                << engine.SelfStat.Memory.Load().Peak << " b, global peak "
                << engine.GlobalStat.Memory.Load().Peak << " b)\n";
        }
        stream.WriteAllocator(engine);
        for (const NamedStat& named : StatisticsOf(engine)) {
            stream.WriteStatistics(named.stat, xml ? named.xmlName : named.textLabel);
        }
        if (!xml) {
            stream.WriteProcessFigures(engine.Process,
                                       static_cast<std::uint64_t>(engine.GlobalStat.Memory.Peak));
        }
        if (engine.GetKind() == 1) {
            const auto& paged = static_cast<const allocator_data&>(engine);
            if (paged.OwnsPool()) {
                stream.WriteMemoryManagers(*paged.Pool);
            }
        }
        if (const AllocSizes* sizes = histograms[static_cast<std::size_t>(module)]) {
            stream.WriteAllocSizes(*sizes);
        }
        if (xml) {
            out << "</ENGINE>\n";
        } else {
            out << "\n";
        }
    }
    stream.EndReport();
}

// ---------------------------------------------------------------------------
// The run

class Demo {
public:
    explicit Demo(std::filesystem::path reportFolder) : reportFolder_(std::move(reportFolder)) {}
    // Storage first, then the handles it came from; children before parents.
    ~Demo() {
        mixBuffer_.reset();
        mixerResource_.reset();
        live_.clear();
        histograms_.clear();
        while (!owned_.empty()) {
            owned_.pop_back();
        }
    }
    Demo(const Demo&) = delete;
    Demo& operator=(const Demo&) = delete;
    int Run();

private:
    void BuildTree(int root);
    void Workload();
    void Allocate(int module);
    void Release(int module, std::size_t index);
    void DeclaredUse(std::uint64_t step);
    bool CheckTally();
    bool CheckPools();
    void WriteReports();
    // A snapshot of every tree, as DIDEVERAZEZ_REPORT would write it: into
    // `name` of the report folder, and as one more line of series.jsonl.
    void WriteSnapshot(const char* name);
    bool ReleaseEverything();
    bool DeliberateLeak();
    zu_allocator& Handle(int module) { return *handles_[static_cast<std::size_t>(module)]; }

    std::filesystem::path reportFolder_;
    std::mt19937_64 random_{20261205};
    HostContext context_;

    std::vector<std::unique_ptr<zu_allocator>> owned_; // in construction order
    std::vector<zu_allocator*> handles_ = std::vector<zu_allocator*>(kModuleCount, nullptr);
    std::vector<BlockList> live_;                         // per module
    std::vector<std::unique_ptr<AllocSizes>> histograms_; // per root with a workload
    std::vector<std::int64_t> tally_ = std::vector<std::int64_t>(kModuleCount, 0);
    std::unique_ptr<zu_memory_resource> mixerResource_;
    std::unique_ptr<std::pmr::vector<float>> mixBuffer_;

    std::uint64_t allocations_ = 0, frees_ = 0;
    std::uint64_t freedByOwner_ = 0, freedByNull_ = 0, freedByOther_ = 0;
    std::int64_t declared_ = 0; // texture bytes declared now (one amount at most)
    int openWindows_ = 0;       // socket windows reserved now
};

// Builds the handles of one tree, parents first as kModules lists them. Names
// are string literals, which outlive the handles as the library requires.
void Demo::BuildTree(int root) {
    for (int module = root; module < kModuleCount && RootOf(module) == root; ++module) {
        const ModulePlan& plan = kModules[module];
        auto handle = plan.parent < 0
                          ? std::make_unique<zu_allocator>(plan.name)
                          : std::make_unique<zu_allocator>(Handle(plan.parent), plan.name);
        if (plan.parent < 0) {
            handle->SetAllocatorContext(&context_);
        }
        handles_[static_cast<std::size_t>(module)] = handle.get();
        owned_.push_back(std::move(handle));
    }
    if (root == kDiagnostics) {
        for (int module = 0; module < kModuleCount; ++module) {
            live_.emplace_back(lmstl_allocator<LiveBlock>(&Handle(kBlockLists)));
            const bool hasWorkload = kModules[module].parent < 0 && module != kDiagnostics;
            histograms_.push_back(hasWorkload ? std::make_unique<AllocSizes>(kModules[module].name,
                                                                             &Handle(kDiagnostics))
                                              : nullptr);
        }
    }
    if (root == RootOf(kMixer)) {
        // The mixer's output buffer is a std::pmr container over its handle.
        mixerResource_ = std::make_unique<zu_memory_resource>(&Handle(kMixer), "mix buffer");
        mixBuffer_ = std::make_unique<std::pmr::vector<float>>(mixerResource_.get());
    }
}

void Demo::Allocate(int module) {
    const ModulePlan& plan = kModules[module];
    int total = 0;
    for (const SizeBand& band : plan.bands) {
        total += band.weight;
    }
    int pick = std::uniform_int_distribution<int>(0, total - 1)(random_);
    const SizeBand* band = plan.bands.data();
    while (pick >= band->weight) {
        pick -= band->weight;
        ++band;
    }
    const std::uint64_t size =
        std::uniform_int_distribution<std::uint64_t>(band->smallest, band->largest)(random_);

    zu_allocator& handle = Handle(module);
    // Three ways in, as a real code base mixes them.
    void* block = nullptr;
    switch (allocations_ % 3) {
    case 0:
        block = zu_alloc(size, &handle, plan.name);
        break;
    case 1:
        block = zu_alloc_array(size, &handle, plan.name, "arrays");
        break;
    default:
        block = handle.Alloc(size);
        break;
    }
    live_[static_cast<std::size_t>(module)].push_back({block, size});
    histograms_[static_cast<std::size_t>(RootOf(module))]->Record(size);
    tally_[static_cast<std::size_t>(module)] += ChargeOf(size);
    ++allocations_;
}

void Demo::Release(int module, std::size_t index) {
    BlockList& blocks = live_[static_cast<std::size_t>(module)];
    const LiveBlock block = blocks[index];
    blocks[index] = blocks.back();
    blocks.pop_back();

    // Whoever frees a block needs no handle: the block names its engine.
    const int route = std::uniform_int_distribution<int>(0, 99)(random_);
    if (route < 45) {
        zu_free(block.pointer, &Handle(module));
        ++freedByOwner_;
    } else if (route < 70) {
        zu_free(block.pointer, nullptr);
        ++freedByNull_;
    } else {
        // Through some other live handle, of this tree or another one.
        int other = std::uniform_int_distribution<int>(0, kModuleCount - 1)(random_);
        while (handles_[static_cast<std::size_t>(other)] == nullptr) {
            other = (other + 1) % kModuleCount;
        }
        if (route < 85) {
            Handle(other).Free(block.pointer);
        } else {
            zu_free_array(block.pointer, &Handle(other));
        }
        ++freedByOther_;
    }
    tally_[static_cast<std::size_t>(module)] -= ChargeOf(block.size);
    ++frees_;
}

// Memory the modules hold outside the allocator, declared by hand: textures
// resident on the GPU (each amount declared, then taken back at the next
// step), receive windows the sockets reserve (half stay open), and the mixer's
// output buffer, which std::pmr grows and shrinks through its handle. Every
// declaration is one item, so each is taken back on its own.
void Demo::DeclaredUse(std::uint64_t step) {
    constexpr std::uint64_t window = 64 * 1024;
    if (declared_ == 0) {
        const std::uint64_t textureBytes = (step % 7 + 1) * 256 * 1024;
        Handle(kTextures).IncMemoryUsed(textureBytes);
        declared_ = static_cast<std::int64_t>(textureBytes);
        tally_[kTextures] += declared_;
    } else {
        Handle(kTextures).DecMemoryUsed(static_cast<std::uint64_t>(declared_));
        tally_[kTextures] -= declared_;
        declared_ = 0;
    }
    if (handles_[kSockets] != nullptr) {
        if (step % 2 == 0) {
            Handle(kSockets).Reserve(window);
            tally_[kSockets] += static_cast<std::int64_t>(window);
            ++openWindows_;
        } else if (step % 4 == 1) {
            Handle(kSockets).UnReserve(window);
            tally_[kSockets] -= static_cast<std::int64_t>(window);
            --openWindows_;
        }
    }
    if (mixBuffer_) {
        mixBuffer_->resize(256 * (step % 9 + 1));
        if (step % 9 == 0) {
            mixBuffer_->shrink_to_fit();
        }
    }
}

void Demo::Workload() {
    std::uniform_int_distribution<int> coin(0, 99);
    for (int op = 0; op < kOperations; ++op) {
        for (int root = 0; root < kModuleCount; ++root) {
            if (kModules[root].parent < 0 && kModules[root].startAt == op &&
                handles_[static_cast<std::size_t>(root)] == nullptr) {
                BuildTree(root);
            }
        }
        int totalWeight = 0;
        for (int module = 0; module < kModuleCount; ++module) {
            totalWeight += handles_[static_cast<std::size_t>(module)] ? kModules[module].weight : 0;
        }
        int pick = std::uniform_int_distribution<int>(0, totalWeight - 1)(random_);
        int module = 0;
        for (;; ++module) {
            const int weight =
                handles_[static_cast<std::size_t>(module)] ? kModules[module].weight : 0;
            if (pick < weight) {
                break;
            }
            pick -= weight;
        }
        const BlockList& blocks = live_[static_cast<std::size_t>(module)];
        // Grow towards the module's working set, then hover around it.
        const bool grow = blocks.size() < static_cast<std::size_t>(kModules[module].liveTarget)
                              ? coin(random_) < 65
                              : coin(random_) < 45;
        if (grow || blocks.empty()) {
            Allocate(module);
        } else {
            Release(module,
                    std::uniform_int_distribution<std::size_t>(0, blocks.size() - 1)(random_));
        }
        if (op % 2000 == 0) {
            DeclaredUse(static_cast<std::uint64_t>(op / 2000));
        }
        if (op % (kOperations / 20) == 0) {
            WriteSnapshot(op == kOperations / 2 ? "snapshot-1.json" : nullptr);
        }
    }
}

// The library's SelfStat of each child handle against the host's own tally:
// blocks at their charge plus declared use and reservations. (A root's SelfStat
// also holds its tree's pages, which the host does not see.)
bool Demo::CheckTally() {
    int checked = 0;
    for (int module = 0; module < kModuleCount; ++module) {
        // Roots also hold their tree's pages, the mixer its std::pmr buffer and
        // the block lists the host's own storage, none of which the host counts.
        if (kModules[module].parent < 0 || module == kMixer || module == kBlockLists) {
            continue;
        }
        const allocator_impl& engine =
            *zu_allocator_access::Engine(*handles_[static_cast<std::size_t>(module)]);
        const std::int64_t library = engine.SelfStat.Memory.Load().Current;
        if (library != tally_[static_cast<std::size_t>(module)]) {
            std::printf("CHECK FAILED: %s holds %lld bytes by the library, %lld by the host\n",
                        kModules[module].name, static_cast<long long>(library),
                        static_cast<long long>(tally_[static_cast<std::size_t>(module)]));
            return false;
        }
        ++checked;
    }
    std::printf("The host's own tally of %d child handles agrees with the library to the byte.\n",
                checked);
    return true;
}

bool Demo::CheckPools() {
    for (int module = 0; module < kModuleCount; ++module) {
        if (kModules[module].parent >= 0) {
            continue;
        }
        auto& engine = static_cast<allocator_data&>(
            *zu_allocator_access::Engine(*handles_[static_cast<std::size_t>(module)]));
        std::lock_guard<std::mutex> lock(engine.Mutex);
        if (const char* broken = engine.Pool->CheckInvariants().Invariant) {
            std::printf("CHECK FAILED: pool of %s: %s\n", kModules[module].name, broken);
            return false;
        }
    }
    return true;
}

void Demo::WriteReports() {
    std::filesystem::create_directories(reportFolder_);
    const std::filesystem::path textPath =
        std::filesystem::absolute(reportFolder_ / "allocators.txt");
    const std::filesystem::path xmlPath =
        std::filesystem::absolute(reportFolder_ / "allocators.xml");
    std::vector<const AllocSizes*> histograms;
    for (const auto& histogram : histograms_) {
        histograms.push_back(histogram.get());
    }

    {
        std::ofstream text(textPath);
        text << "dideverazez allocator report: every engine of the demo's trees\n\n";
        LmAlloc::FileStream stream(text);
        WriteReport(text, stream, false, handles_, histograms);
    }
    {
        // The XML stream writes elements without a root; the file gets one.
        std::ofstream xml(xmlPath);
        xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DIDEVERAZEZ_REPORT>\n";
        LmAlloc::XMLFileStream stream(xml);
        WriteReport(xml, stream, true, handles_, histograms);
        xml << "</DIDEVERAZEZ_REPORT>\n";
    }
    std::printf("Text report: %s\nXML report:  %s\n", textPath.string().c_str(),
                xmlPath.string().c_str());
}

// Gives everything back, then checks that every handle reads zero.
bool Demo::ReleaseEverything() {
    for (int module = 0; module < kModuleCount; ++module) {
        while (!live_[static_cast<std::size_t>(module)].empty()) {
            Release(module, live_[static_cast<std::size_t>(module)].size() - 1);
        }
    }
    if (declared_ != 0) {
        Handle(kTextures).DecMemoryUsed(static_cast<std::uint64_t>(declared_));
        declared_ = 0;
    }
    for (; openWindows_ > 0; --openWindows_) {
        Handle(kSockets).UnReserve(64 * 1024);
    }
    mixBuffer_.reset();
    mixerResource_.reset();
    for (int module = 0; module < kModuleCount; ++module) {
        if (module == kDiagnostics || module == kBlockLists) {
            continue; // the host's lists and histograms are still alive
        }
        zu_allocator::Metrics m{};
        handles_[static_cast<std::size_t>(module)]->GetMetrics(m); // also frees cached pages
        if (m.MemoryCurrent != 0 || m.CountCurrent != 0) {
            std::printf("CHECK FAILED: %s still holds %lld bytes in %lld items\n",
                        kModules[module].name, static_cast<long long>(m.MemoryCurrent),
                        static_cast<long long>(m.CountCurrent));
            return false;
        }
    }
    std::printf("Everything freed: the %d handles of the application read 0 bytes in 0 "
                "items.\n",
                kModuleCount - 2);
    return true;
}

// A plug-in forgets three blocks and its allocator is destroyed anyway. The
// library writes two "MEMORY ERROR" trace errors (standard error) and calls the
// host's context, found on the plug-in's root. The demo then puts the blocks
// back into its root's pool itself, so that the root and the process end clean
// (under a leak checker too).
bool Demo::DeliberateLeak() {
    std::printf("\nDELIBERATE LEAK: the plug-in's \"Decoder\" handle is destroyed while it still\n"
                "holds 3 blocks (200, 96 and 1000 bytes: 248 + 120 + 1048 = 1416 bytes charged).\n"
                "Expect two \"MEMORY ERROR\" lines on standard error and one call of the host's\n"
                "context. This is on purpose.\n");
    std::fflush(stdout);

    zu_allocator plugin("Plugin");
    plugin.SetAllocatorContext(&context_);
    const int callsBefore = context_.Calls();
    std::array<void*, 3> forgotten{};
    {
        zu_allocator decoder(plugin, "Decoder");
        forgotten = {decoder.Alloc(200), zu_alloc(96, &decoder, "frame"),
                     zu_alloc(1000, &decoder, "header")};
        void* returned = decoder.Alloc(4000); // this one it does free
        decoder.Free(returned);
    } // ~zu_allocator: the two error lines, then the context call
    std::fflush(stderr);

    // The blocks' engine is gone, but their pages belong to the root's pool:
    // return each block to its page as the engine would have.
    {
        auto& root = *zu_allocator_access::Engine(plugin);
        std::lock_guard<std::mutex> lock(root.Mutex);
        for (void* block : forgotten) {
            PagedMemory::ReturnBlock(
                reinterpret_cast<PooledBlock*>(static_cast<char*>(block) - 24));
        }
    }
    const bool notified = context_.Calls() == callsBefore + 1;
    std::printf("End of the deliberate leak: the host's context was notified %s; the demo "
                "took the\n3 blocks back itself.\n",
                notified ? "once, as expected" : "THE WRONG NUMBER OF TIMES");
    return notified;
}

void Demo::WriteSnapshot(const char* name) {
    const auto json = dideverazez::observe::ToJson(
        dideverazez::observe::TakeSnapshot(dideverazez::GlobalAllocSizes()));
    std::ofstream(reportFolder_ / "series.jsonl", std::ios::app) << json << '\n';
    if (name != nullptr) {
        std::ofstream(reportFolder_ / name) << json;
    }
}

int Demo::Run() {
    const auto started = std::chrono::steady_clock::now();
    std::printf("dideverazez demo: a host with a scene, a network layer and an audio module,\n"
                "each with its own tree of allocators, running %d operations.\n\n",
                kOperations);
    std::filesystem::create_directories(reportFolder_);
    std::filesystem::remove(reportFolder_ / "series.jsonl");
    BuildTree(kDiagnostics);
    Workload();
    std::printf("%llu allocations and %llu frees; frees went through the owning handle %llu "
                "times,\nthrough zu_free(p, nullptr) %llu times and through some other handle "
                "%llu times.\n\n",
                static_cast<unsigned long long>(allocations_),
                static_cast<unsigned long long>(frees_),
                static_cast<unsigned long long>(freedByOwner_),
                static_cast<unsigned long long>(freedByNull_),
                static_cast<unsigned long long>(freedByOther_));

    WriteSnapshot("snapshot-2.json");
    bool ok = CheckTally() && CheckPools();
    std::printf("\n");
    PrintTable(handles_);
    std::printf("\n(self peak: the handle alone; current, peak, cumulative bytes and blocks: the "
                "handle and its\n children, where a root holds its tree's pages rather than its "
                "children's small blocks;\n ever: blocks ever allocated; time: processor time of "
                "the process while the handle lived.)\n\n");
    WriteReports();
    std::printf("Snapshots: %s (half-way), %s (the end of the work), and %s (every\n"
                "20,000 operations): see them with dideverazez-report summary, diff and html.\n\n",
                (reportFolder_ / "snapshot-1.json").string().c_str(),
                (reportFolder_ / "snapshot-2.json").string().c_str(),
                (reportFolder_ / "series.jsonl").string().c_str());

    ok = ReleaseEverything() && ok;
    ok = DeliberateLeak() && ok;

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("\nDone in %.2f s%s\n", seconds, ok ? "." : ", WITH FAILED CHECKS.");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::filesystem::path folder = argc > 1 ? argv[1] : "demo-reports";
    // The demo takes its snapshots itself, without the environment's asking.
    dideverazez::observe::RecordHandles();
    int status = 0;
    {
        Demo demo(folder);
        status = demo.Run();
    }
    return status;
}
