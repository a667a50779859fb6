#include "Figures.h"
#include "Report.h"
#include "Symbols.h"

#include <algorithm>

namespace dideverazez::report {
namespace {

std::string Amount(std::int64_t bytes, std::int64_t blocks) {
    return Grouped(bytes) + (bytes == 1 ? " byte in " : " bytes in ") + Grouped(blocks) +
           (blocks == 1 ? " block" : " blocks");
}

} // namespace

void WriteLeaks(std::ostream& out, const Snapshot& snapshot) {
    std::vector<const Retired*> leaks;
    for (const Retired& retired : snapshot.retired) {
        if (retired.metrics.memoryCurrent != 0 || retired.metrics.countCurrent != 0) {
            leaks.push_back(&retired);
        }
    }
    if (leaks.empty()) {
        out << "No retired handle left memory behind.\n";
        return;
    }
    if (snapshot.samplingBytes == 0) {
        out << "Sampling was off: no call site was recorded (DIDEVERAZEZ_SAMPLE_BYTES=<n> "
               "records them).\n";
    } else if (snapshot.samplingBytes == 1) {
        out << "Every allocation was sampled: the figures of the call sites are exact.\n";
    } else {
        out << "One allocation in about " << Grouped(snapshot.samplingBytes)
            << " bytes requested was sampled: the figures of the call sites are estimates.\n";
    }
    const Symbols symbols(snapshot.objects);
    for (const Retired* retired : leaks) {
        const Metrics& m = retired->metrics;
        out << '\n'
            << Escaped(retired->path) << " left " << Amount(m.memoryCurrent, m.countCurrent);
        if (retired->handles != 1) {
            out << " (" << Grouped(retired->handles) << " handles)";
        }
        std::vector<Site> sites;
        std::copy_if(
            retired->sites.begin(), retired->sites.end(), std::back_inserter(sites),
            [](const Site& site) { return site.inUseBytes != 0 || site.inUseBlocks != 0; });
        if (sites.empty()) {
            out << ": no allocation of it was sampled (DIDEVERAZEZ_SAMPLE_BYTES=1 samples every "
                   "one).\n";
            continue;
        }
        out << ", sampled from:\n";
        std::stable_sort(sites.begin(), sites.end(),
                         [](const Site& a, const Site& b) { return a.inUseBytes > b.inUseBytes; });
        for (const Site& site : sites) {
            out << "  " << Amount(site.inUseBytes, site.inUseBlocks) << '\n';
            const std::vector<Frame> frames = symbols.Stack(snapshot.stacks[site.stack]);
            if (frames.empty()) {
                out << "      (no frame outside dideverazez)\n";
            }
            for (const Frame& frame : frames) {
                out << "      " << Describe(frame, snapshot.objects) << '\n';
            }
        }
    }
}

} // namespace dideverazez::report
