// dideverazez-report: summary, diff and html views of the snapshots a program
// using dideverazez writes (docs/snapshot.md).
//
// Exit status: 0 when done; 2 on bad arguments, or a file that cannot be read
// or written, is not JSON or not a snapshot; the message on standard error
// names the file and the place.

#include "Report.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace dideverazez::report;

constexpr const char* kUsage = R"(Usage: dideverazez-report summary FILE
       dideverazez-report diff A B
       dideverazez-report html FILE... -o OUT.html
       dideverazez-report --help

FILE is a snapshot, or a time series of them (one a line), written by a
program using dideverazez with DIDEVERAZEZ_REPORT set; summary and diff read
the last snapshot of a series.

  summary  the tree of live handles, each before its children, with its
           figures; then the handles destroyed so far.
  diff     the handles whose figures changed from A to B, the largest change
           of current bytes first, and the change of the roots' total.
  html     one page showing the snapshots of every FILE (a treemap, a table,
           and a chart of a time series), with nothing to fetch.

Exit status: 0 when done; 2 on bad arguments, or a file that cannot be read or
written, is not JSON or not a snapshot.
)";

struct BadArguments : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int Run(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << kUsage;
        return 0;
    }
    const std::string command = args.empty() ? "" : args[0];
    if (command == "summary" && args.size() == 2) {
        WriteSummary(std::cout, ReadSnapshots(args[1]).back());
    } else if (command == "diff" && args.size() == 3) {
        const Snapshot before = ReadSnapshots(args[1]).back();
        WriteDiff(std::cout, before, ReadSnapshots(args[2]).back());
    } else if (command == "html") {
        std::string output;
        std::vector<SnapshotFile> files;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] != "-o") {
                files.push_back({args[i], ReadSnapshots(args[i])});
            } else if (i + 1 == args.size() || !output.empty()) {
                throw BadArguments("html: -o takes one file, once");
            } else {
                output = args[++i];
            }
        }
        if (files.empty() || output.empty()) {
            throw BadArguments("html: needs at least one FILE and -o OUT.html");
        }
        std::ofstream out(output, std::ios::binary | std::ios::trunc);
        if (!out) {
            throw std::runtime_error(output + ": cannot create: " + std::strerror(errno));
        }
        WriteHtml(out, files);
        if (!out.flush()) {
            throw std::runtime_error(output + ": cannot write: " + std::strerror(errno));
        }
    } else {
        throw BadArguments(command.empty() ? "no command"
                           : command == "summary" || command == "diff"
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
