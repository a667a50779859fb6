// Every operating-system service the module uses, behind one interface.
// The rest of the module calls no operating-system API directly. posix/ and
// windows/ implement it with one file a concern, each named in the heading of
// its declarations below; windows/DllMain.cpp adds the DLL's load
// notifications.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace dideverazez::platform {

// ---------------------------------------------------------------------------
// The process (Process.cpp): who it is, the processor time it spent, its
// environment, its end and its forks, and the system's last error

// The current process, as the process statistics record it
// (GetCurrentProcess on Windows; a null handle elsewhere).
void* CurrentProcess();

// The identifier of the current process.
std::uint32_t CurrentProcessId();

// Writes the name of the program the process runs, as it was started (the
// file name of its first argument; on Windows of its executable, without
// ".exe") into `buffer`, always terminated, cut to `size` - 1 characters; ""
// when the system does not report it. Read on the first call, which should
// come early: the reporter's, as the library loads.
void ProgramName(char* buffer, std::size_t size);

// The value of an environment variable, or null when it is unset. Null for
// every variable in a set-user-ID or set-group-ID program, whose environment
// is its caller's to choose.
const char* TrustedEnvironment(const char* name);

// Processor time spent by the whole process so far, in whole milliseconds.
// Returns false, and leaves both at 0, when the system does not report them.
bool ProcessTimes(void* process, std::uint64_t& userMs, std::uint64_t& kernelMs);

// Whether the process is ending with its other threads already gone, perhaps
// stopped inside the library with a lock held (Windows: the loader's shutdown
// has begun, or the module's detach notification at process exit,
// NoteProcessEnding). Never on POSIX systems, whose other threads run on while
// a process exits.
bool ProcessEnding();
void NoteProcessEnding();

// Offers `write` to a library loaded beside this one that ends the process
// without unloading it (the preload library's _exit), which calls `write`
// first: the symbol dideverazez_preload_set_exit_hook, looked up by name, so
// that this library exports nothing for it. Nothing where no such library is
// loaded, and on Windows.
void OfferExitHook(void (*write)());

// Whether this copy of the module is the one the process's calls reach: false
// in the shared library when the preload library, which holds a copy of its
// own and exports the same public names ahead of it, is loaded too (the
// symbol dideverazez_preload_set_exit_hook names it). Always true on Windows.
bool ThisCopyServes();

// Keeps the module loaded until the process ends (Windows: a thread of the
// module's own must never be waited for under the loader's lock, which a
// FreeLibrary holds while the module is detached); nothing elsewhere.
void KeepModuleLoaded();

// Calls `prepare` in the thread that forks, just before the process is copied,
// then `parent` in that thread and `child` in the new process's only thread
// (pthread_atfork). Nothing on systems without fork.
void OnFork(void (*prepare)(), void (*parent)(), void (*child)());

// The text of the system's last error (errno, GetLastError); valid until the
// next call on this thread.
const char* LastError();

// ---------------------------------------------------------------------------
// Report files (Files.cpp): the default path, what is at a path, whole and
// appended writes, the check before writing, removal

// Writes the path of the report file of the current process into `buffer`
// ("c:\allocator_<pid>.txt" on Windows, "/tmp/allocator_<pid>.txt" elsewhere),
// always terminated, cut to `size` - 1 characters.
void ReportPath(char* buffer, std::size_t size);

// What is at a report path: nothing, a regular file, or anything else (a FIFO,
// a device, a folder, a symbolic link), which the report never writes to.
enum class PathKind { Absent, Regular, Other };
PathKind KindOfPath(const char* path);

// Writes the `size` bytes of `text` to `path` whole: to a new file beside it
// (mode 0644), then renamed over it, so that a reader sees the old contents or
// the new, never half. Returns false, leaving `path` as it was, when the file
// cannot be written or `path` is not a regular file (PathKind::Other).
bool WriteWholeFile(const char* path, const char* text, std::size_t size);

// Appends the `size` bytes of `text` to `path` with one write; the file is
// created with mode 0644 when it is missing. Returns false when it cannot be
// written, or when `path` is anything but a regular file (a symbolic link, a
// FIFO, which is never waited on).
bool AppendToFile(const char* path, const char* text, std::size_t size);

// Whether WriteWholeFile (`append` false) or AppendToFile (true) could write
// `path` now: the folder takes a new file, or the file opens for appending
// (which creates it, empty, when it is missing). On false, LastError returns
// the reason.
bool CanWriteFile(const char* path, bool append);

// Removes the regular file at `path`; nothing when there is none, or when
// something else is there (which the report never writes to either).
void RemoveFile(const char* path);

// ---------------------------------------------------------------------------
// Threads and locks (Threads.cpp): threads of the library's own, and what a
// lock's waiters use

// Takes `mutex` and returns true. While the process is ending (ProcessEnding)
// it is only tried, and false returned when it is held: a lock that a stopped
// thread held is never released, and the caller leaves its work to the end of
// the process instead of waiting forever.
template <class Mutex> bool LockUnlessEnding(Mutex& mutex) {
    if (!ProcessEnding()) {
        mutex.lock();
        return true;
    }
    return mutex.try_lock();
}

// Whether `mutex` looks held at this instant, read without taking its line
// for writing (glibc: its lock word, loaded relaxed); false where the word
// cannot be read, so that a caller falls back to trying the lock. A hint only:
// the answer may be stale as soon as it is given.
bool LooksHeld(std::mutex& mutex) noexcept;

// One step of a spin-wait: the processor's pause hint, where it has one.
inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// A thread of the library's own, started with every signal blocked, so that
// none of the program's signals is delivered to it. Not copyable; joined or
// forgotten before it is destroyed. The new thread reads what to run from this
// object: starting it takes nothing from the heap, which would cost the new
// thread a heap call (in glibc, an arena of its own).
class Thread {
public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Runs `body(argument)` on a new thread. Returns false, with LastError
    // set, when the system cannot start one.
    bool Start(void (*body)(void*), void* argument);
    bool Started() const { return started_; }
    // Waits for the thread to end; nothing when none was started.
    void Join();
    // In a process just forked: the thread is not there, and is let go of.
    void Forget() { started_ = false; }

    // What the new thread runs.
    struct Entry {
        void (*body)(void*) = nullptr;
        void* argument = nullptr;
    };

private:
    bool started_ = false;
    std::uint64_t id_ = 0; // pthread_t or the thread's HANDLE
    Entry entry_;
};

// ---------------------------------------------------------------------------
// The calling thread's stack (Stack.cpp)

// Fills `frames` with the return addresses of the calling thread's stack,
// innermost first, at most `capacity` of them, and returns how many. It takes
// no lock the program could hold and allocates nothing: on POSIX systems the
// compiler's unwinder's stack, on x86-64 from unwind rules it keeps by return
// address; RtlCaptureStackBackTrace's on Windows.
int CaptureStack(void** frames, int capacity) noexcept;

// ---------------------------------------------------------------------------
// Loaded objects (LoadedObjects.cpp)

// An object loaded in the process: what turns its addresses back into
// functions and lines.
struct LoadedObject {
    const char* Path;             // the file ("" for none: the vDSO)
    const unsigned char* BuildId; // its GNU build id, or a module's CodeView GUID and age
    std::size_t BuildIdSize;
    std::uint64_t Base;       // what its addresses are moved by
    std::uint64_t Start, End; // its loaded segments' lowest and one past the highest address
    std::uint64_t Offset;     // the file offset of the segment at Start
};

// Calls `visit(context, object)` for every object loaded now, the program
// first: as read from /proc/self/maps and the objects' files, or on Windows
// every module with its image's headers. The object is valid during the call
// only.
void ForEachLoadedObject(void (*visit)(void* context, const LoadedObject& object), void* context);

#if defined(DIDEVERAZEZ_TEST_SEAMS) && !defined(_WIN32)
namespace testing {
// ForEachLoadedObject reads the maps at `path` from now on (null: the
// process's own again).
void ReadMapsFrom(const char* path) noexcept;
// How many frames' unwind rules CaptureStack has read from .eh_frame so far
// (the rest it found in its table), and how many stacks it left to the
// compiler's unwinder; both 0 where it keeps no rules.
std::uint64_t StackRulesRead() noexcept;
std::uint64_t StacksLeftToTheCompilersUnwinder() noexcept;
} // namespace testing
#endif

// ---------------------------------------------------------------------------
// Requests for a report (ReportRequests.cpp)

// Requests for a report from outside the process: on Linux, a connection to
// the abstract local socket "@dideverazez/<uid>/<pid>" (no file: nothing
// outlives the process, whatever way it ends; a peer of another user is hung
// up on, its credentials read from the connection), and SIGUSR1 when asked
// for; on Windows, the named event "Local\dideverazez-report-<pid>". One
// object at a time; its thread waits, anyone may stop it.
class ReportRequests {
public:
    ReportRequests() = default;
    // Close().
    ~ReportRequests();
    ReportRequests(const ReportRequests&) = delete;
    ReportRequests& operator=(const ReportRequests&) = delete;

    // Starts listening: the socket or the event, and SIGUSR1 too when `signal`
    // (POSIX), unless the program already handles it (its handler is left in
    // place, and that is reported on standard error). A way of asking that
    // cannot be opened is reported on standard error and the others still
    // work. Returns false when not even a stop can reach Wait (no pipe or
    // event): then there is nothing to wait on.
    bool Open(bool signal);
    // Stops listening: the socket is closed and the signal's earlier
    // disposition put back, unless the program installed a handler meanwhile.
    void Close();
    // In a process just forked, before Open: lets go of the parent's socket,
    // pipe and signal without touching what the parent still uses.
    void Abandon();

    // Whether a request can reach this object (socket, signal or event).
    bool Listening() const { return listening_; }
    // Waits up to `timeoutMs` milliseconds (forever when negative) for a
    // request or for Stop; true for a request, false on a time-out or once
    // stopped. A request over the socket is only taken once its peer is known
    // to be this user and has asked ("snapshot\n").
    bool Wait(std::int64_t timeoutMs);
    // Sends the `size` bytes of `text` to every peer whose request the last
    // Wait took, and hangs up on them; nothing for a signal or an event.
    void Answer(const char* text, std::size_t size);
    // Ends every Wait, now and later.
    void Stop();
    bool Stopped() const { return stopped_.load(); }

    // The socket name of process `process` for the calling user,
    // "@dideverazez/<uid>/<pid>" ('@' standing for the NUL byte that starts an
    // abstract name, as ss and /proc/net/unix show it), always terminated, cut
    // to `size` - 1 characters; empty where there is none.
    static void SocketPath(char* buffer, std::size_t size, std::uint32_t process);

private:
    bool listening_ = false;
    std::atomic<bool> stopped_{false};
    void* state_ = nullptr; // the system's objects (pipe, socket, events)
};

} // namespace dideverazez::platform
