#include "PageStacks.h"
#include "Report.h"

#include "format/SnapshotKeys.h"

#include <nlohmann/json.hpp>

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

// Copies the text of one snapshot (an object the reader checked) without its
// members `stacks`, `objects` and `symbols`: the page names the stacks of all
// its snapshots in one place (PageStacks), and the viewer reads no addresses
// and no objects. Fed the text in pieces; writes it script-safe.
class Trimmed {
public:
    explicit Trimmed(std::ostream& out) : out_(out) {}

    void Copy(std::string_view piece) {
        kept_.clear();
        for (const char c : piece) {
            Take(c);
        }
        WriteScriptSafe(out_, kept_);
    }

private:
    // Where the text is: before the object, between its members (a key
    // expected), in a key, in a member after its key, after the object.
    enum class At { Start, Between, Key, Member, End };

    void Take(char c) {
        switch (at_) {
        case At::Start:
            if (c == '{') {
                kept_ += c;
                at_ = At::Between;
            }
            return;
        case At::Between:
            if (c == '"') {
                key_.assign(1, c);
                at_ = At::Key;
            } else if (c == '}') {
                kept_ += c;
                at_ = At::End;
            }
            return; // whitespace and the commas between members, written anew
        case At::Key:
            key_ += c;
            if (escaped_) {
                escaped_ = false;
            } else if (c == '\\') {
                escaped_ = true;
            } else if (c == '"') {
                const std::string_view name(key_.data() + 1, key_.size() - 2); // unquoted
                skip_ = name == format::keys::kStacks || name == format::keys::kObjects ||
                        name == "symbols";
                if (!skip_) {
                    kept_ += members_++ == 0 ? "" : ",";
                    kept_ += key_;
                }
                at_ = At::Member;
            }
            return;
        case At::Member:
            Member(c);
            return;
        case At::End:
            return;
        }
    }

    void Member(char c) {
        if (inString_) {
            if (escaped_) {
                escaped_ = false;
            } else if (c == '\\') {
                escaped_ = true;
            } else if (c == '"') {
                inString_ = false;
            }
        } else if (c == '"') {
            inString_ = true;
        } else if (c == '{' || c == '[') {
            ++depth_;
        } else if (depth_ == 0 && (c == ',' || c == '}')) {
            at_ = At::Between;
            Take(c); // the next member, or the object's end
            return;
        } else if (c == '}' || c == ']') {
            --depth_;
        }
        if (!skip_) {
            kept_ += c;
        }
    }

    std::ostream& out_;
    std::string kept_; // of the piece being copied
    At at_ = At::Start;
    std::string key_;   // the key read, with its quotes, as written
    bool skip_ = false; // whether the member being read is left out
    bool inString_ = false;
    bool escaped_ = false;  // after a backslash in a string
    std::size_t depth_ = 0; // of the brackets open in the member's value
    std::size_t members_ = 0;
};

// The page's names of the frames of its stacks: {"names": [...], "tables":
// [[[name indices, innermost first], ...], ...]}, each table the stacks of
// the snapshots that refer to it by index.
void WriteStacks(std::ostream& out, const PageStacks& stacks) {
    out << R"({"names":[)";
    const char* comma = "";
    for (const std::string& name : stacks.Names()) {
        out << comma;
        comma = ",";
        WriteScriptSafe(out, Dump(name));
    }
    out << R"(],"tables":[)";
    for (std::size_t t = 0; t < stacks.TableCount(); ++t) {
        out << (t == 0 ? "[" : ",[");
        const std::vector<PageStacks::Named>& table = stacks.Stacks(t);
        for (std::size_t i = 0; i < table.size(); ++i) {
            out << (i == 0 ? "[" : ",[");
            for (std::size_t k = 0; k < table[i].size(); ++k) {
                out << (k == 0 ? "" : ",") << table[i][k];
            }
            out << ']';
        }
        out << ']';
    }
    out << "]}";
}

// Where the text after `marker` begins in `page`.
std::size_t After(std::string_view page, std::string_view marker) {
    const std::size_t at = page.find(marker);
    if (at == std::string_view::npos) {
        throw std::logic_error("the viewer's page has no element " + std::string(marker));
    }
    return at + marker.size();
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
        // Roots are distinguished as the page does: by path, and rank among the
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
    const std::size_t snapshotsAt =
        After(page, R"(<script type="application/json" id="snapshots">)");
    const std::size_t stacksAt = After(page, R"(<script type="application/json" id="stacks">)");
    if (stacksAt < snapshotsAt) {
        throw std::logic_error("the viewer's page has its stacks before its snapshots");
    }
    out << page.substr(0, snapshotsAt) << '[';
    PageStacks stacks;
    bool first = true;
    for (const std::unique_ptr<File>& file : files_) {
        const std::string name = Dump(file->name);
        for (const Place& place : file->shown) {
            out << (first ? "" : ",") << "{\"file\":";
            first = false;
            WriteScriptSafe(out, name);
            if (place.stacks) {
                out << ",\"stacks\":" << stacks.TableOf(file->reader->ReadAt(place))
                    << ",\"snapshot\":";
                Trimmed trimmed(out);
                file->reader->CopyAt(place, [&](std::string_view piece) { trimmed.Copy(piece); });
            } else {
                out << ",\"snapshot\":";
                file->reader->CopyAt(place,
                                     [&](std::string_view piece) { WriteScriptSafe(out, piece); });
            }
            out << '}';
        }
    }
    out << ']' << page.substr(snapshotsAt, stacksAt - snapshotsAt);
    WriteStacks(out, stacks);
    out << page.substr(stacksAt);
}

} // namespace dideverazez::report
