#include "Report.h"

#include <stdexcept>
#include <string_view>

namespace dideverazez::report {

// cli/viewer/index.html with its style sheet and script inlined, generated at
// build time by Embed.cmake.
std::string_view ViewerPage();

void WriteHtml(std::ostream& out, const std::vector<SnapshotFile>& files) {
    nlohmann::json embedded = nlohmann::json::array();
    for (const SnapshotFile& file : files) {
        for (const Snapshot& snapshot : file.snapshots) {
            embedded.push_back({{"file", file.name}, {"snapshot", snapshot.document}});
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
