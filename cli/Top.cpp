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

#if !defined(_WIN32)
#include <poll.h>
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

#if defined(_WIN32)

int ShowTop(const TopOptions&, std::ostream&) {
    throw std::runtime_error("top: not available on this system");
}

#else

namespace {

volatile std::sig_atomic_t gQuit = 0;

extern "C" void OnQuit(int) {
    gQuit = 1;
}

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

    // Waits `ms` milliseconds; true when 'q' was typed or SIGINT came.
    bool QuitWithin(std::int64_t ms) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (gQuit == 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd in{STDIN_FILENO, POLLIN, 0};
            if (::poll(&in, active_ ? 1 : 0, static_cast<int>(left.count())) > 0) {
                char key = 0;
                if (::read(STDIN_FILENO, &key, 1) == 1 && (key == 'q' || key == 'Q')) {
                    return true;
                }
            }
        }
        return true;
    }

private:
    termios saved_{};
    bool active_ = false;
};

// Rows that fit the terminal under the header, or all of them.
std::size_t RowsThatFit(bool screen) {
    winsize size{};
    if (!screen || ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row < 8) {
        return static_cast<std::size_t>(-1);
    }
    return size.ws_row - 6u; // the header, a blank line, the headings and their rule, the last
}

} // namespace

int ShowTop(const TopOptions& options, std::ostream& out) {
    // On a terminal, each refresh replaces the last; otherwise (a pipe, a
    // file, or a number of refreshes asked for) tables follow one another.
    const bool screen = options.count == 0 && ::isatty(STDOUT_FILENO);
    struct sigaction quit {
    }, previous{};
    quit.sa_handler = OnQuit;
    sigemptyset(&quit.sa_mask);
    ::sigaction(SIGINT, &quit, &previous);
    const Terminal terminal;
    Snapshot before;
    bool first = true;
    int status = 0;
    for (std::int64_t shown = 0; options.count == 0 || shown < options.count; ++shown) {
        Snapshot now;
        try {
            now = ParseSnapshots(TakeSnapshot(options.pid, options.timeout), "answer").at(0);
        } catch (const std::runtime_error&) {
            if (first || ::kill(static_cast<pid_t>(options.pid), 0) == 0) {
                ::sigaction(SIGINT, &previous, nullptr);
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
            terminal.QuitWithin(options.intervalMs)) {
            break;
        }
    }
    ::sigaction(SIGINT, &previous, nullptr);
    return status;
}

#endif

} // namespace dideverazez::report
