// Taking a snapshot, and writing it as JSON and as OpenMetrics text.

#include "observe/SnapshotWriter.h"

#include "format/OpenMetrics.h"
#include "format/Utf8.h"
#include "platform/Platform.h"
#include "statistics/AllocSizes.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <mutex>

namespace dideverazez::observe {

namespace {

// Fills the figures of `copy` from `engine`; the caller holds the tree lock.
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
// figure.
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
void AppendString(LibraryString& out, const LibraryString& text) {
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
            const std::size_t length = format::WellFormedLength({text.data(), text.size()}, i);
            length != 0
                ? void(out.append(text, i, length))
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

// `key` and its number, after a comma unless it opens an object or a list.
template <class Integer> void AppendField(LibraryString& out, const char* key, Integer value) {
    out += out.back() == '{' || out.back() == '[' ? "\"" : ",\"";
    out += key;
    out += "\":";
    AppendNumber(out, value);
}

void AppendStatistic(LibraryString& out, const char* key, const StatAlloc& s) {
    out += '"';
    out += key;
    out += "\":{\"bytes\":";
    AppendTriple(out, s.Memory);
    out += ",\"items\":";
    AppendTriple(out, s.Counter);
    out += '}';
}

void AppendMetrics(LibraryString& out, const Metrics& m) {
    const std::pair<const char*, std::int64_t> words[] = {
        {"time_total", m.TimeTotal},     {"self_peak", m.SelfPeak},
        {"memory_peak", m.MemoryPeak},   {"memory_current", m.MemoryCurrent},
        {"memory_cumul", m.MemoryCumul}, {"count_current", m.CountCurrent},
        {"count_cumul", m.CountCumul}};
    out += "\"metrics\":{";
    for (const auto& [name, value] : words) {
        AppendField(out, name, value);
    }
    out += '}';
}

void AppendEstimate(LibraryString& out, const char* key, double bytes, double blocks) {
    // Estimates are sums of whole numbers' inverses; what is left of a freed
    // block's weight is rounding, never a negative figure.
    const auto whole = [](double v) {
        return v < 0.5 ? std::uint64_t{0} : std::uint64_t(std::llround(v));
    };
    out += ",\"";
    out += key;
    out += "\":{\"bytes\":";
    AppendNumber(out, whole(bytes));
    out += ",\"blocks\":";
    AppendNumber(out, whole(blocks));
    out += '}';
}

// ,"sites":[...] of `owner` (an engine's address, a retired group), one
// entry a stack (an owner has one site a stack: merged groups join theirs);
// nothing while sampling is off.
void AppendSites(LibraryString& out, const SamplesCopy& samples, std::uint64_t owner) {
    if (samples.Bytes == 0) {
        return;
    }
    out += ",\"sites\":[";
    auto [site, end] = owner != 0 ? samples.SitesOf(owner)
                                  : std::pair<const SiteCopy*, const SiteCopy*>{nullptr, nullptr};
    for (; site != end; ++site) {
        out += out.back() == '[' ? "{" : ",{";
        AppendField(out, "stack", site->Stack);
        AppendEstimate(out, "in_use", site->InUseBytes, site->InUseBlocks);
        AppendEstimate(out, "allocated", site->AllocatedBytes, site->AllocatedBlocks);
        AppendEstimate(out, "at_peak", site->AtPeakBytes, site->AtPeakBlocks);
        out += '}';
    }
    out += ']';
}

void AppendEngine(LibraryString& out, const EngineCopy& e, const SamplesCopy& samples) {
    out += "{\"path\":";
    AppendString(out, e.Path);
    out += ",\"name\":";
    e.Named ? AppendString(out, e.Name) : void(out += "null");
    out += ",\"address\":";
    AppendAddress(out, e.Address);
    out += ",\"parent\":";
    AppendAddress(out, e.Parent);
    out += e.Kind == 0 ? ",\"kind\":\"basic\"" : ",\"kind\":\"paged\"";
    out += e.IsGlobal ? ",\"global\":true" : ",\"global\":false";
    AppendField(out, "born_ms", e.BornMs);
    out += e.Measuring ? ",\"measuring\":true," : ",\"measuring\":false,";
    AppendMetrics(out, e.Figures);
    out += ",\"statistics\":{";
    AppendStatistic(out, "global", e.Global);
    out += ',';
    AppendStatistic(out, "self", e.Self);
    out += ',';
    AppendStatistic(out, "large", e.Large);
    out += ',';
    AppendStatistic(out, "used", e.Used);
    out += ",\"reserved\":";
    AppendTriple(out, e.Reserved);
    out += ',';
    AppendStatistic(out, "pages", e.Page);
    out += ',';
    AppendStatistic(out, "pooled", e.Pooled);
    out += '}';
    AppendSites(out, samples, reinterpret_cast<std::uintptr_t>(e.Address));
    out += '}';
}

void AppendSampling(LibraryString& out, const Snapshot& snapshot) {
    const SamplesCopy& samples = snapshot.Samples;
    if (samples.Bytes == 0) {
        return;
    }
    out += ",\"sampling\":{";
    AppendField(out, "bytes", samples.Bytes);
    AppendEstimate(out, "peak", samples.PeakBytes, samples.PeakBlocks);
    out.pop_back(); // the peak's closing brace: its time follows
    AppendField(out, "ms", MillisecondsSinceLoad(samples.PeakTime));
    out += "}},\"stacks\":[";
    for (std::size_t i = 0; i + 1 < samples.StackStarts.size(); ++i) {
        out += out.back() == '[' ? "[" : ",[";
        for (std::uint32_t f = samples.StackStarts[i]; f < samples.StackStarts[i + 1]; ++f) {
            out += out.back() == '[' ? "" : ",";
            AppendNumber(out, samples.Frames[f]);
        }
        out += ']';
    }
    out += "],\"objects\":[";
    for (const ObjectCopy& o : snapshot.Objects) {
        out += out.back() == '[' ? "{\"path\":" : ",{\"path\":";
        AppendString(out, o.Path);
        out += ",\"build_id\":";
        AppendString(out, o.BuildId);
        AppendField(out, "base", o.Base);
        AppendField(out, "start", o.Start);
        AppendField(out, "end", o.End);
        AppendField(out, "offset", o.Offset);
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
    // and no figure yet, never the other way round.
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
    LibraryString out = "{\"format\":\"dideverazez-snapshot\",\"version\":1";
    AppendField(out, "process", snapshot.Process);
    AppendField(out, "taken_ms", snapshot.TakenMs);
    out += ",\"program\":";
    AppendString(out, snapshot.Program);
    out += snapshot.AtExit ? ",\"at_exit\":true" : ",\"at_exit\":false";
    out += ",\"trees\":[";
    for (const TreeCopy& tree : snapshot.Trees) {
        out += out.back() == '[' ? "{" : ",{";
        AppendField(out, "cached_pages", tree.CachedPages);
        out += ",\"classes\":[";
        for (const ClassCopy& c : tree.Classes) {
            if (c.Pages.Cumul > 0) { // only the classes that ever held a page
                out += out.back() == '[' ? "{" : ",{";
                AppendField(out, "size", c.Size);
                out += ",\"blocks\":";
                AppendTriple(out, c.Blocks);
                out += ",\"pages\":";
                AppendTriple(out, c.Pages);
                out += '}';
            }
        }
        out += "],\"engines\":[";
        for (const EngineCopy& e : tree.Engines) {
            out += out.back() == '[' ? "" : ",";
            AppendEngine(out, e, snapshot.Samples);
        }
        out += "]}";
    }
    out += "],\"retired\":[";
    for (const RetiredHandle& r : snapshot.Retired) {
        out += out.back() == '[' ? "{\"path\":" : ",{\"path\":";
        AppendString(out, r.Path);
        AppendField(out, "handles", r.Handles);
        AppendField(out, "born_ms", r.BornMs);
        AppendField(out, "died_ms", r.DiedMs);
        out += ',';
        AppendMetrics(out, r.Figures);
        AppendSites(out, snapshot.Samples, r.Sites);
        out += '}';
    }
    out += "],\"histogram\":{\"name\":";
    AppendString(out, snapshot.HistogramName);
    AppendField(out, "pages", snapshot.HistogramPages);
    out += ",\"classes\":[";
    for (const HistogramRow& row : snapshot.Histogram) {
        out += out.back() == '[' ? "{" : ",{";
        AppendField(out, "bound", row.Bound);
        out += ",\"label\":";
        AppendString(out, row.Label);
        AppendField(out, "count", row.Count);
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
