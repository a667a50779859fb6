// dideverazez-report metrics: the live handles of a snapshot as the OpenMetrics
// text the library writes with DIDEVERAZEZ_METRICS (docs/metrics.md), by the
// same writer (Tools/format/OpenMetrics.h).
#pragma once

#include "ReadError.h"
#include "Snapshot.h"

#include <ostream>
#include <string>

namespace dideverazez::report {

// Writes the text of `snapshot`, read from `file` (named in messages). Throws
// ReadError when an engine lacks its declared or reserved bytes
// (statistics/used/bytes, statistics/reserved), std::overflow_error when a
// sum has no 64-bit value; nothing is written then.
void WriteMetrics(std::ostream& out, const Snapshot& snapshot, const std::string& file);

} // namespace dideverazez::report
