#include "Report.h"
#include "Symbols.h"

#include <stdexcept>
#include <string_view>

namespace dideverazez::report {

// cli/viewer/index.html with its style sheet and script inlined, generated at
// build time by Embed.cmake.
std::string_view ViewerPage();

namespace {

// The snapshot as the page reads it: the document, and for a snapshot with
// stacks `symbols`, each stack's frames named, innermost first, without the
// library's own leading frames: a function's name, else its address in hex
// and the file name of its object. The page merges frames by these names.
nlohmann::json PageSnapshot(const Snapshot& snapshot) {
    nlohmann::json document = snapshot.document;
    if (snapshot.stacks.empty()) {
        return document;
    }
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
    document["symbols"] = std::move(named);
    return document;
}

} // namespace

void WriteHtml(std::ostream& out, const std::vector<SnapshotFile>& files) {
    nlohmann::json embedded = nlohmann::json::array();
    for (const SnapshotFile& file : files) {
        for (const Snapshot& snapshot : file.snapshots) {
            embedded.push_back({{"file", file.name}, {"snapshot", PageSnapshot(snapshot)}});
        }
    }
    // '<' appears in JSON inside strings only, where \u003c means the same;
    // without it the text could close the script element that holds it.
    std::string data;
    for (const char c : embedded.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) {
        data += c == '<' ? std::string_view("\\u003c") : std::string_view(&c, 1);
    }
    const std::string_view page = ViewerPage();
    constexpr std::string_view marker = R"(<script type="application/json" id="snapshots">)";
    const std::size_t at = page.find(marker);
    if (at == std::string_view::npos) {
        throw std::logic_error("the viewer's page has no element for the snapshots");
    }
    out << page.substr(0, at + marker.size()) << data << page.substr(at + marker.size());
}

} // namespace dideverazez::report
