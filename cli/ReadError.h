// The error of reading a snapshot file, whatever part of the reader finds it.
#pragma once

#include <stdexcept>

namespace dideverazez::report {

// What is wrong with a file, as a whole message: "FILE:LINE:COLUMN: what" for
// malformed JSON, "FILE:LINE: not a snapshot: /json/pointer: what" for a
// document of another shape (LINE is where that document starts),
// "FILE:LINE:COLUMN: not a snapshot: nested deeper than 64 levels" at the
// bracket that opens level 65 (kMaxNesting), "FILE:LINE:COLUMN: not a
// snapshot: a string longer than 1 MiB" (or "a number") at its first byte
// past kMaxString, and "FILE: more than 4 GiB from a pipe: ..." past kMaxCopy.
class ReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace dideverazez::report
