#include "Snapshot.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <unordered_map>

namespace dideverazez::report {
namespace {

using nlohmann::json;

// A value of a document and its JSON pointer, for messages.
struct Node {
    const json& value;
    std::string pointer;
};

// The checks of one document; every failure names the file, the line where
// the document starts and the JSON pointer of what is wrong.
class Document {
public:
    Document(const std::string& file, std::size_t line) : file_(file), line_(line) {}

    [[noreturn]] void Fail(const std::string& pointer, const std::string& what) const {
        throw ReadError(file_ + ":" + std::to_string(line_) + ": not a snapshot: " +
                        (pointer.empty() ? "the document" : pointer) + ": " + what);
    }

    Node Member(const Node& object, const char* key) const {
        if (!object.value.is_object()) {
            Fail(object.pointer, "expected an object");
        }
        const auto found = object.value.find(key);
        if (found == object.value.end()) {
            Fail(object.pointer + "/" + key, "missing");
        }
        return {*found, object.pointer + "/" + key};
    }

    const json& Array(const Node& node) const {
        if (!node.value.is_array()) {
            Fail(node.pointer, "expected an array");
        }
        return node.value;
    }

    std::int64_t Integer(const Node& node) const {
        // An unsigned value above the signed range is no figure of the library.
        if (node.value.is_number_unsigned() &&
            node.value.get<std::uint64_t>() >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            Fail(node.pointer, "out of the range of a 64-bit figure");
        }
        if (!node.value.is_number_integer()) {
            Fail(node.pointer, "expected an integer");
        }
        return node.value.get<std::int64_t>();
    }

    // A member that may be absent; `object` is known to be an object.
    std::optional<Node> Optional(const Node& object, const char* key) const {
        const auto found = object.value.find(key);
        if (found == object.value.end()) {
            return std::nullopt;
        }
        return Node{*found, object.pointer + "/" + key};
    }

    // A count or size: an integer from 0.
    std::int64_t Count(const Node& node) const {
        const std::int64_t value = Integer(node);
        if (value < 0) {
            Fail(node.pointer, "expected a non-negative integer");
        }
        return value;
    }

    // An address of the process: any integer from 0 to 2^64 - 1.
    std::uint64_t Address(const Node& node) const {
        if (!node.value.is_number_unsigned() &&
            !(node.value.is_number_integer() && node.value.get<std::int64_t>() >= 0)) {
            Fail(node.pointer, "expected an address: an integer from 0 to 2^64 - 1");
        }
        return node.value.get<std::uint64_t>();
    }

    std::string String(const Node& node) const {
        if (!node.value.is_string()) {
            Fail(node.pointer, "expected a string");
        }
        return node.value.get<std::string>();
    }

    Metrics ReadMetrics(const Node& node) const {
        // Braced initialisers run in order: the first bad word is the one named.
        return {Integer(Member(node, "time_total")),   Integer(Member(node, "self_peak")),
                Integer(Member(node, "memory_peak")),  Integer(Member(node, "memory_current")),
                Integer(Member(node, "memory_cumul")), Integer(Member(node, "count_current")),
                Integer(Member(node, "count_cumul"))};
    }

    Items ReadItems(const Node& statistics, const char* key) const {
        const Node items = Member(Member(statistics, key), "items");
        if (Array(items).size() != 3) {
            Fail(items.pointer, "expected three figures: current, peak, cumulative");
        }
        const auto at = [&](std::size_t i) {
            return Integer({items.value[i], items.pointer + "/" + std::to_string(i)});
        };
        return {at(0), at(1), at(2)};
    }

    // The `sites` of an engine or retired entry, when it has them; every
    // stack index names one of the snapshot's `stacks`.
    std::vector<Site> ReadSites(const Node& owner, std::size_t stacks) const {
        std::vector<Site> sites;
        const std::optional<Node> list = Optional(owner, "sites");
        if (!list) {
            return sites;
        }
        for (std::size_t i = 0; i < Array(*list).size(); ++i) {
            const Node node{list->value[i], list->pointer + "/" + std::to_string(i)};
            const Node stack = Member(node, "stack");
            const std::int64_t index = Count(stack);
            if (static_cast<std::uint64_t>(index) >= stacks) {
                Fail(stack.pointer, "no stack " + std::to_string(index) + ": the snapshot has " +
                                        std::to_string(stacks) +
                                        (stacks == 1 ? " stack" : " stacks"));
            }
            const Node inUse = Member(node, "in_use");
            const Node allocated = Member(node, "allocated");
            Site site;
            site.stack = static_cast<std::size_t>(index);
            site.inUseBytes = Count(Member(inUse, "bytes"));
            site.inUseBlocks = Count(Member(inUse, "blocks"));
            site.allocatedBytes = Count(Member(allocated, "bytes"));
            site.allocatedBlocks = Count(Member(allocated, "blocks"));
            sites.push_back(site);
        }
        return sites;
    }

    // `sampling`, `stacks` and `objects`, each optional.
    void ReadSampling(const Node& root, Snapshot& snapshot) const {
        if (const std::optional<Node> sampling = Optional(root, "sampling")) {
            const Node bytes = Member(*sampling, "bytes");
            snapshot.samplingBytes = Integer(bytes);
            if (snapshot.samplingBytes < 1) {
                Fail(bytes.pointer, "expected a whole number of bytes from 1");
            }
        }
        if (const std::optional<Node> stacks = Optional(root, "stacks")) {
            for (std::size_t i = 0; i < Array(*stacks).size(); ++i) {
                const Node stack{stacks->value[i], stacks->pointer + "/" + std::to_string(i)};
                std::vector<std::uint64_t> frames;
                for (std::size_t j = 0; j < Array(stack).size(); ++j) {
                    frames.push_back(
                        Address({stack.value[j], stack.pointer + "/" + std::to_string(j)}));
                }
                snapshot.stacks.push_back(std::move(frames));
            }
        }
        if (const std::optional<Node> objects = Optional(root, "objects")) {
            for (std::size_t i = 0; i < Array(*objects).size(); ++i) {
                const Node node{objects->value[i], objects->pointer + "/" + std::to_string(i)};
                Object object;
                object.path = String(Member(node, "path"));
                const Node buildId = Member(node, "build_id");
                object.buildId = String(buildId);
                if (object.buildId.size() % 2 != 0 ||
                    object.buildId.find_first_not_of("0123456789abcdefABCDEF") !=
                        std::string::npos) {
                    Fail(buildId.pointer, "expected hex digits, two a byte");
                }
                object.base = Address(Member(node, "base"));
                object.start = Address(Member(node, "start"));
                const Node end = Member(node, "end");
                object.end = Address(end);
                if (object.end < object.start) {
                    Fail(end.pointer, "below start");
                }
                object.offset = Address(Member(node, "offset"));
                snapshot.objects.push_back(std::move(object));
            }
        }
    }

    // The engines of one tree, appended to `out` depth first.
    void ReadTree(const Node& tree, std::size_t stacks, std::vector<Engine>& out) const {
        const Node list = Member(tree, "engines");
        if (Array(list).empty()) {
            Fail(list.pointer, "a tree without engines");
        }
        std::vector<Engine> engines;
        std::vector<std::vector<std::size_t>> children(list.value.size());
        std::unordered_map<std::string, std::size_t> byAddress;
        for (std::size_t i = 0; i < list.value.size(); ++i) {
            const Node node{list.value[i], list.pointer + "/" + std::to_string(i)};
            Engine engine;
            engine.path = String(Member(node, "path"));
            const Node name = Member(node, "name");
            engine.name = name.value.is_null() ? "<noname>" : String(name);
            engine.address = String(Member(node, "address"));
            engine.kind = String(Member(node, "kind"));
            engine.bornMs = Integer(Member(node, "born_ms"));
            engine.metrics = ReadMetrics(Member(node, "metrics"));
            const Node statistics = Member(node, "statistics");
            engine.globalItems = ReadItems(statistics, "global");
            engine.selfItems = ReadItems(statistics, "self");
            engine.pageItems = ReadItems(statistics, "pages");
            engine.pooledItems = ReadItems(statistics, "pooled");
            engine.sites = ReadSites(node, stacks);
            const Node parent = Member(node, "parent");
            if (i == 0 && !parent.value.is_null()) {
                Fail(parent.pointer,
                     "the first engine of a tree is its root, whose parent is null");
            }
            if (i > 0) {
                if (parent.value.is_null()) {
                    Fail(parent.pointer, "a second root in one tree");
                }
                const auto found = byAddress.find(String(parent));
                if (found == byAddress.end()) {
                    Fail(parent.pointer, "names no earlier engine of this tree");
                }
                children[found->second].push_back(i);
                engine.depth = engines[found->second].depth + 1;
            }
            if (!byAddress.emplace(engine.address, i).second) {
                Fail(node.pointer + "/address", "the address of an earlier engine of this tree");
            }
            engines.push_back(std::move(engine));
        }
        // Depth first without recursion: a tree may be deeper than the stack.
        std::vector<std::size_t> pending{0};
        while (!pending.empty()) {
            const std::size_t at = pending.back();
            pending.pop_back();
            out.push_back(std::move(engines[at]));
            pending.insert(pending.end(), children[at].rbegin(), children[at].rend());
        }
    }

    Snapshot Read(const json& value) const {
        const Node root{value, ""};
        Snapshot snapshot;
        const Node format = Member(root, "format");
        if (String(format) != "dideverazez-snapshot") {
            Fail(format.pointer, "not \"dideverazez-snapshot\"");
        }
        const Node version = Member(root, "version");
        if (Integer(version) != 1) {
            Fail(version.pointer,
                 "version " + version.value.dump() + "; this tool reads version 1");
        }
        snapshot.process = Integer(Member(root, "process"));
        snapshot.takenMs = Integer(Member(root, "taken_ms"));
        ReadSampling(root, snapshot);
        const Node trees = Member(root, "trees");
        for (std::size_t i = 0; i < Array(trees).size(); ++i) {
            ReadTree({trees.value[i], trees.pointer + "/" + std::to_string(i)},
                     snapshot.stacks.size(), snapshot.engines);
        }
        const Node retired = Member(root, "retired");
        for (std::size_t i = 0; i < Array(retired).size(); ++i) {
            const Node node{retired.value[i], retired.pointer + "/" + std::to_string(i)};
            snapshot.retired.push_back(
                {String(Member(node, "path")), Integer(Member(node, "handles")),
                 Integer(Member(node, "born_ms")), Integer(Member(node, "died_ms")),
                 ReadMetrics(Member(node, "metrics")), ReadSites(node, snapshot.stacks.size())});
        }
        return snapshot;
    }

private:
    const std::string& file_;
    std::size_t line_;
};

// "LINE:COLUMN" (both from 1) of the character at `offset`; the end of the
// text is the column after its last character.
std::string Position(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    const std::string_view before = text.substr(0, offset);
    const std::size_t lineStart = before.rfind('\n') + 1; // npos + 1 is 0
    const auto lines = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    return std::to_string(lines + 1) + ":" + std::to_string(offset - lineStart + 1);
}

// nlohmann's message without its prefixes: "[json.exception.parse_error.101]
// parse error at line 1, column 2: what" gives "what".
std::string Description(const nlohmann::json::exception& error) {
    std::string what = error.what();
    what.erase(0, what.find("] ") == std::string::npos ? 0 : what.find("] ") + 2);
    if (what.rfind("parse error", 0) == 0 && what.find(": ") != std::string::npos) {
        what.erase(0, what.find(": ") + 2);
    }
    return what;
}

// Builds one document from nlohmann's parsing events, as its own reader does
// (a repeated key keeps its last value), and refuses a container that would
// open deeper than kMaxNesting, the moment its bracket is read: the parser
// keeps its own state on the heap, and so does this, so no depth of input
// reaches the stack before it is refused.
class Builder {
public:
    // `text` is what `in` reads; `file` names it in messages.
    Builder(json& root, std::istream& in, std::string_view text, const std::string& file)
        : root_(root), in_(in), text_(text), file_(file) {}

    bool null() { return Add(nullptr); }
    bool boolean(bool value) { return Add(value); }
    bool number_integer(json::number_integer_t value) { return Add(value); }
    bool number_unsigned(json::number_unsigned_t value) { return Add(value); }
    bool number_float(json::number_float_t value, const json::string_t& /*text*/) {
        return Add(value);
    }
    bool string(json::string_t& value) { return Add(std::move(value)); }
    bool binary(json::binary_t& value) { return Add(std::move(value)); }
    bool start_object(std::size_t /*size*/) { return Open(json::object()); }
    bool start_array(std::size_t /*size*/) { return Open(json::array()); }
    bool end_object() { return Close(); }
    bool end_array() { return Close(); }
    bool key(json::string_t& key) {
        member_ = &(*open_.back())[std::move(key)];
        return true;
    }
    // The parser's own error, thrown as it made it (parse_error or out_of_range).
    template <class Exception>
    bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                     const Exception& error) {
        throw error;
    }

private:
    // `value` in its place: the document itself, the next element of the
    // innermost open array, or the member whose key came last. Returns true.
    bool Add(json value) {
        Place() = std::move(value);
        return true;
    }

    json& Place() {
        if (open_.empty()) {
            return root_;
        }
        if (open_.back()->is_array()) {
            open_.back()->push_back(nullptr);
            return open_.back()->back();
        }
        return *member_;
    }

    // Open containers are each the last value of the one around them, which
    // gets no new value until they close: their addresses stay valid.
    bool Open(json container) {
        if (open_.size() == kMaxNesting) {
            // The stream reads one character at a time and the parser reports
            // a container as soon as it reads the bracket: the bracket is the
            // character before the stream's position.
            const auto next = in_.rdbuf()->pubseekoff(0, std::ios::cur, std::ios::in);
            const std::size_t at = next > 0 ? static_cast<std::size_t>(next) - 1 : 0;
            throw ReadError(file_ + ":" + Position(text_, at) +
                            ": not a snapshot: nested deeper than " + std::to_string(kMaxNesting) +
                            " levels");
        }
        json& place = Place();
        place = std::move(container);
        open_.push_back(&place);
        return true;
    }

    bool Close() {
        open_.pop_back();
        return true;
    }

    json& root_;
    std::istream& in_;      // the stream being parsed (held, not owned)
    std::string_view text_; // all of it
    const std::string& file_;
    std::vector<json*> open_; // the containers not yet closed, outermost first
    json* member_ = nullptr;  // the member of the innermost object its last key named
};

} // namespace

std::vector<Snapshot> ParseSnapshots(std::string_view text, const std::string& file) {
    // nlohmann's stream reader stops right after a document's closing brace, so
    // one stream reads a series document by document; its positions count from
    // the start of the document being read.
    std::istringstream in{std::string(text)};
    std::vector<Snapshot> snapshots;
    std::size_t line = 1;    // the line of `counted`
    std::size_t counted = 0; // the offset up to which lines were counted
    while (!(in >> std::ws).eof()) {
        const auto start = static_cast<std::size_t>(in.tellg());
        json value;
        try {
            Builder builder(value, in, text, file);
            json::sax_parse(static_cast<std::istream&>(in), &builder, json::input_format_t::json,
                            /*strict=*/false);
        } catch (const json::exception& error) {
            // A parse error knows where it is; a number too large for a double
            // (out_of_range) was the last token read.
            const auto* parse = dynamic_cast<const json::parse_error*>(&error);
            in.clear();
            const auto next = static_cast<std::streamoff>(in.tellg());
            std::size_t last = text.size();
            if (parse != nullptr) {
                last = start + std::max<std::size_t>(parse->byte, 1) - 1;
            } else if (next > 0) {
                last = static_cast<std::size_t>(next) - 1;
            }
            throw ReadError(file + ":" + Position(text, last) +
                            ": malformed JSON: " + Description(error));
        }
        line += static_cast<std::size_t>(
            std::count(text.begin() + counted, text.begin() + start, '\n'));
        counted = start;
        const Document document(file, line);
        snapshots.push_back(document.Read(value));
        snapshots.back().document = std::move(value);
    }
    if (snapshots.empty()) {
        throw ReadError(file + ": empty: no snapshot in it");
    }
    return snapshots;
}

std::vector<Snapshot> ReadSnapshots(const std::string& file) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(std::fopen(file.c_str(), "rb"),
                                                                 &std::fclose);
    if (!stream) {
        throw ReadError(file + ": cannot open: " + std::strerror(errno));
    }
    std::string text;
    char buffer[1 << 16];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, stream.get())) > 0) {
        text.append(buffer, got);
    }
    if (std::ferror(stream.get())) {
        throw ReadError(file + ": cannot read: " + std::strerror(errno));
    }
    return ParseSnapshots(text, file);
}

} // namespace dideverazez::report
