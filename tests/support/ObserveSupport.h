// Helpers of the observe tests: handles recorded from the program's start,
// the process's processor time, and a snapshot cut to the handles of one test.
#pragma once

#include "observe/Registry.h"
#include "observe/Snapshot.h"
#include "platform/Platform.h"

#include <cstdint>
#include <vector>

namespace dideverazez::test {

// Snapshots read recorded handles: a program that includes this records them
// from its start (observe_tests does, in every file that takes snapshots).
struct RecordedFromTheStart {
    RecordedFromTheStart() { dideverazez::observe::RecordHandles(); }
};
inline const RecordedFromTheStart gRecordedFromTheStart;

// User and kernel time of the process, in milliseconds.
inline std::int64_t ProcessTime(bool kernelOnly = false) {
    std::uint64_t user = 0, kernel = 0;
    dideverazez::platform::ProcessTimes(dideverazez::platform::CurrentProcess(), user, kernel);
    return static_cast<std::int64_t>((kernelOnly ? 0 : user) + kernel);
}

// The snapshot's trees whose root is `root`, and its retired handles whose
// paths start with `root`.
inline dideverazez::observe::Snapshot Only(dideverazez::observe::Snapshot snapshot,
                                           const char* root) {
    using namespace dideverazez::observe;
    std::erase_if(snapshot.Trees, [&](const TreeCopy& t) { return t.Engines[0].Path != root; });
    std::erase_if(snapshot.Retired, [&](const RetiredHandle& r) { return r.Path.rfind(root, 0); });
    return snapshot;
}

} // namespace dideverazez::test
