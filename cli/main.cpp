// dideverazez-report: summary, diff and html views of the snapshots a program
// using dideverazez writes, leaks and pprof of their sampled call sites, and
// take, which asks a running program for one (docs/snapshot.md,
// docs/sampling.md).
//
// Exit status: 0 when done; 2 on bad arguments, or a file that cannot be read
// or written, is not JSON or not a snapshot, or a program that gives no
// snapshot when asked; the message on standard error names the file and the
// place, or the socket and what went wrong.

#include "Metrics.h"
#include "Report.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace dideverazez::report;

constexpr const char* kUsage = R"(Usage: dideverazez-report summary FILE
       dideverazez-report diff A B
       dideverazez-report html FILE... -o OUT.html
       dideverazez-report leaks FILE
       dideverazez-report pprof FILE -o OUT.pb.gz
       dideverazez-report take PID [-o FILE]
       dideverazez-report metrics FILE
       dideverazez-report --help

FILE is a snapshot, or a time series of them (one a line), written by a
program using dideverazez with DIDEVERAZEZ_REPORT set; summary, diff, leaks,
pprof and metrics read the last snapshot of a series. FILE@N is its N-th
snapshot (from 1), FILE@-N the N-th from the last; a file named so as it is
is read whole. A last line cut short (the program was killed as it wrote) is
skipped, with a warning.

  summary  the tree of live handles, each before its children, with its
           figures; then the handles destroyed so far.
  diff     the handles whose figures changed from A to B, the largest change
           of current bytes first, and the change of the roots' total.
  html     one page showing the snapshots of every FILE (a treemap, a table,
           and a chart of a time series), with nothing to fetch; of a long
           series 500 snapshots: the first, the last, the peaks of the total
           and of each root, and evenly spaced ones.
  leaks    of the snapshot written at exit, what each live handle never
           freed; then the retired handles that still held memory; each
           with the call sites of what it held, largest first, as sampled
           with DIDEVERAZEZ_SAMPLE_BYTES set (docs/sampling.md); then the
           call sites that held the most at the sampled peak. Of another
           snapshot, the retired handles alone.
  pprof    the sampled call sites of live and retired handles as a pprof
           profile (gzip-compressed profile.proto), each stack ending in
           frames named "handle NAME": pprof -top OUT.pb.gz; what they
           held at the sampled peak: -sample_index=peak_space.
  take     a snapshot of the running process PID, asked for now over its
           socket /tmp/dideverazez-<uid>/PID.sock (the program runs as this
           user with DIDEVERAZEZ_REPORT set), written to FILE or to standard
           output; waits 10 s at most.
  metrics  the live handles' figures as OpenMetrics text, as the library
           writes them with DIDEVERAZEZ_METRICS set (docs/metrics.md).

Names and paths are shown with their control characters escaped: \t, \n, \r,
\xHH for the other bytes below 0x20 and 0x7f, \u0080 to \u009f, and \\ for a
backslash, so that no name splits a line.

Keys the tool does not use are left alone, but no document may nest deeper
than 64 levels (a snapshot nests 8): a deeper one is not a snapshot.

Exit status: 0 when done; 2 on bad arguments, or a file that cannot be read or
written, is not JSON or not a snapshot, or a program that gives no snapshot
when asked.
)";

static_assert(kMaxNesting == 64, "the usage text gives the reader's bound on nesting");
static_assert(kMaxMoments == 500, "the usage text gives the bound of html's snapshots");

struct BadArguments : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A process id: decimal digits, from 1 to the largest int.
long ProcessId(const std::string& text) {
    const bool digits = !text.empty() && text.size() <= 10 &&
                        text.find_first_not_of("0123456789") == std::string::npos;
    const long long value = digits ? std::stoll(text) : 0;
    if (value < 1 || value > INT_MAX) {
        throw BadArguments("take: '" + text + "' is not a process id");
    }
    return static_cast<long>(value);
}

// How long take waits: 10 s, or DIDEVERAZEZ_TAKE_TIMEOUT_MS milliseconds, a
// seam for the tests of the time-out (docs/snapshot.md).
std::chrono::milliseconds TakeTimeout() {
    const char* text = std::getenv("DIDEVERAZEZ_TAKE_TIMEOUT_MS");
    if (text == nullptr) {
        return std::chrono::seconds(10);
    }
    const std::string value = text;
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos || std::stol(value) == 0) {
        throw std::runtime_error("DIDEVERAZEZ_TAKE_TIMEOUT_MS: '" + value +
                                 "' is not a number of milliseconds from 1 to 999,999,999");
    }
    return std::chrono::milliseconds(std::stol(value));
}

// An output file, created or replaced; `write` fills it.
template <typename Write> void WriteFile(const std::string& output, Write write) {
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw std::runtime_error(output + ": cannot create: " + std::strerror(errno));
    }
    write(out);
    if (!out.flush()) {
        throw std::runtime_error(output + ": cannot write: " + std::strerror(errno));
    }
}

// `command`'s FILE... and the file after -o (once), from the arguments after
// the command.
void SplitOutput(const std::string& command, const std::vector<std::string>& args,
                 std::vector<std::string>& inputs, std::string& output) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] != "-o") {
            inputs.push_back(args[i]);
        } else if (i + 1 == args.size() || !output.empty()) {
            throw BadArguments(command + ": -o takes one file, once");
        } else {
            output = args[++i];
        }
    }
}

// FILE or FILE@N (Snapshot.h); a number that is none is a bad argument.
Moment Parse(const std::string& argument) {
    try {
        return ParseMoment(argument);
    } catch (const std::invalid_argument& error) {
        throw BadArguments(error.what());
    }
}

// The snapshot FILE or FILE@N names, a warning of a torn last line said.
Snapshot Read(const std::string& argument) {
    return ReadMoment(Parse(argument), std::cerr);
}

int Run(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << kUsage;
        return 0;
    }
    const std::string command = args.empty() ? "" : args[0];
    if (command == "summary" && args.size() == 2) {
        WriteSummary(std::cout, Read(args[1]));
    } else if (command == "diff" && args.size() == 3) {
        const Snapshot before = Read(args[1]);
        WriteDiff(std::cout, before, Read(args[2]));
    } else if (command == "html") {
        std::vector<std::string> inputs;
        std::string output;
        SplitOutput(command, args, inputs, output);
        if (inputs.empty() || output.empty()) {
            throw BadArguments("html: needs at least one FILE and -o OUT.html");
        }
        HtmlPage page;
        for (const std::string& input : inputs) {
            const Moment moment = Parse(input);
            page.Add(std::make_unique<SnapshotReader>(moment.file), moment, std::cerr);
        }
        WriteFile(output, [&](std::ostream& out) { page.Write(out); });
    } else if (command == "metrics" && args.size() == 2) {
        WriteMetrics(std::cout, Read(args[1]), args[1]);
    } else if (command == "leaks" && args.size() == 2) {
        WriteLeaks(std::cout, Read(args[1]));
    } else if (command == "pprof") {
        std::vector<std::string> inputs;
        std::string output;
        SplitOutput(command, args, inputs, output);
        if (inputs.size() != 1 || output.empty()) {
            throw BadArguments("pprof: needs one FILE and -o OUT.pb.gz");
        }
        const Snapshot snapshot = Read(inputs[0]);
        std::size_t samples = 0;
        const std::string profile = PprofProfile(snapshot, samples);
        WriteFile(output, [&](std::ostream& out) { out << profile; });
        if (samples == 0) {
            std::cerr << "dideverazez-report: pprof: " << inputs[0]
                      << " has no sampled call site; the profile is empty (run the program with "
                         "DIDEVERAZEZ_SAMPLE_BYTES set)\n";
        }
    } else if (command == "run") {
        RunOptions options;
        std::size_t i = 1;
        for (; i < args.size() && args[i] != "--" && args[i].rfind("-", 0) == 0; ++i) {
            const std::string& option = args[i];
            if (i + 1 == args.size()) {
                throw BadArguments("run: " + option + " takes a value");
            }
            const std::string& value = args[++i];
            if (option == "--by" && (value == "thread" || value == "library")) {
                options.by = value;
            } else if (option == "--sample" && !value.empty() &&
                       value.find_first_not_of("0123456789") == std::string::npos &&
                       value.size() <= 19) {
                options.sampleBytes = std::stoull(value);
            } else if (option == "--interval" && !value.empty() && value.size() <= 9 &&
                       value.find_first_not_of("0123456789") == std::string::npos &&
                       std::stol(value) > 0) {
                options.intervalMs = std::stol(value);
            } else if (option == "-o") {
                options.directory = value;
            } else {
                throw BadArguments("run: " + option + " " + value + ": not an option of run");
            }
        }
        i += i < args.size() && args[i] == "--" ? 1 : 0;
        options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
        if (options.command.empty()) {
            throw BadArguments("run: needs a program to run");
        }
        std::cout.flush();
        return RunProgram(options, std::cerr);
    } else if (command == "top") {
        TopOptions options;
        std::vector<std::string> rest;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if ((args[i] == "--interval" || args[i] == "-n") && i + 1 < args.size()) {
                const std::string& value = args[++i];
                if (value.empty() || value.size() > 9 ||
                    value.find_first_not_of("0123456789") != std::string::npos ||
                    std::stol(value) == 0) {
                    throw BadArguments("top: " + args[i - 1] + " " + value +
                                       ": not a number from 1");
                }
                (args[i - 1] == "-n" ? options.count : options.intervalMs) = std::stol(value);
            } else if (args[i] == "--once") {
                options.count = 1;
            } else {
                rest.push_back(args[i]);
            }
        }
        if (rest.size() != 1) {
            throw BadArguments("top: needs one process id");
        }
        options.pid = ProcessId(rest[0]);
        options.timeout = TakeTimeout();
        return ShowTop(options, std::cout);
    } else if (command == "take") {
        std::vector<std::string> inputs;
        std::string output;
        SplitOutput(command, args, inputs, output);
        if (inputs.size() != 1) {
            throw BadArguments(inputs.empty()
                                   ? "take: needs a process id"
                                   : "take: one process id, not " + std::to_string(inputs.size()));
        }
        const long pid = ProcessId(inputs[0]);
        // Nothing is written, and FILE is left alone, unless a snapshot came.
        const std::string snapshot = TakeSnapshot(pid, TakeTimeout());
        if (output.empty()) {
            std::cout << snapshot;
        } else {
            WriteFile(output, [&](std::ostream& out) { out << snapshot; });
        }
    } else {
        throw BadArguments(command.empty() ? "no command"
                           : command == "summary" || command == "diff" || command == "leaks" ||
                                   command == "metrics"
                               ? command + ": wrong number of files"
                               : "unknown command '" + command + "'");
    }
    if (!std::cout.flush()) {
        throw std::runtime_error("cannot write to standard output");
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const BadArguments& error) {
        std::cerr << "dideverazez-report: " << error.what()
                  << "\nTry 'dideverazez-report --help'.\n";
    } catch (const std::exception& error) {
        std::cerr << "dideverazez-report: " << error.what() << '\n';
    }
    return 2;
}
