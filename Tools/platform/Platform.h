// Every operating-system service the module uses, behind one interface.
// The rest of the module calls no operating-system API directly; there is a
// POSIX implementation (posix/) and a Windows one (windows/).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

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

// The value of an environment variable, or null when it is unset. Null for
// every variable in a set-user-ID or set-group-ID program, whose environment
// is its caller's to choose.
const char* TrustedEnvironment(const char* name);

// Writes `text` to `path` whole: to a new file beside it (mode 0644), then
// renamed over it, so that a reader sees the old contents or the new, never
// half; a symbolic link at `path` is replaced, never followed. Returns false,
// leaving `path` as it was, when the file cannot be written.
bool WriteWholeFile(const char* path, const std::string& text);

// Appends `text` to `path` with one write; the file is created with mode 0644
// when it is missing, and never opened through a symbolic link. Returns false
// when it cannot be.
bool AppendToFile(const char* path, const std::string& text);

// The text of the system's last error (errno, GetLastError).
std::string LastError();

// Requests for a report from outside the process: SIGUSR1 on POSIX systems, the
// named event "Local\dideverazez-report-<pid>" on Windows. One object at a
// time; its thread waits, anyone may stop it.
class ReportRequests {
public:
    // Listens, unless the program already handles SIGUSR1 (its handler is left
    // in place) or the event cannot be created.
    ReportRequests();
    // Stops listening; a handler of the program installed meanwhile stays.
    ~ReportRequests();
    ReportRequests(const ReportRequests&) = delete;
    ReportRequests& operator=(const ReportRequests&) = delete;

    bool Listening() const { return listening_; }
    // Waits up to `timeoutMs` milliseconds (forever when negative) for a
    // request or for Stop; true for a request, false on a timeout or once
    // stopped.
    bool Wait(std::int64_t timeoutMs);
    // Ends every Wait, now and later.
    void Stop();
    bool Stopped() const { return stopped_.load(); }

private:
    bool listening_ = false;
    std::atomic<bool> stopped_{false};
    void* state_ = nullptr; // the system's objects (pipe or events)
};

} // namespace dideverazez::platform
