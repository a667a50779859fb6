#include "Figures.h"
#include "Report.h"

namespace dideverazez::report {
namespace {

std::string Count(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

void WriteSummary(std::ostream& out, const Snapshot& snapshot) {
    std::vector<std::vector<std::string>> rows;
    std::size_t trees = 0;
    const std::vector<Blocks> blocks = BlocksOf(snapshot);
    for (std::size_t i = 0; i < snapshot.engines.size(); ++i) {
        const Engine& engine = snapshot.engines[i];
        trees += engine.depth == 0 ? 1 : 0;
        const Metrics& m = engine.metrics;
        const Blocks& b = blocks[i];
        // Escaped before the table measures it: the width is the one shown.
        rows.push_back(
            {std::string(static_cast<std::size_t>(engine.depth) * 2, ' ') + Escaped(engine.name),
             Grouped(m.selfPeak), Grouped(m.memoryCurrent), Grouped(m.memoryPeak),
             Grouped(m.memoryCumul), Grouped(b.current), Grouped(b.cumulative),
             b.pagedRoot ? Grouped(b.pages) : ""});
    }
    out << "Process " << snapshot.process << " at " << Grouped(snapshot.takenMs)
        << " ms: " << Count(trees, "tree", "trees") << ", "
        << Count(snapshot.engines.size(), "live handle", "live handles") << ", "
        << Count(snapshot.retired.size(), "retired entry", "retired entries") << ".\n\n";
    WriteTable(out,
               {{"handle", true},
                {"self peak"},
                {"current bytes"},
                {"peak bytes"},
                {"cumulative bytes"},
                {"blocks"},
                {"ever"},
                {"pages"}},
               rows);
    out << "(self peak: the handle alone. Bytes: the handle and its children, except a paged "
           "root's:\n"
           " what its tree holds from the C heap, its pages and its large blocks, with the "
           "amounts\n"
           " declared by hand. blocks, ever: the blocks of the handle and its children, in use now "
           "and\n"
           " ever allocated. pages: the pages a paged root's tree holds, cached ones included.)\n";

    if (snapshot.peak.known) {
        const SampledPeak& peak = snapshot.peak;
        out << "\nSampled peak: " << Grouped(peak.bytes) << " bytes in " << Grouped(peak.blocks)
            << (peak.blocks == 1 ? " block" : " blocks") << " at " << Grouped(peak.ms)
            << " ms (leaks lists its call sites).\n";
    }

    if (snapshot.retired.empty()) {
        return;
    }
    rows.clear();
    for (const Retired& retired : snapshot.retired) {
        const Metrics& m = retired.metrics;
        rows.push_back({Escaped(retired.path), Grouped(retired.handles), Grouped(m.memoryPeak),
                        Grouped(m.memoryCumul), Grouped(m.memoryCurrent),
                        Grouped(Difference(retired.bornMs, retired.diedMs))});
    }
    out << "\nRetired handles:\n\n";
    WriteTable(out,
               {{"path", true},
                {"handles"},
                {"peak bytes"},
                {"cumulative bytes"},
                {"left bytes"},
                {"lived ms"}},
               rows);
    out << "(left bytes: what the handle still held when it was destroyed; merged entries add up\n"
           " several handles of one path.)\n";
}

} // namespace dideverazez::report
