// Taking a snapshot, and writing it as JSON and as OpenMetrics text.

#include "observe/SnapshotWriter.h"

#include "format/OpenMetrics.h"
#include "format/SnapshotKeys.h"
#include "format/Utf8.h"
#include "platform/Platform.h"
#include "statistics/AllocSizes.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <mutex>
#include <string_view>

namespace dideverazez::observe {

namespace {

namespace keys = format::keys;

// Fills the counters of `copy` from `engine`; the caller holds the tree lock.
// `now` is the process's processor time, for a measurement still running.
void CopyFigures(EngineCopy& copy, const allocator_impl& engine, std::uint64_t now) {
    copy.Measuring = engine.Process.Running;
    const std::uint64_t time = copy.Measuring
                                   ? now - (engine.Process.UserTime + engine.Process.KernelTime)
                                   : engine.GetTimeTotal();
    copy.Figures = MetricsOf(engine, static_cast<std::int64_t>(time));
    copy.Global = engine.GlobalStat.Load();
    copy.Self = engine.SelfStat.Load();
    copy.Large = engine.LargeStat.Load();
    copy.Used = engine.UsedStat.Load();
    copy.Page = engine.PageStat.Load();
    copy.Pooled = engine.PooledStat.Load();
    copy.Reserved = engine.ReservedStat.Load();
}

// One tree, `engines` its engines with the root first: their names first,
// then, under the tree's lock and without allocating (a program that routes
// the C heap through handles would come back to this very lock), every
// counter.
TreeCopy CopyTree(const LiveEngine* const* engines, std::size_t count, bool wait, bool& copied) {
    TreeCopy tree;
    tree.Engines.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const LiveEngine& e = *engines[i];
        tree.Engines.push_back({e.Engine,
                                e.Engine->Parent,
                                e.Path,
                                e.Name ? e.Name : "",
                                e.Name != nullptr,
                                e.Engine->GetKind(),
                                e.Engine->IsGlobal,
                                false,
                                e.BornMs,
                                {},
                                {},
                                {},
                                {},
                                {},
                                {},
                                {},
                                {}});
    }
    const allocator_impl& root = *engines[0]->Engine;
    std::uint64_t user = 0, kernel = 0;
    platform::ProcessTimes(platform::CurrentProcess(), user, kernel);
    std::unique_lock<std::mutex> lock(const_cast<allocator_impl&>(root).Mutex, std::defer_lock);
    if (wait) {
        lock.lock();
    } else if (!lock.try_lock()) {
        copied = false;
        return tree;
    }
    for (std::size_t i = 0; i < count; ++i) {
        CopyFigures(tree.Engines[i], *engines[i]->Engine, user + kernel);
    }
    if (root.GetKind() == 1) {
        const PagedMemory& pool = *static_cast<const allocator_data&>(root).Pool;
        tree.CachedPages = pool.FreePageCount;
        for (std::size_t c = 0; c < PagedMemory::ClassCount; ++c) {
            const MemoryManager& manager = pool.Managers[c];
            tree.Classes[c] = {manager.BlockSize, manager.Blocks.Load(), manager.Pages.Load()};
        }
    }
    return tree;
}

// A JSON string: escaped, and valid UTF-8 whatever the name's bytes (a byte
// that starts no valid sequence becomes U+FFFD).
void AppendString(LibraryString& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c >= 0x80) {
            const std::size_t length = format::WellFormedLength(text, i);
            length != 0
                ? void(out.append(text.data() + i, length))
                : void(out.append(format::kReplacement.data(), format::kReplacement.size()));
            i += length != 0 ? length : 1;
            continue;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
}

void AppendAddress(LibraryString& out, const void* address) {
    char text[32];
    std::snprintf(text, sizeof text, "\"0x%" PRIxPTR "\"",
                  reinterpret_cast<std::uintptr_t>(address));
    out += address != nullptr ? text : "null";
}

void AppendTriple(LibraryString& out, const StatValue& v) {
    out += '[';
    AppendNumber(out, v.Current);
    out += ',';
    AppendNumber(out, v.Peak);
    out += ',';
    AppendNumber(out, v.Cumul);
    out += ']';
}

// `"key":`, after a comma unless it opens an object. Keys need no escaping
// (format/SnapshotKeys.h).
void AppendKey(LibraryString& out, const char* key) {
    out += out.back() == '{' ? "\"" : ",\"";
    out += key;
    out += "\":";
}

template <class Integer> void AppendField(LibraryString& out, const char* key, Integer value) {
    AppendKey(out, key);
    AppendNumber(out, value);
}

void AppendFlag(LibraryString& out, const char* key, bool value) {
    AppendKey(out, key);
    out += value ? "true" : "false";
}

void AppendText(LibraryString& out, const char* key, std::string_view text) {
    AppendKey(out, key);
    AppendString(out, text);
}

// A comma unless the list opens here, then `open`, the element's first byte.
void AppendElement(LibraryString& out, char open) {
    if (out.back() != '[') {
        out += ',';
    }
    out += open;
}

void AppendStatistic(LibraryString& out, const char* key, const StatAlloc& s) {
    AppendKey(out, key);
    out += '{';
    AppendKey(out, keys::kBytes);
    AppendTriple(out, s.Memory);
    AppendKey(out, keys::kItems);
    AppendTriple(out, s.Counter);
    out += '}';
}

void AppendMetrics(LibraryString& out, const Metrics& m) {
    const std::pair<const char*, std::int64_t> words[] = {
        {keys::kTimeTotal, m.TimeTotal},     {keys::kSelfPeak, m.SelfPeak},
        {keys::kMemoryPeak, m.MemoryPeak},   {keys::kMemoryCurrent, m.MemoryCurrent},
        {keys::kMemoryCumul, m.MemoryCumul}, {keys::kCountCurrent, m.CountCurrent},
        {keys::kCountCumul, m.CountCumul}};
    AppendKey(out, keys::kMetrics);
    out += '{';
    for (const auto& [name, value] : words) {
        AppendField(out, name, value);
    }
    out += '}';
}

// `"key":{"bytes":..,"blocks":..`, the object left open.
void OpenEstimate(LibraryString& out, const char* key, double bytes, double blocks) {
    // Estimates are sums of whole numbers' inverses; what is left of a freed
    // block's weight is rounding, never a negative count. Rounded half up by
    // hand, without llround: the preload library carries no libm.
    const auto whole = [](double v) {
        if (!(v >= 0.5)) {
            return std::uint64_t{0};
        }
        if (v >= 0x1p64) {
            return std::numeric_limits<std::uint64_t>::max();
        }
        const auto truncated = static_cast<std::uint64_t>(v);
        return truncated + (v - static_cast<double>(truncated) >= 0.5 ? 1 : 0);
    };
    AppendKey(out, key);
    out += '{';
    AppendField(out, keys::kBytes, whole(bytes));
    AppendField(out, keys::kBlocks, whole(blocks));
}

void AppendEstimate(LibraryString& out, const char* key, double bytes, double blocks) {
    OpenEstimate(out, key, bytes, blocks);
    out += '}';
}

// ,"sites":[...] of `owner` (an engine's address, a retired group), one
// entry a stack (an owner has one site a stack: merged groups join theirs);
// nothing while sampling is off.
void AppendSites(LibraryString& out, const SamplesCopy& samples, std::uint64_t owner) {
    if (samples.Bytes == 0) {
        return;
    }
    AppendKey(out, keys::kSites);
    out += '[';
    auto [site, end] = owner != 0 ? samples.SitesOf(owner)
                                  : std::pair<const SiteCopy*, const SiteCopy*>{nullptr, nullptr};
    for (; site != end; ++site) {
        AppendElement(out, '{');
        AppendField(out, keys::kStack, site->Stack);
        AppendEstimate(out, keys::kInUse, site->InUseBytes, site->InUseBlocks);
        AppendEstimate(out, keys::kAllocated, site->AllocatedBytes, site->AllocatedBlocks);
        AppendEstimate(out, keys::kAtPeak, site->AtPeakBytes, site->AtPeakBlocks);
        out += '}';
    }
    out += ']';
}

void AppendEngine(LibraryString& out, const EngineCopy& e, const SamplesCopy& samples) {
    AppendElement(out, '{');
    AppendText(out, keys::kPath, e.Path);
    AppendKey(out, keys::kName);
    e.Named ? AppendString(out, e.Name) : void(out += "null");
    AppendKey(out, keys::kAddress);
    AppendAddress(out, e.Address);
    AppendKey(out, keys::kParent);
    AppendAddress(out, e.Parent);
    AppendText(out, keys::kKind, e.Kind == 0 ? format::kBasicKind : format::kPagedKind);
    AppendFlag(out, keys::kGlobal, e.IsGlobal);
    AppendField(out, keys::kBornMs, e.BornMs);
    AppendFlag(out, keys::kMeasuring, e.Measuring);
    AppendMetrics(out, e.Figures);
    AppendKey(out, keys::kStatistics);
    out += '{';
    AppendStatistic(out, keys::kGlobal, e.Global);
    AppendStatistic(out, keys::kSelf, e.Self);
    AppendStatistic(out, keys::kLarge, e.Large);
    AppendStatistic(out, keys::kUsed, e.Used);
    AppendKey(out, keys::kReserved);
    AppendTriple(out, e.Reserved);
    AppendStatistic(out, keys::kPages, e.Page);
    AppendStatistic(out, keys::kPooled, e.Pooled);
    out += '}';
    AppendSites(out, samples, reinterpret_cast<std::uintptr_t>(e.Address));
    out += '}';
}

void AppendSampling(LibraryString& out, const Snapshot& snapshot) {
    const SamplesCopy& samples = snapshot.Samples;
    if (samples.Bytes == 0) {
        return;
    }
    AppendKey(out, keys::kSampling);
    out += '{';
    AppendField(out, keys::kBytes, samples.Bytes);
    OpenEstimate(out, keys::kPeak, samples.PeakBytes, samples.PeakBlocks);
    AppendField(out, keys::kMs, MillisecondsSinceLoad(samples.PeakTime));
    out += "}}";
    AppendKey(out, keys::kStacks);
    out += '[';
    for (std::size_t i = 0; i + 1 < samples.StackStarts.size(); ++i) {
        AppendElement(out, '[');
        for (std::uint32_t f = samples.StackStarts[i]; f < samples.StackStarts[i + 1]; ++f) {
            out += out.back() == '[' ? "" : ",";
            AppendNumber(out, samples.Frames[f]);
        }
        out += ']';
    }
    out += ']';
    AppendKey(out, keys::kObjects);
    out += '[';
    for (const ObjectCopy& o : snapshot.Objects) {
        AppendElement(out, '{');
        AppendText(out, keys::kPath, o.Path);
        AppendText(out, keys::kBuildId, o.BuildId);
        AppendField(out, keys::kBase, o.Base);
        AppendField(out, keys::kStart, o.Start);
        AppendField(out, keys::kEnd, o.End);
        AppendField(out, keys::kOffset, o.Offset);
        out += '}';
    }
    out += ']';
}

// The objects loaded now, as the report tool names them.
void CopyObjects(LibraryVector<ObjectCopy>& objects) {
    platform::ForEachLoadedObject(
        [](void* context, const platform::LoadedObject& object) {
            static constexpr char kHex[] = "0123456789abcdef";
            LibraryString id;
            for (std::size_t i = 0; i < object.BuildIdSize; ++i) {
                id += kHex[object.BuildId[i] >> 4];
                id += kHex[object.BuildId[i] & 15];
            }
            static_cast<LibraryVector<ObjectCopy>*>(context)->push_back(
                {object.Path, std::move(id), object.Base, object.Start, object.End, object.Offset});
        },
        &objects);
}

} // namespace

Snapshot TakeSnapshot(const AllocSizes& histogram, bool wait, bool* complete) {
    Snapshot snapshot;
    snapshot.Process = platform::CurrentProcessId();
    char program[256];
    platform::ProgramName(program, sizeof program);
    snapshot.Program = program;
    bool copied = true;
    copied &= Visit(
        [&](const LiveEngines& live, const RetiredHandles& retired) {
            snapshot.TakenMs = MillisecondsSinceLoad();
            // Tree by tree, each root first.
            for (std::size_t first = 0, end = 0; first < live.size(); first = end) {
                for (end = first + 1; end < live.size() && live[end]->Engine->Parent != nullptr;
                     ++end) {
                }
                snapshot.Trees.push_back(CopyTree(live.data() + first, end - first, wait, copied));
            }
            snapshot.Retired = retired;
        },
        wait);
    // The samples after the trees: a block sampled in between has a site
    // and no counter yet, never the other way round.
    if (!CopySamples(snapshot.Samples, wait)) {
        copied = false;
    } else if (snapshot.Samples.Bytes != 0) {
        CopyObjects(snapshot.Objects);
    }
    if (complete != nullptr) {
        *complete = copied;
    }
    // Nothing in the library records into the module's histogram; a caller
    // that records into one serialises that itself.
    snapshot.HistogramName = histogram.name != nullptr ? histogram.name : "";
    snapshot.HistogramPages = histogram.pages;
    for (const AllocSizeClass& row : histogram.classes) {
        snapshot.Histogram.push_back({row.bound, row.label != nullptr ? row.label : "", row.count});
    }
    return snapshot;
}

LibraryString ToJson(const Snapshot& snapshot) {
    LibraryString out = "{";
    AppendText(out, keys::kFormat, format::kDocumentFormat);
    AppendField(out, keys::kVersion, format::kDocumentVersion);
    AppendField(out, keys::kProcess, snapshot.Process);
    AppendField(out, keys::kTakenMs, snapshot.TakenMs);
    AppendText(out, keys::kProgram, snapshot.Program);
    AppendFlag(out, keys::kAtExit, snapshot.AtExit);
    AppendKey(out, keys::kTrees);
    out += '[';
    for (const TreeCopy& tree : snapshot.Trees) {
        AppendElement(out, '{');
        AppendField(out, keys::kCachedPages, tree.CachedPages);
        AppendKey(out, keys::kClasses);
        out += '[';
        for (const ClassCopy& c : tree.Classes) {
            if (c.Pages.Cumul > 0) { // only the classes that ever held a page
                AppendElement(out, '{');
                AppendField(out, keys::kSize, c.Size);
                AppendKey(out, keys::kBlocks);
                AppendTriple(out, c.Blocks);
                AppendKey(out, keys::kPages);
                AppendTriple(out, c.Pages);
                out += '}';
            }
        }
        out += ']';
        AppendKey(out, keys::kEngines);
        out += '[';
        for (const EngineCopy& e : tree.Engines) {
            AppendEngine(out, e, snapshot.Samples);
        }
        out += "]}";
    }
    out += ']';
    AppendKey(out, keys::kRetired);
    out += '[';
    for (const RetiredHandle& r : snapshot.Retired) {
        AppendElement(out, '{');
        AppendText(out, keys::kPath, r.Path);
        AppendField(out, keys::kHandles, r.Handles);
        AppendField(out, keys::kBornMs, r.BornMs);
        AppendField(out, keys::kDiedMs, r.DiedMs);
        AppendMetrics(out, r.Figures);
        AppendSites(out, snapshot.Samples, r.Sites);
        out += '}';
    }
    out += ']';
    AppendKey(out, keys::kHistogram);
    out += '{';
    AppendText(out, keys::kName, snapshot.HistogramName);
    AppendField(out, keys::kPages, snapshot.HistogramPages);
    AppendKey(out, keys::kClasses);
    out += '[';
    for (const HistogramRow& row : snapshot.Histogram) {
        AppendElement(out, '{');
        AppendField(out, keys::kBound, row.Bound);
        AppendText(out, keys::kLabel, row.Label);
        AppendField(out, keys::kCount, row.Count);
        out += '}';
    }
    out += "]}";
    AppendSampling(out, snapshot);
    out += '}';
    return out;
}

LibraryString ToOpenMetrics(const Snapshot& snapshot) {
    LibraryVector<openmetrics::Row> rows;
    // Each tree's engines by address, to find a parent's row.
    LibraryVector<std::pair<const void*, std::size_t>> index;
    for (const TreeCopy& tree : snapshot.Trees) {
        index.clear();
        for (const EngineCopy& e : tree.Engines) {
            index.push_back({e.Address, rows.size()});
            rows.push_back({e.Path, e.Kind == 0 ? "basic" : "paged", openmetrics::kNoParent,
                            e.Figures.MemoryCurrent, e.Figures.MemoryPeak, e.Figures.MemoryCumul,
                            e.Figures.CountCurrent, e.Figures.CountCumul, e.Figures.SelfPeak,
                            e.Used.Memory.Current, e.Reserved.Current});
        }
        std::sort(index.begin(), index.end());
        for (std::size_t i = rows.size() - tree.Engines.size(), k = 0; i < rows.size(); ++i, ++k) {
            const void* parent = tree.Engines[k].Parent;
            const auto found = std::lower_bound(index.begin(), index.end(),
                                                std::pair<const void*, std::size_t>{parent, 0});
            if (parent != nullptr && found != index.end() && found->first == parent) {
                rows[i].parent = found->second;
            }
        }
    }
    LibraryString text;
    openmetrics::WriteTo(text, rows.data(), rows.size(), {snapshot.Process, snapshot.Program});
    return text;
}

} // namespace dideverazez::observe
