// dideverazez-report: run, which runs a program under the preload library and
// sums up what it leaves; summary, diff and html views of the snapshots a
// program using dideverazez writes, leaks and pprof of their sampled call
// sites, metrics; take and top, which ask a running program for them
// (docs/snapshot.md, docs/sampling.md). Each command is an entry of kCommands: its usage and its
// function; the tool's --help lists them.
//
// Exit status: 0 when done, or what the command returns; 2 on bad arguments,
// or a file that cannot be read or written, is not JSON or not a snapshot, or
// a program that gives no snapshot when asked; the message on standard error
// names the file and the place, or the socket and what went wrong.

#include "Command.h"
#include "Metrics.h"
#include "Report.h"

#include <array>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#ifndef DIDEVERAZEZ_VERSION
#error "DIDEVERAZEZ_VERSION is the project's version, defined by cli/CMakeLists.txt"
#endif

namespace {

using namespace dideverazez::report;

constexpr std::string_view kTool = "dideverazez-report";

// Printed by --help after the commands, and by each command that reads FILEs.
constexpr std::string_view kFileHelp =
    R"(FILE is a snapshot, or a time series of them (one a line), written by a
program using dideverazez with DIDEVERAZEZ_REPORT set; a command showing one
snapshot reads the last of a series. FILE@N is its N-th snapshot (from 1),
FILE@-N the N-th from the last; a file named so as it is is read whole. - is
standard input (named - in messages), -@N its N-th snapshot; a file named -
is ./-. A last line cut short (the program was killed as it wrote) is
skipped, with a warning.

A FILE that is not a regular file (a pipe, a terminal) is read once as it
comes, with no copy, except by html and for FILE@-N with N above 1, which
read a snapshot again: then what is read is also copied to an unnamed
temporary file, 4 GiB at most.

Keys the tool does not use are left alone, but no document may nest deeper
than 64 levels (a snapshot nests 8) or hold a string or a number longer than
1 MiB: such a document is not a snapshot.
)";

static_assert(kMaxNesting == 64, "kFileHelp gives the reader's bound on nesting");
static_assert(kMaxString == 1 << 20, "kFileHelp gives the reader's bound on strings");
static_assert(kMaxCopy == std::uint64_t{4} << 30, "kFileHelp gives the bound of a pipe's copy");
static_assert(kMaxMoments == 500, "html's help gives the bound of its snapshots");

// The last line of every command's options; theirs are aligned with it.
constexpr std::string_view kHelpOption = "  -h, --help     print this help and exit\n";

// What follows "Exit status: ".
constexpr std::string_view kReadStatus =
    R"(0 when done; 2 on bad arguments, or a FILE that cannot be
read, is not JSON or is not a snapshot.
)";
constexpr std::string_view kWriteStatus =
    R"(0 when done; 2 on bad arguments, or a FILE that cannot be
read, is not JSON or is not a snapshot, or an output that cannot be written.
)";

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

// FILE or FILE@N (Moment.h); a number that is none is a bad argument.
Moment Parse(const std::string& argument) {
    try {
        return ParseMoment(argument);
    } catch (const std::invalid_argument& error) {
        throw BadArguments(error.what());
    }
}

// The snapshot FILE or FILE@N names, a warning of a torn last line reported.
Snapshot Read(const std::string& argument) {
    return ReadMoment(Parse(argument), std::cerr);
}

// The one FILE of a command that reads one.
std::string OneFile(std::string_view command, const std::vector<std::string>& args) {
    const Operands operands = SplitArguments(command, args, false);
    if (operands.files.size() != 1) {
        throw BadArguments(std::string(command) + ": wrong number of files");
    }
    return operands.files[0];
}

int RunSummary(const std::vector<std::string>& args) {
    WriteSummary(std::cout, Read(OneFile("summary", args)));
    return 0;
}

int RunDiff(const std::vector<std::string>& args) {
    const Operands operands = SplitArguments("diff", args, false);
    if (operands.files.size() != 2) {
        throw BadArguments("diff: wrong number of files");
    }
    const Snapshot before = Read(operands.files[0]);
    WriteDiff(std::cout, before, Read(operands.files[1]));
    return 0;
}

int RunHtml(const std::vector<std::string>& args) {
    const Operands operands = SplitArguments("html", args, true);
    if (operands.files.empty() || operands.output.empty()) {
        throw BadArguments("html: needs at least one FILE and -o OUT.html");
    }
    HtmlPage page;
    for (const std::string& input : operands.files) {
        const Moment moment = Parse(input);
        page.Add(std::make_unique<SnapshotReader>(moment.file), moment, std::cerr);
    }
    WriteOutput(operands.output, [&](std::ostream& out) { page.Write(out); });
    return 0;
}

int RunLeaks(const std::vector<std::string>& args) {
    WriteLeaks(std::cout, Read(OneFile("leaks", args)));
    return 0;
}

int RunPprof(const std::vector<std::string>& args) {
    const Operands operands = SplitArguments("pprof", args, true);
    if (operands.files.size() != 1 || operands.output.empty()) {
        throw BadArguments("pprof: needs one FILE and -o OUT.pb.gz");
    }
    const Snapshot snapshot = Read(operands.files[0]);
    std::size_t samples = 0;
    const std::string profile = PprofProfile(snapshot, samples);
    WriteOutput(operands.output, [&](std::ostream& out) { out << profile; });
    if (samples == 0) {
        std::cerr << "dideverazez-report: pprof: " << operands.files[0]
                  << " has no sampled call site; the profile is empty (run the program with "
                     "DIDEVERAZEZ_SAMPLE_BYTES set)\n";
    }
    return 0;
}

int RunTake(const std::vector<std::string>& args) {
    const Operands operands = SplitArguments("take", args, true);
    if (operands.files.size() != 1) {
        throw BadArguments(operands.files.empty() ? "take: needs a process id"
                                                  : "take: one process id, not " +
                                                        std::to_string(operands.files.size()));
    }
    const long pid = ProcessId("take", operands.files[0]);
    // Nothing is written, and FILE is left alone, unless a snapshot came.
    const std::string snapshot = TakeSnapshot(pid, TakeTimeout());
    WriteOutput(operands.output.empty() ? "-" : operands.output,
                [&](std::ostream& out) { out << snapshot; });
    return 0;
}

int RunMetrics(const std::vector<std::string>& args) {
    const std::string file = OneFile("metrics", args);
    WriteMetrics(std::cout, Read(file), file);
    return 0;
}

// A whole number from `least` to 999,999,999 for `option` of `command`.
std::int64_t Number(std::string_view command, const std::string& option, const std::string& value,
                    std::int64_t least) {
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos || std::stol(value) < least) {
        throw BadArguments(std::string(command) + ": " + option + " '" + value +
                           "': not a whole number from " + std::to_string(least) +
                           " to 999,999,999");
    }
    return std::stol(value);
}

int RunRun(const std::vector<std::string>& args) {
    RunOptions options;
    std::size_t i = 0;
    for (; i < args.size() && args[i] != "--" && args[i].size() > 1 && args[i][0] == '-'; ++i) {
        const std::string& option = args[i];
        if (option != "--by" && option != "--sample" && option != "--interval" && option != "-o") {
            throw BadArguments("run: unknown option '" + option + "'");
        }
        if (i + 1 == args.size()) {
            throw BadArguments("run: " + option + " takes a value");
        }
        const std::string& value = args[++i];
        if (option == "--by") {
            if (value != "thread" && value != "library") {
                throw BadArguments("run: --by '" + value + "': thread or library");
            }
            options.by = value;
        } else if (option == "--sample") {
            // 2^62 at most, as the library takes it: 19 digits always parse.
            if (value.empty() || value.size() > 19 ||
                value.find_first_not_of("0123456789") != std::string::npos ||
                std::stoull(value) > (std::uint64_t{1} << 62)) {
                throw BadArguments("run: --sample '" + value +
                                   "': not a whole number of bytes from 0 to 2^62");
            }
            options.sampleBytes = std::stoull(value);
        } else if (option == "--interval") {
            options.intervalMs = Number("run", option, value, 1);
        } else {
            options.directory = value;
        }
    }
    i += i < args.size() && args[i] == "--" ? 1 : 0;
    options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (options.command.empty()) {
        throw BadArguments("run: needs a program to run");
    }
    std::cout.flush(); // before the program's own output
    return RunProgram(options, std::cerr);
}

int RunTop(const std::vector<std::string>& args) {
    TopOptions options;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "--interval" || args[i] == "-n") && i + 1 < args.size()) {
            const std::int64_t value = Number("top", args[i], args[i + 1], 1);
            (args[i] == "-n" ? options.count : options.intervalMs) = value;
            ++i;
        } else if (args[i] == "--once") {
            options.count = 1;
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            throw BadArguments("top: unknown option '" + args[i] + "'");
        } else {
            rest.push_back(args[i]);
        }
    }
    if (rest.size() != 1) {
        throw BadArguments(rest.empty()
                               ? "top: needs a process id"
                               : "top: one process id, not " + std::to_string(rest.size()));
    }
    options.pid = ProcessId("top", rest[0]);
    options.timeout = TakeTimeout();
    return ShowTop(options, std::cout);
}

// Whether each line of `text` fits 79 columns, the first starting at `column`.
constexpr bool Fits(std::string_view text, std::size_t column = 0) {
    for (const char c : text) {
        column = c == '\n' ? 0 : column + 1;
        if (column > 79) {
            return false;
        }
    }
    return true;
}

constexpr std::array<Command, 9> kCommands{{
    {"run", "[OPTIONS] -- PROGRAM [ARGS...]",
     "a program under the preload library, then its peak and leaks",
     R"(Runs PROGRAM, and the processes it starts, under the preload library
installed beside this tool, each process writing a time series into one
folder (named on the first line). When PROGRAM ends, prints on standard error
for each process its peak and the call sites that held it, what it never
freed by handle and by call site, then the path of a page of every series.
Interrupts go to PROGRAM; the exit status is PROGRAM's.

Options:
  --by thread|library
                 a pair of handles a thread, or a shared object (default:
                 library)
  --sample BYTES one allocation sampled per BYTES requested; 1 every one,
                 0 none (default: 524288)
  --interval MS  a snapshot every MS milliseconds (default: 1000)
  -o DIR         the folder of the series, made when missing, refused when
                 not empty (default: a new one in $TMPDIR or /tmp)
)",
     false,
     R"(PROGRAM's own, or 128 and the number of the signal that
ended it; 2 on bad arguments, or when the preload library, the folder or
PROGRAM cannot be had.
)",
     RunRun},
    {"summary", "FILE", "the live handles as a tree with their statistics, then the retired",
     R"(Prints the live trees of a snapshot, each handle before its children and
indented two spaces a level, with its statistics: self peak; current, peak
and cumulative bytes; blocks in use and ever allocated; a paged root's
pages. Then the handles destroyed so far.

Options:
)",
     true, kReadStatus, RunSummary},
    {"diff", "A B", "the handles whose statistics changed from A to B",
     R"(Prints the handles whose current bytes, cumulative bytes or blocks changed
from snapshot A to snapshot B, the largest change of current bytes first,
then the change of the total of the roots. Handles are matched by path and
depth; one only in B is marked (new), one only in A (gone). A and B are
FILEs.

Options:
)",
     true, kReadStatus, RunDiff},
    {"html", "FILE... -o OUT.html", "one page showing the snapshots of every FILE",
     R"(Writes one page showing the snapshots of every FILE: a treemap, tables of
the live and the retired handles, a chart of a time series, and the sampled
call sites, with nothing to fetch. Of a long series the page holds 500
snapshots: the first, the last, the peaks of the total and of each root, and
evenly spaced ones; FILE@N shows that snapshot alone.

Options:
  -o OUT.html    the page, created or replaced; - for standard output
)",
     true, kWriteStatus, RunHtml},
    {"leaks", "FILE", "what handles never freed, with their call sites",
     R"(Of the snapshot written at exit, prints what each live handle never freed;
then the retired handles that still held memory when destroyed; each with
the call sites of what it held, largest first, as sampled with
DIDEVERAZEZ_SAMPLE_BYTES set (docs/sampling.md); then the call sites that
held the most at the sampled peak. Of another snapshot, the retired handles
alone.

Options:
)",
     true, kReadStatus, RunLeaks},
    {"pprof", "FILE -o OUT.pb.gz", "the sampled call sites as a pprof profile",
     R"(Writes the sampled call sites of live and retired handles as a pprof
profile (gzip-compressed profile.proto), each stack ending in frames named
"handle NAME": pprof -top OUT.pb.gz; what they held at the sampled peak:
pprof -top -sample_index=peak_space OUT.pb.gz.

Options:
  -o OUT.pb.gz   the profile, created or replaced; - for standard output
)",
     true, kWriteStatus, RunPprof},
    {"take", "PID [-o FILE]", "a snapshot of the running process PID, asked for now",
     R"(Asks the running process PID for a snapshot now, over its abstract socket
@dideverazez/<uid>/PID (the program runs as this user with DIDEVERAZEZ_REPORT
or DIDEVERAZEZ_METRICS set), and writes it as received, once checked. Waits
10 s at most; nothing is written unless a snapshot came.

Options:
  -o FILE        the snapshot, created or replaced; - (the default) for
                 standard output
)",
     false,
     R"(0 when a snapshot was written; 2 on bad arguments, when
no snapshot came (nothing listens, a listener that is not PID, no whole
answer within 10 s, an answer that is not one snapshot), or FILE cannot be
written.
)",
     RunTake},
    {"top", "PID [--interval MS] [-n COUNT | --once]",
     "the live handles of process PID, refreshed as top refreshes",
     R"(Shows the live handles of the running process PID, the most current bytes
first, with their growth since the refresh before, from a snapshot asked for
as take asks every MS milliseconds. On a terminal each refresh replaces the
last and q quits; otherwise, or with -n, the tables follow one another.

Options:
  --interval MS  milliseconds between refreshes (default: 1000)
  -n COUNT       COUNT refreshes, then end (default: until q, an interrupt,
                 or the end of the process)
  --once         one refresh: -n 1
)",
     false,
     R"(0 when done; 2 on bad arguments, or when the first snapshot
does not come, as for take.
)",
     RunTop},
    {"metrics", "FILE", "the live handles' statistics as OpenMetrics text",
     R"(Prints the live handles' statistics of a snapshot as OpenMetrics text, as
the library writes them with DIDEVERAZEZ_METRICS set (docs/metrics.md).

Options:
)",
     true, kReadStatus, RunMetrics},
}};

// The width of the column of names in the tool's --help.
constexpr std::size_t NameWidth() {
    std::size_t width = 0;
    for (const Command& command : kCommands) {
        width = command.name.size() > width ? command.name.size() : width;
    }
    return width;
}

constexpr bool AllFit() {
    constexpr std::size_t kUsage = sizeof("Usage: ") - 1;
    for (const Command& command : kCommands) {
        if (!Fits(command.help) || !Fits(command.exitStatus, sizeof("Exit status: ") - 1) ||
            !Fits(command.synopsis, kUsage + kTool.size() + 1 + command.name.size() + 1) ||
            !Fits(command.brief, 2 + NameWidth() + 2)) {
            return false;
        }
    }
    return Fits(kFileHelp);
}
static_assert(AllFit(), "the help texts fit 79 columns");

const Command* Find(std::string_view name) {
    for (const Command& command : kCommands) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

void PrintUsage(std::ostream& out) {
    const char* lead = "Usage: ";
    for (const Command& command : kCommands) {
        out << lead << kTool << ' ' << command.name << ' ' << command.synopsis << '\n';
        lead = "       ";
    }
    out << lead << kTool << " COMMAND --help\n" << lead << kTool << " --help | --version\n\n";
    for (const Command& command : kCommands) {
        out << "  " << command.name << std::string(NameWidth() + 2 - command.name.size(), ' ')
            << command.brief << '\n';
    }
    out << '\n'
        << kFileHelp << R"(
Names and paths are shown with their control characters escaped: \t, \n, \r,
\xHH for the other bytes below 0x20 and 0x7f, \u0080 to \u009f, and \\ for a
backslash, so that no name splits a line.

'dideverazez-report COMMAND --help' prints a command's usage and options.

Exit status: 0 when done; 2 on bad arguments, or a file that cannot be read or
written, is not JSON or not a snapshot, or a program that gives no snapshot
when asked.
)";
}

void PrintHelp(std::ostream& out, const Command& command) {
    out << "Usage: " << kTool << ' ' << command.name << ' ' << command.synopsis << "\n\n"
        << command.help << kHelpOption << '\n';
    if (command.readsFiles) {
        out << kFileHelp << '\n';
    }
    out << "Exit status: " << command.exitStatus;
}

// Whether `args` ask for help: --help or -h before any "--", after which
// arguments may be another program's.
bool AsksHelp(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--") {
            return false;
        }
        if (arg == "--help" || arg == "-h") {
            return true;
        }
    }
    return false;
}

// Runs the command line; `command` is set once the command is known, for
// the pointer to its help.
int Run(const std::vector<std::string>& args, const Command*& command) {
    if (args.empty()) {
        throw BadArguments("no command");
    }
    int status = 0;
    if (args[0] == "--help" || args[0] == "-h") {
        PrintUsage(std::cout);
    } else if (args[0] == "--version") {
        std::cout << kTool << ' ' << DIDEVERAZEZ_VERSION << '\n';
    } else if ((command = Find(args[0])) == nullptr) {
        throw BadArguments("unknown command '" + args[0] + "'");
    } else if (const std::vector<std::string> rest(args.begin() + 1, args.end()); AsksHelp(rest)) {
        PrintHelp(std::cout, *command);
    } else {
        status = command->run(rest);
    }
    if (!std::cout.flush()) {
        throw std::runtime_error("cannot write to standard output");
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    const Command* command = nullptr;
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc), command);
    } catch (const BadArguments& error) {
        std::cerr << "dideverazez-report: " << error.what() << "\nTry 'dideverazez-report "
                  << (command != nullptr ? std::string(command->name) + " " : "") << "--help'.\n";
    } catch (const std::exception& error) {
        std::cerr << "dideverazez-report: " << error.what() << '\n';
    }
    return 2;
}
