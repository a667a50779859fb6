// libFuzzer harness for dideverazez-report's reader: the input bytes are a
// snapshot file. ParseSnapshots either returns snapshots or throws ReadError;
// what it returns then goes through summary, diff (the first snapshot against
// the last) and html (the whole file, and its first snapshot), which may throw std::overflow_error
// only, for values too far apart to subtract or add up. Anything else escaping is a finding.

#include "Report.h"

#include <cstddef>
#include <cstdint>
#include <memory>
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
    // The page reads the text again: once as a whole file, once a snapshot.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    HtmlPage page;
    page.Add(std::make_unique<SnapshotReader>(text, "input"), ParseMoment("input"), out);
    page.Add(std::make_unique<SnapshotReader>(text, "input"), ParseMoment("input@1"), out);
    page.Write(out);
    return 0;
}
