// Naming one snapshot of a file on the command line: FILE@N.
#pragma once

#include "ReadError.h"
#include "Snapshot.h"

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

namespace dideverazez::report {

// A snapshot named on the command line: FILE, or FILE@N for the N-th snapshot
// of a series (from 1), FILE@-N for the N-th from the last; FILE alone is
// FILE@-1. An argument that names a file as it is, '@' or not, is that file;
// otherwise a suffix of '@', an optional '-' and digits is the number. "-" is
// standard input and "-@N" its N-th snapshot, whatever files there are.
struct Moment {
    std::string file;
    std::int64_t number = -1; // from 1, or from -1 for the last; never 0
    bool given = false;       // whether the argument had @N
    std::string argument;     // as given, for messages
};

// The Moment of `argument`; std::invalid_argument with the whole message for
// @0 or an @ followed by something else than a number, after a file there is
// or after "-".
Moment ParseMoment(const std::string& argument);

// The index from 0 of the snapshot `moment` names among `count`; ReadError
// when there is no such snapshot.
std::size_t MomentIndex(const Moment& moment, std::size_t count);

// The snapshot `moment` names, the whole file checked; ReadError when it has
// no such snapshot. A warning of the reader is written to `warnings`. The
// file is read once, except for @-N with N above 1, whose snapshot is read
// again once the file has been read through.
Snapshot ReadMoment(const Moment& moment, std::ostream& warnings);

} // namespace dideverazez::report
