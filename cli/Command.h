// The commands of dideverazez-report: each is one entry of the table in
// main.cpp (its name, synopsis and help text, and the function that runs it),
// and the helpers their functions share to read their arguments.
#pragma once

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace dideverazez::report {

// An error of the command line: reported with a pointer to the command's
// --help, exit status 2.
struct BadArguments : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Command {
    std::string_view name;
    std::string_view synopsis; // its arguments after the name: "A B"
    std::string_view brief;    // what it does, on one line of the tool's --help
    // The rest of its --help, ending in a line feed: what it does, then its
    // options; then the tool prints the paragraphs on FILE (with readsFiles)
    // and "Exit status: " and exitStatus.
    std::string_view help;
    bool readsFiles;
    std::string_view exitStatus;
    // Runs the command with the arguments after its name, --help and -h left
    // out; returns the exit status. Throws BadArguments for bad arguments,
    // any std::exception for another error (exit status 2 for both).
    int (*run)(const std::vector<std::string>& args);
};

// A command's FILEs (or other operands) and the file after its -o.
struct Operands {
    std::vector<std::string> files;
    std::string output; // "" when there was no -o
};

// The operands of `args` and, when `output` is true, the file of one -o.
// BadArguments for -o without `output` or without a file, or twice, for any
// other argument starting with '-' but "-" and "-@N", and for standard input
// named more than once (it is read once).
Operands SplitArguments(std::string_view command, const std::vector<std::string>& args,
                        bool output);

// Whether `argument` names standard input: "-" or "-@N".
bool IsStandardInput(const std::string& argument);

// A process id: decimal digits, from 1 to the largest int; BadArguments
// naming `command` otherwise.
long ProcessId(std::string_view command, const std::string& text);

// Calls `write` with the stream of `output`: standard output for "-", else
// the file, created or replaced (std::runtime_error when it cannot be
// created or written). Standard output is flushed and checked by main.
template <typename Write> void WriteOutput(const std::string& output, Write write) {
    if (output == "-") {
        write(std::cout);
        return;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw std::runtime_error(output + ": cannot create: " + std::strerror(errno));
    }
    write(out);
    if (!out.flush()) {
        throw std::runtime_error(output + ": cannot write: " + std::strerror(errno));
    }
}

} // namespace dideverazez::report
