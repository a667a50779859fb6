#include "Figures.h"
#include "Report.h"

#include <algorithm>
#include <deque>
#include <map>

namespace dideverazez::report {
namespace {

struct Change {
    std::int64_t current = 0;
    std::int64_t cumulative = 0;
    std::int64_t blocks = 0;
    std::string handle; // its path, and what became of it
    bool root = false;
    bool shown = false; // new, gone, or with a counter that changed
};

std::uint64_t Magnitude(std::int64_t value) {
    return value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

// Each engine's path, with " [k of n]" when n engines of the snapshot share its
// depth and path.
std::vector<std::string> Labels(const Snapshot& snapshot) {
    std::map<std::pair<int, std::string>, std::pair<int, int>> shared; // seen, count
    for (const Engine& engine : snapshot.engines) {
        ++shared[{engine.depth, engine.path}].second;
    }
    std::vector<std::string> labels;
    for (const Engine& engine : snapshot.engines) {
        auto& [seen, count] = shared[{engine.depth, engine.path}];
        labels.push_back(
            Escaped(engine.path) +
            (count == 1 ? ""
                        : " [" + std::to_string(++seen) + " of " + std::to_string(count) + "]"));
    }
    return labels;
}

// What a gone engine left: no current values, and the cumulative bytes it
// died with when `after` lists it alone as retired (same path and birth).
Metrics Gone(const Engine& engine, const Snapshot& after) {
    Metrics left;
    left.memoryCumul = engine.metrics.memoryCumul;
    for (const Retired& retired : after.retired) {
        if (retired.handles == 1 && retired.path == engine.path &&
            retired.bornMs == engine.bornMs) {
            left.memoryCumul = std::max(left.memoryCumul, retired.metrics.memoryCumul);
        }
    }
    return left;
}

} // namespace

void WriteDiff(std::ostream& out, const Snapshot& before, const Snapshot& after) {
    std::vector<Change> changes;
    // Blocks in use as summary counts them: a paged root's are its tree's.
    const std::vector<Blocks> blocksBefore = BlocksOf(before);
    const std::vector<Blocks> blocksAfter = BlocksOf(after);
    const auto change = [&](const Engine& engine, const std::string& label, const Metrics& from,
                            std::int64_t fromBlocks, const Metrics& to, std::int64_t toBlocks,
                            const char* mark) {
        Change c{Difference(from.memoryCurrent, to.memoryCurrent),
                 Difference(from.memoryCumul, to.memoryCumul),
                 Difference(fromBlocks, toBlocks),
                 label + mark,
                 engine.depth == 0,
                 *mark != '\0'};
        c.shown = c.shown || c.current != 0 || c.cumulative != 0 || c.blocks != 0;
        changes.push_back(c);
    };

    // Engines are matched by path (and depth, so that roots pair with roots even
    // when a name holds a '/'); engines sharing both pair off in order.
    using Key = std::pair<int, std::string>;
    std::map<Key, std::deque<const Engine*>> unmatched;
    for (const Engine& engine : before.engines) {
        unmatched[Key(engine.depth, engine.path)].push_back(&engine);
    }
    const std::vector<std::string> labelsAfter = Labels(after);
    for (std::size_t i = 0; i < after.engines.size(); ++i) {
        const Engine& engine = after.engines[i];
        auto& same = unmatched[Key(engine.depth, engine.path)];
        if (same.empty()) {
            change(engine, labelsAfter[i], Metrics{}, 0, engine.metrics, blocksAfter[i].current,
                   " (new)");
        } else {
            const auto from = static_cast<std::size_t>(same.front() - before.engines.data());
            change(engine, labelsAfter[i], same.front()->metrics, blocksBefore[from].current,
                   engine.metrics, blocksAfter[i].current, "");
            same.pop_front();
        }
    }
    const std::vector<std::string> labelsBefore = Labels(before);
    for (std::size_t i = 0; i < before.engines.size(); ++i) {
        const Engine& engine = before.engines[i];
        auto& same = unmatched[Key(engine.depth, engine.path)];
        if (!same.empty() && same.front() == &engine) {
            change(engine, labelsBefore[i], engine.metrics, blocksBefore[i].current,
                   Gone(engine, after), 0, " (gone)");
            same.pop_front();
        }
    }

    // The roots' changes add up to the change of the total of the roots.
    Change total{0, 0, 0, "total of the roots", false, true};
    std::vector<std::vector<std::string>> rows;
    std::stable_sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) {
        return Magnitude(a.current) > Magnitude(b.current);
    });
    for (const Change& c : changes) {
        if (c.root) {
            total.current = Sum(total.current, c.current);
            total.cumulative = Sum(total.cumulative, c.cumulative);
            total.blocks = Sum(total.blocks, c.blocks);
        }
        if (c.shown) {
            rows.push_back({Signed(c.current), Signed(c.cumulative), Signed(c.blocks), c.handle});
        }
    }
    out << "From " << Grouped(before.takenMs) << " ms (process " << before.process << ") to "
        << Grouped(after.takenMs) << " ms (process " << after.process << "): " << rows.size()
        << (rows.size() == 1 ? " handle" : " handles") << " changed.\n\n";
    rows.push_back({});
    rows.push_back(
        {Signed(total.current), Signed(total.cumulative), Signed(total.blocks), total.handle});
    WriteTable(out, {{"current bytes"}, {"cumulative bytes"}, {"blocks"}, {"handle", true}}, rows);
}

} // namespace dideverazez::report
