// Every operating-system service the module uses, behind one interface.
// The rest of the module calls no operating-system API directly; there is a
// POSIX implementation (posix/) and a Windows one (windows/).
#pragma once

#include <cstddef>
#include <cstdint>

namespace dideverazez::platform {

// The current process, as the process figures record it (GetCurrentProcess on
// Windows; a null handle elsewhere).
void* CurrentProcess();

// The identifier of the current process.
std::uint32_t CurrentProcessId();

// Processor time spent by the whole process so far, in whole milliseconds.
// Returns false, and leaves both at 0, when the system cannot tell.
bool ProcessTimes(void* process, std::uint64_t& userMs, std::uint64_t& kernelMs);

// Writes the path of the report file of the current process into `buffer`
// ("c:\allocator_<pid>.txt" on Windows, "/tmp/allocator_<pid>.txt" elsewhere),
// always terminated, cut to `size` - 1 characters.
void ReportPath(char* buffer, std::size_t size);

} // namespace dideverazez::platform
