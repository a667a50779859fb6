// Parsing FILE@N, and reading the snapshot it names.

#include "Moment.h"

#include "SnapshotReader.h"

#include <sys/stat.h>

#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace dideverazez::report {

Moment ParseMoment(const std::string& argument) {
    struct stat status {};
    Moment moment{argument, -1, false, argument};
    const bool input = argument.rfind("-@", 0) == 0; // standard input's, whatever is there
    const std::size_t at = input ? 1 : argument.rfind('@');
    if (argument == "-" || at == std::string::npos ||
        (!input && stat(argument.c_str(), &status) == 0)) {
        return moment;
    }
    const std::string prefix = argument.substr(0, at);
    const std::string suffix = argument.substr(at + 1);
    const bool negative = !suffix.empty() && suffix[0] == '-';
    const std::string digits = suffix.substr(negative ? 1 : 0);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        if (input || stat(prefix.c_str(), &status) == 0) {
            throw std::invalid_argument(argument + ": '@" + suffix +
                                        "' is no snapshot's number: FILE@N is the N-th "
                                        "snapshot from 1, FILE@-N the N-th from the last");
        }
        return moment;
    }
    // Beyond 18 digits no file has that many snapshots: the largest number stands for it.
    std::int64_t number = std::numeric_limits<std::int64_t>::max();
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) {
        throw std::invalid_argument(argument +
                                    ": no snapshot 0: snapshots count from 1 (@1 the first, "
                                    "@-1 the last)");
    }
    if (digits.size() - first <= 18) {
        number = std::stoll(digits.substr(first));
    }
    moment.file = prefix;
    moment.number = negative ? -number : number;
    moment.given = true;
    return moment;
}

std::size_t MomentIndex(const Moment& moment, std::size_t count) {
    const auto total = static_cast<std::int64_t>(count);
    if (moment.number > total || moment.number < -total) {
        // The number as typed: one beyond 18 digits was kept as the largest.
        throw ReadError(moment.argument + ": no snapshot " +
                        moment.argument.substr(moment.argument.rfind('@') + 1) + ": " +
                        moment.file + " has " + std::to_string(count) +
                        (count == 1 ? " snapshot" : " snapshots"));
    }
    return static_cast<std::size_t>(moment.number > 0 ? moment.number - 1 : total + moment.number);
}

Snapshot ReadMoment(const Moment& moment, std::ostream& warnings) {
    SnapshotReader reader(moment.file, moment.number < -1 ? SnapshotReader::Passes::kAgain
                                                          : SnapshotReader::Passes::kOnce);
    Snapshot kept;
    Snapshot current;
    Place place;
    std::vector<Place> places; // for a number from the last but the last
    while (reader.Next(current, place)) {
        if (moment.number == -1 || static_cast<std::int64_t>(reader.Count()) == moment.number) {
            std::swap(kept, current);
        }
        if (moment.number < -1) {
            places.push_back(place);
        }
    }
    if (!reader.Warning().empty()) {
        warnings << "dideverazez-report: warning: " << reader.Warning() << '\n';
    }
    const std::size_t index = MomentIndex(moment, reader.Count());
    if (moment.number < -1) {
        kept = reader.ReadAt(places[index]);
    }
    return kept;
}

} // namespace dideverazez::report
