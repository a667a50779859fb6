#include "Command.h"

#include <algorithm>
#include <climits>

namespace dideverazez::report {

bool IsStandardInput(const std::string& argument) {
    return argument == "-" || argument.rfind("-@", 0) == 0;
}

Operands SplitArguments(std::string_view command, const std::vector<std::string>& args,
                        bool output) {
    const std::string name(command);
    Operands operands;
    bool outputGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" && output) {
            if (i + 1 == args.size() || outputGiven) {
                throw BadArguments(name + ": -o takes one file, once");
            }
            outputGiven = true;
            operands.output = args[++i];
        } else if (args[i].size() > 1 && args[i][0] == '-' && !IsStandardInput(args[i])) {
            throw BadArguments(name + ": unknown option '" + args[i] + "'");
        } else {
            operands.files.push_back(args[i]);
        }
    }
    if (std::count_if(operands.files.begin(), operands.files.end(), IsStandardInput) > 1) {
        throw BadArguments(name + ": standard input is read once: name it (-) once at most");
    }
    return operands;
}

long ProcessId(std::string_view command, const std::string& text) {
    const bool digits = !text.empty() && text.size() <= 10 &&
                        text.find_first_not_of("0123456789") == std::string::npos;
    const long long value = digits ? std::stoll(text) : 0;
    if (value < 1 || value > INT_MAX) {
        throw BadArguments(std::string(command) + ": '" + text + "' is not a process id");
    }
    return static_cast<long>(value);
}

} // namespace dideverazez::report
