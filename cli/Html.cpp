#include "Report.h"
#include "Symbols.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

namespace dideverazez::report {

// cli/viewer/index.html with its style sheet and script inlined, generated at
// build time by Embed.cmake.
std::string_view ViewerPage();

namespace {

// '<' appears in JSON inside strings only, where \u003c means the same;
// without it the text could close the script element that holds it.
void WriteScriptSafe(std::ostream& out, std::string_view json) {
    for (std::size_t at = 0; at < json.size();) {
        const std::size_t angle = std::min(json.find('<', at), json.size());
        out.write(json.data() + at, static_cast<std::streamsize>(angle - at));
        if (angle < json.size()) {
            out << "\\u003c";
        }
        at = angle + 1;
    }
}

std::string Dump(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// For a snapshot with stacks, the `symbols` the page reads: each stack's
// frames named, innermost first, without the library's own leading frames: a
// function's name, else its address in hex and the file name of its object.
// The page merges frames by these names.
nlohmann::json PageSymbols(const Snapshot& snapshot) {
    const Symbols symbols(snapshot.objects);
    nlohmann::json named = nlohmann::json::array();
    for (const std::vector<std::uint64_t>& stack : snapshot.stacks) {
        nlohmann::json names = nlohmann::json::array();
        for (const Frame& frame : symbols.Stack(stack)) {
            if (!frame.function.empty()) {
                names.push_back(frame.function);
                continue;
            }
            std::string name = Hex(frame.address);
            if (frame.object >= 0) {
                const std::string& path =
                    snapshot.objects[static_cast<std::size_t>(frame.object)].path;
                name += " (" + path.substr(path.rfind('/') + 1) + ")"; // npos + 1 is 0
            }
            names.push_back(name);
        }
        named.push_back(std::move(names));
    }
    return named;
}

// The highest current bytes of a root, or of the total, and the first
// snapshot that had them.
struct Peak {
    long double bytes = 0;
    std::size_t index = 0;
};

} // namespace

std::vector<std::size_t> ChooseMoments(std::size_t count, const std::vector<std::size_t>& peaks) {
    std::set<std::size_t> chosen;
    if (count <= kMaxMoments) {
        for (std::size_t i = 0; i < count; ++i) {
            chosen.insert(i);
        }
        return {chosen.begin(), chosen.end()};
    }
    chosen.insert(0);
    chosen.insert(count - 1);
    for (const std::size_t peak : peaks) {
        if (chosen.size() >= kMaxMoments / 2) {
            break;
        }
        chosen.insert(std::min(peak, count - 1));
    }
    // Evenly spaced between the first and the last; one falling on a moment
    // already chosen leaves its place empty.
    const std::uint64_t room = kMaxMoments - chosen.size();
    for (std::uint64_t j = 1; j <= room; ++j) {
        chosen.insert(static_cast<std::size_t>(j * (count - 1) / (room + 1)));
    }
    return {chosen.begin(), chosen.end()};
}

struct HtmlPage::File {
    std::unique_ptr<SnapshotReader> reader;
    std::string name;
    std::vector<Place> shown;
};

HtmlPage::HtmlPage() = default;
HtmlPage::~HtmlPage() = default;

void HtmlPage::Add(std::unique_ptr<SnapshotReader> reader, const Moment& moment,
                   std::ostream& warnings) {
    auto file = std::make_unique<File>();
    file->name = moment.argument;
    std::vector<Place> places;
    std::unordered_map<std::string, Peak> roots; // by "path#rank"
    Peak total;
    Snapshot snapshot;
    Place place;
    while (reader->Next(snapshot, place)) {
        const std::size_t index = places.size();
        places.push_back(place);
        if (moment.given) {
            continue;
        }
        // Roots are told apart as the page does: by path, and rank among the
        // roots of that path.
        std::unordered_map<std::string_view, std::size_t> ranks;
        long double sum = 0;
        for (const Engine& engine : snapshot.engines) {
            if (engine.depth != 0) {
                continue;
            }
            const auto bytes = static_cast<long double>(engine.metrics.memoryCurrent);
            sum += bytes;
            const std::string key = engine.path + "#" + std::to_string(ranks[engine.path]++);
            const auto [at, added] = roots.try_emplace(key, Peak{bytes, index});
            if (!added && bytes > at->second.bytes) {
                at->second = {bytes, index};
            }
        }
        if (index == 0 || sum > total.bytes) {
            total = {sum, index};
        }
    }
    if (!reader->Warning().empty()) {
        warnings << "dideverazez-report: warning: " << reader->Warning() << '\n';
    }
    if (moment.given) {
        file->shown.push_back(places[MomentIndex(moment, places.size())]);
    } else {
        std::vector<std::pair<long double, std::size_t>> byPeak;
        for (const auto& [key, peak] : roots) {
            byPeak.emplace_back(peak.bytes, peak.index);
        }
        // The highest first; of equal ones the earliest, so that the choice
        // does not depend on the order of the map.
        std::sort(byPeak.begin(), byPeak.end(), [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first > b.first : a.second < b.second;
        });
        std::vector<std::size_t> peaks{total.index};
        for (const auto& [bytes, index] : byPeak) {
            peaks.push_back(index);
        }
        for (const std::size_t index : ChooseMoments(places.size(), peaks)) {
            file->shown.push_back(places[index]);
        }
    }
    file->reader = std::move(reader);
    files_.push_back(std::move(file));
}

void HtmlPage::Write(std::ostream& out) {
    const std::string_view page = ViewerPage();
    constexpr std::string_view marker = R"(<script type="application/json" id="snapshots">)";
    const std::size_t at = page.find(marker);
    if (at == std::string_view::npos) {
        throw std::logic_error("the viewer's page has no element for the snapshots");
    }
    out << page.substr(0, at + marker.size()) << '[';
    bool first = true;
    for (const std::unique_ptr<File>& file : files_) {
        const std::string name = Dump(file->name);
        for (const Place& place : file->shown) {
            out << (first ? "" : ",") << "{\"file\":";
            first = false;
            WriteScriptSafe(out, name);
            out << ",\"snapshot\":";
            // The text without its closing brace, then `symbols`, which
            // replace any the document had, as the last of repeated keys.
            Place head = place;
            head.size -= 1;
            file->reader->CopyAt(head,
                                 [&](std::string_view piece) { WriteScriptSafe(out, piece); });
            if (place.stacks) {
                out << ",\"symbols\":";
                WriteScriptSafe(out, Dump(PageSymbols(file->reader->ReadAt(place))));
            }
            out << "}}";
        }
    }
    out << ']' << page.substr(at + marker.size());
}

} // namespace dideverazez::report
