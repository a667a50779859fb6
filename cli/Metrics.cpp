#include "Metrics.h"

#include "format/OpenMetrics.h"

#include <vector>

namespace dideverazez::report {
namespace {

// Errors name the file, then the position and the problem, as the reader's do.
[[noreturn]] void Unread(const std::string& file, const std::string& pointer) {
    throw ReadError(file + ": not a snapshot: " + pointer +
                    ": expected three 64-bit values: current, peak, cumulative");
}

} // namespace

void WriteMetrics(std::ostream& out, const Snapshot& snapshot, const std::string& file) {
    // The reader keeps the engines depth first, tree by tree: an engine's
    // parent is the nearest engine before it one level up.
    std::vector<openmetrics::Row> rows;
    rows.reserve(snapshot.engines.size());
    std::vector<std::size_t> lastAtDepth;
    for (const Engine& e : snapshot.engines) {
        if (!e.declaredUnread.empty()) {
            Unread(file, e.declaredUnread);
        }
        const auto depth = static_cast<std::size_t>(e.depth);
        lastAtDepth.resize(depth + 1);
        lastAtDepth[depth] = rows.size();
        const Metrics& m = e.metrics;
        rows.push_back({e.path, e.kind,
                        depth == 0 ? openmetrics::kNoParent : lastAtDepth[depth - 1],
                        m.memoryCurrent, m.memoryPeak, m.memoryCumul, m.countCurrent, m.countCumul,
                        m.selfPeak, e.usedBytes, e.reservedBytes});
    }
    std::string text;
    openmetrics::WriteTo(text, rows.data(), rows.size(),
                         {static_cast<std::uint64_t>(snapshot.process), snapshot.program});
    out << text;
}

} // namespace dideverazez::report
