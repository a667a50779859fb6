// Taking a snapshot, and its JSON.

#include "observe/Snapshot.h"

#include "platform/Platform.h"
#include "statistics/AllocSizes.h"

#include <cinttypes>
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

// One tree: its engines' names first, then, under the tree's lock and without
// allocating (a program that routes the C heap through handles would come
// back to this very lock), every figure.
TreeCopy CopyTree(const allocator_impl& root, const std::vector<LiveEngine>& live) {
    TreeCopy tree;
    std::vector<const allocator_impl*> engines;
    for (const LiveEngine& e : live) {
        if (e.Engine->Root == &root) {
            engines.push_back(e.Engine);
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
    }
    std::uint64_t user = 0, kernel = 0;
    platform::ProcessTimes(platform::CurrentProcess(), user, kernel);
    std::lock_guard<std::mutex> lock(const_cast<allocator_impl&>(root).Mutex);
    for (std::size_t i = 0; i < engines.size(); ++i) {
        CopyFigures(tree.Engines[i], *engines[i], user + kernel);
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
void AppendString(std::string& out, const std::string& text) {
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
            // The lengths and second-byte ranges of well-formed sequences.
            const std::size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                                       : c >= 0xE0 && c <= 0xEF ? 3
                                       : c >= 0xF0 && c <= 0xF4 ? 4
                                                                : 0;
            const unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
            const unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
            bool valid = length != 0 && i + length <= text.size();
            for (std::size_t k = 1; valid && k < length; ++k) {
                const auto next = static_cast<unsigned char>(text[i + k]);
                valid = next >= (k == 1 ? low : 0x80) && next <= (k == 1 ? high : 0xBF);
            }
            out += valid ? text.substr(i, length) : "\xEF\xBF\xBD";
            i += valid ? length : 1;
            continue;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
}

void AppendAddress(std::string& out, const void* address) {
    char text[32];
    std::snprintf(text, sizeof text, "\"0x%" PRIxPTR "\"",
                  reinterpret_cast<std::uintptr_t>(address));
    out += address != nullptr ? text : "null";
}

void AppendTriple(std::string& out, const StatValue& v) {
    out += '[' + std::to_string(v.Current) + ',' + std::to_string(v.Peak) + ',' +
           std::to_string(v.Cumul) + ']';
}

void AppendStatistic(std::string& out, const char* key, const StatAlloc& s) {
    out += std::string("\"") + key + "\":{\"bytes\":";
    AppendTriple(out, s.Memory);
    out += ",\"items\":";
    AppendTriple(out, s.Counter);
    out += '}';
}

void AppendMetrics(std::string& out, const Metrics& m) {
    const std::pair<const char*, std::int64_t> words[] = {
        {"time_total", m.TimeTotal},     {"self_peak", m.SelfPeak},
        {"memory_peak", m.MemoryPeak},   {"memory_current", m.MemoryCurrent},
        {"memory_cumul", m.MemoryCumul}, {"count_current", m.CountCurrent},
        {"count_cumul", m.CountCumul}};
    out += "\"metrics\":{";
    for (const auto& [name, value] : words) {
        out += std::string(out.back() == '{' ? "\"" : ",\"") + name + "\":" + std::to_string(value);
    }
    out += '}';
}

void AppendEngine(std::string& out, const EngineCopy& e) {
    out += "{\"path\":";
    AppendString(out, e.Path);
    out += ",\"name\":";
    e.Named ? AppendString(out, e.Name) : void(out += "null");
    out += ",\"address\":";
    AppendAddress(out, e.Address);
    out += ",\"parent\":";
    AppendAddress(out, e.Parent);
    out += std::string(",\"kind\":") + (e.Kind == 0 ? "\"basic\"" : "\"paged\"") +
           ",\"global\":" + (e.IsGlobal ? "true" : "false") +
           ",\"born_ms\":" + std::to_string(e.BornMs) +
           ",\"measuring\":" + (e.Measuring ? "true" : "false") + ',';
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
    out += "}}";
}

} // namespace

Snapshot TakeSnapshot(const AllocSizes& histogram) {
    Snapshot snapshot;
    snapshot.Process = platform::CurrentProcessId();
    Visit([&](const std::vector<LiveEngine>& live, const std::vector<RetiredHandle>& retired) {
        snapshot.TakenMs = MillisecondsSinceLoad();
        for (const LiveEngine& e : live) {
            if (e.Engine->Parent == nullptr) {
                snapshot.Trees.push_back(CopyTree(*e.Engine, live));
            }
        }
        snapshot.Retired = retired;
    });
    // Nothing in the library records into the module's histogram; a caller
    // that records into one serialises that itself.
    snapshot.HistogramName = histogram.name;
    snapshot.HistogramPages = histogram.pages;
    for (const AllocSizeClass& row : histogram.classes) {
        snapshot.Histogram.push_back({row.bound, row.label != nullptr ? row.label : "", row.count});
    }
    return snapshot;
}

std::string ToJson(const Snapshot& snapshot) {
    std::string out = "{\"format\":\"dideverazez-snapshot\",\"version\":1,\"process\":" +
                      std::to_string(snapshot.Process) +
                      ",\"taken_ms\":" + std::to_string(snapshot.TakenMs) + ",\"trees\":[";
    for (const TreeCopy& tree : snapshot.Trees) {
        out += std::string(out.back() == '[' ? "" : ",") +
               "{\"cached_pages\":" + std::to_string(tree.CachedPages) + ",\"classes\":[";
        for (const ClassCopy& c : tree.Classes) {
            if (c.Pages.Cumul > 0) { // only the classes that ever held a page
                out += std::string(out.back() == '[' ? "" : ",") +
                       "{\"size\":" + std::to_string(c.Size) + ",\"blocks\":";
                AppendTriple(out, c.Blocks);
                out += ",\"pages\":";
                AppendTriple(out, c.Pages);
                out += '}';
            }
        }
        out += "],\"engines\":[";
        for (const EngineCopy& e : tree.Engines) {
            out += out.back() == '[' ? "" : ",";
            AppendEngine(out, e);
        }
        out += "]}";
    }
    out += "],\"retired\":[";
    for (const RetiredHandle& r : snapshot.Retired) {
        out += std::string(out.back() == '[' ? "{" : ",{") + "\"path\":";
        AppendString(out, r.Path);
        out += ",\"handles\":" + std::to_string(r.Handles) +
               ",\"born_ms\":" + std::to_string(r.BornMs) +
               ",\"died_ms\":" + std::to_string(r.DiedMs) + ',';
        AppendMetrics(out, r.Figures);
        out += '}';
    }
    out += "],\"histogram\":{\"name\":";
    AppendString(out, snapshot.HistogramName);
    out += ",\"pages\":" + std::to_string(snapshot.HistogramPages) + ",\"classes\":[";
    for (const HistogramRow& row : snapshot.Histogram) {
        out += std::string(out.back() == '[' ? "" : ",") +
               "{\"bound\":" + std::to_string(row.Bound) + ",\"label\":";
        AppendString(out, row.Label);
        out += ",\"count\":" + std::to_string(row.Count) + '}';
    }
    return out + "]}}";
}

} // namespace dideverazez::observe
