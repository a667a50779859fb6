// dideverazez-report top: the live handles of a running program, refreshed
// from its socket as top refreshes processes (docs/snapshot.md). Each refresh
// is one snapshot asked for with take's request; the table compares it with
// the one before.

#include "Figures.h"
#include "Report.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iostream>
#include <map>
#include <stdexcept>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>

#include <cstdio>
#else
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace dideverazez::report {
namespace {

// A handle distinguished as diff and the viewer distinguish them: its path, and its
// rank among the live handles of that path, in tree order.
std::vector<std::string> Keys(const Snapshot& snapshot) {
    std::map<std::string, std::size_t> seen;
    std::vector<std::string> keys;
    for (const Engine& engine : snapshot.engines) {
        keys.push_back(engine.path + '\0' + std::to_string(seen[engine.path]++));
    }
    return keys;
}

std::string Plural(std::size_t n, const char* one, const char* many) {
    return Grouped(static_cast<std::int64_t>(n)) + " " + (n == 1 ? one : many);
}

} // namespace

void WriteTopTable(std::ostream& out, const Snapshot& now, const Snapshot* before,
                   std::size_t maxRows) {
    std::map<std::string, std::int64_t> earlier; // current bytes by key
    if (before != nullptr) {
        const std::vector<std::string> keys = Keys(*before);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            earlier[keys[i]] = before->engines[i].metrics.memoryCurrent;
        }
    }
    const std::vector<std::string> keys = Keys(now);
    const std::vector<Blocks> blocks = BlocksOf(now);
    std::vector<std::size_t> order(now.engines.size());
    std::int64_t total = 0, totalBefore = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
        if (now.engines[i].depth == 0) {
            total = Sum(total, now.engines[i].metrics.memoryCurrent);
        }
    }
    if (before != nullptr) {
        for (const Engine& engine : before->engines) {
            if (engine.depth == 0) {
                totalBefore = Sum(totalBefore, engine.metrics.memoryCurrent);
            }
        }
    }
    // The most current bytes first, as top puts the busiest process first;
    // ties in tree order.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return now.engines[a].metrics.memoryCurrent > now.engines[b].metrics.memoryCurrent;
    });
    out << "Process " << now.process;
    if (!now.program.empty()) {
        out << " (" << Escaped(now.program) << ")";
    }
    out << " at " << Grouped(now.takenMs)
        << " ms: " << Plural(now.engines.size(), "live handle", "live handles")
        << ", the roots hold " << Grouped(total) << " bytes";
    if (before != nullptr) {
        out << " (" << Signed(Difference(totalBefore, total)) << " in "
            << Grouped(Difference(before->takenMs, now.takenMs)) << " ms)";
    }
    out << ".\n\n";
    std::vector<std::vector<std::string>> rows;
    for (std::size_t k = 0; k < order.size() && k < maxRows; ++k) {
        const std::size_t i = order[k];
        const Engine& engine = now.engines[i];
        const auto found = earlier.find(keys[i]);
        const std::string growth =
            before == nullptr ? ""
            : found == earlier.end()
                ? "new"
                : Signed(Difference(found->second, engine.metrics.memoryCurrent));
        rows.push_back({Grouped(engine.metrics.memoryCurrent), growth,
                        Grouped(engine.metrics.memoryPeak), Grouped(blocks[i].current),
                        Escaped(engine.path)});
    }
    WriteTable(out, {{"current bytes"}, {"growth"}, {"peak bytes"}, {"blocks"}, {"handle", true}},
               rows);
    if (order.size() > maxRows) {
        out << "(" << Plural(order.size() - maxRows, "handle", "handles")
            << " more, holding less)\n";
    }
}

namespace {

volatile std::sig_atomic_t gQuit = 0;

extern "C" void OnQuit(int) {
    gQuit = 1;
}

#if defined(_WIN32)
// The console taken out of line mode while top shows it, so that 'q' quits
// without Enter, and set to read the escape that clears it; both restored on
// every way out.
class Terminal {
public:
    Terminal() : in_(::GetStdHandle(STD_INPUT_HANDLE)), out_(::GetStdHandle(STD_OUTPUT_HANDLE)) {
        if (::GetConsoleMode(in_, &savedIn_)) {
            inActive_ = ::SetConsoleMode(
                in_, savedIn_ & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
        }
        if (::GetConsoleMode(out_, &savedOut_)) {
            outActive_ = ::SetConsoleMode(out_, savedOut_ | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        }
    }
    ~Terminal() {
        if (inActive_) {
            ::SetConsoleMode(in_, savedIn_);
        }
        if (outActive_) {
            ::SetConsoleMode(out_, savedOut_);
        }
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Waits up to `ms` milliseconds for a key; true when it was 'q'. In
    // short steps, so that Ctrl+C is seen soon.
    bool KeyQuits(std::int64_t ms) const {
        const auto step = static_cast<DWORD>(ms < 100 ? ms : 100);
        if (!inActive_) {
            ::Sleep(step);
            return false;
        }
        if (::WaitForSingleObject(in_, step) != WAIT_OBJECT_0) {
            return false;
        }
        INPUT_RECORD record;
        DWORD read = 0;
        return ::ReadConsoleInputW(in_, &record, 1, &read) && read == 1 &&
               record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
               (record.Event.KeyEvent.uChar.UnicodeChar == L'q' ||
                record.Event.KeyEvent.uChar.UnicodeChar == L'Q');
    }

private:
    HANDLE in_, out_;
    DWORD savedIn_ = 0, savedOut_ = 0;
    bool inActive_ = false, outActive_ = false;
};

bool IsScreen() {
    return ::_isatty(::_fileno(stdout)) != 0;
}

// Rows that fit the console window under the header, or all of them.
std::size_t RowsThatFit(bool screen) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!screen || !::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        return static_cast<std::size_t>(-1);
    }
    const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    return rows < 8 ? static_cast<std::size_t>(-1) : static_cast<std::size_t>(rows - 6);
}

bool StillRuns(long pid) {
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    }
    const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return running;
}
#else
// The terminal taken out of line mode while top shows it, so that 'q' quits
// without Enter, and restored on every way out.
class Terminal {
public:
    Terminal() {
        if (::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved_) == 0) {
            termios raw = saved_;
            raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
        }
    }
    ~Terminal() {
        if (active_) {
            ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
        }
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Waits up to `ms` milliseconds for a key; true when it was 'q'.
    bool KeyQuits(std::int64_t ms) const {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        char key = 0;
        return ::poll(&in, active_ ? 1 : 0, static_cast<int>(ms)) > 0 &&
               ::read(STDIN_FILENO, &key, 1) == 1 && (key == 'q' || key == 'Q');
    }

private:
    termios saved_{};
    bool active_ = false;
};

bool IsScreen() {
    return ::isatty(STDOUT_FILENO) != 0;
}

// Rows that fit the terminal under the header, or all of them.
std::size_t RowsThatFit(bool screen) {
    winsize size{};
    if (!screen || ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row < 8) {
        return static_cast<std::size_t>(-1);
    }
    return size.ws_row - 6u; // the header, a blank line, the headings and their rule, the last
}

bool StillRuns(long pid) {
    return ::kill(static_cast<pid_t>(pid), 0) == 0;
}
#endif

// Waits `ms` milliseconds; true when 'q' was typed or SIGINT (Ctrl+C) came.
bool QuitWithin(const Terminal& terminal, std::int64_t ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (gQuit == 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        if (terminal.KeyQuits(left.count() > 1 << 30 ? 1 << 30 : left.count())) {
            return true;
        }
    }
    return true;
}

} // namespace

int ShowTop(const TopOptions& options, std::ostream& out) {
    // On a terminal, each refresh replaces the last; otherwise (a pipe, a
    // file, or a number of refreshes asked for) tables follow one another.
    const bool screen = options.count == 0 && IsScreen();
    gQuit = 0;
    const auto previous = std::signal(SIGINT, OnQuit);
    const Terminal terminal;
    Snapshot before;
    bool first = true;
    int status = 0;
    for (std::int64_t shown = 0; options.count == 0 || shown < options.count; ++shown) {
        Snapshot now;
        try {
            now = ParseSnapshots(TakeSnapshot(options.pid, options.timeout), "answer").at(0);
        } catch (const std::runtime_error&) {
            if (first || StillRuns(options.pid)) {
                std::signal(SIGINT, previous);
                throw;
            }
            out << "Process " << options.pid << " has ended.\n";
            break;
        }
        if (screen) {
            out << "\x1b[H\x1b[2J"; // to the top left, the screen cleared
        } else if (!first) {
            out << '\n';
        }
        WriteTopTable(out, now, first ? nullptr : &before, RowsThatFit(screen));
        out.flush();
        if (!out) {
            status = 2;
            break;
        }
        before = std::move(now);
        first = false;
        if ((options.count == 0 || shown + 1 < options.count) &&
            QuitWithin(terminal, options.intervalMs)) {
            break;
        }
    }
    std::signal(SIGINT, previous);
    return status;
}

} // namespace dideverazez::report
