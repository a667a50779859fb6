// The subcommands of dideverazez-report, each writing its text to `out`.
// Figures too large to subtract or add up raise std::overflow_error.
#pragma once

#include "Snapshot.h"

#include <ostream>
#include <string>
#include <vector>

namespace dideverazez::report {

// The tree table of the live engines, each before its children, indented by
// depth; then the retired handles.
void WriteSummary(std::ostream& out, const Snapshot& snapshot);

// The handles whose figures changed from `before` to `after`, largest change
// of current bytes first, and the change of the total of the roots.
void WriteDiff(std::ostream& out, const Snapshot& before, const Snapshot& after);

// The snapshots of one file given to `html`.
struct SnapshotFile {
    std::string name;
    std::vector<Snapshot> snapshots;
};

// The viewer's page, whole, with every snapshot of `files` embedded in order.
void WriteHtml(std::ostream& out, const std::vector<SnapshotFile>& files);

} // namespace dideverazez::report
