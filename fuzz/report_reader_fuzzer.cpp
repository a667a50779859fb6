// libFuzzer harness for dideverazez-report's reader: the input bytes are a
// snapshot file. ParseSnapshots either returns snapshots or throws ReadError;
// what it returns then goes through summary, diff (the first snapshot against
// the last) and html, which may throw std::overflow_error only, for figures
// too far apart to subtract or add up. Anything else escaping is a finding.

#include "Report.h"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>

using namespace dideverazez::report;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<Snapshot> snapshots;
    try {
        snapshots = ParseSnapshots({reinterpret_cast<const char*>(data), size}, "input");
    } catch (const ReadError&) {
        return 0;
    }
    std::ostringstream out;
    try {
        WriteSummary(out, snapshots.back());
        WriteDiff(out, snapshots.front(), snapshots.back());
    } catch (const std::overflow_error&) {
    }
    WriteHtml(out, {{"input", std::move(snapshots)}});
    return 0;
}
