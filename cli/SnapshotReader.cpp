// The reading of snapshot documents (SnapshotReader.h): the checks of one
// element's values (Node and the functions after it), the Handler that builds
// a Snapshot from nlohmann's SAX events, and the reader that runs it over a
// ByteSource, document after document.
//
// The file stays whole, past 600 lines, because the Handler does: following
// the parser's events (open containers, values skipped or captured, the
// nesting bound) and checking each element as it closes (the tree being
// read, the sites waiting for the stacks, the first error of each section)
// share the state of the one document being read, and either half split off
// would reach into the other's.

#include "SnapshotReader.h"

#include "format/SnapshotKeys.h"

#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>
#if defined(_WIN32)
#include <windows.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>

namespace dideverazez::report {

using nlohmann::json;

namespace {

namespace keys = format::keys;

// A value of an element and where it is, for messages: its JSON pointer is
// made only when a check fails. A Node refers to its parent, which must
// outlive it: checks keep the Nodes they descend through in variables.
struct Node {
    const json& value;
    const Node* parent = nullptr;
    const char* key = nullptr; // its key in its parent; null: `index` is its place
    std::size_t index = 0;
    const std::string* base = nullptr; // a top Node's own pointer

    std::string Pointer() const {
        if (parent == nullptr) {
            return base == nullptr ? std::string() : *base;
        }
        std::string pointer = parent->Pointer();
        pointer += '/';
        pointer += key != nullptr ? std::string(key) : std::to_string(index);
        return pointer;
    }
};

Node At(const Node& parent, const json& value, const char* key) {
    return {value, &parent, key};
}
Node At(const Node& parent, const json& value, std::size_t index) {
    return {value, &parent, nullptr, index};
}

// What is wrong, where: thrown by the checks, recorded by the reader.
struct CheckError {
    std::string pointer;
    std::string what;
};

[[noreturn]] void Fail(const Node& node, const std::string& what) {
    throw CheckError{node.Pointer(), what};
}

Node Member(const Node& object, const char* key) {
    if (!object.value.is_object()) {
        Fail(object, "expected an object");
    }
    const auto found = object.value.find(key);
    if (found == object.value.end()) {
        throw CheckError{object.Pointer() + "/" + key, "missing"};
    }
    return At(object, *found, key);
}

const json& Array(const Node& node) {
    if (!node.value.is_array()) {
        Fail(node, "expected an array");
    }
    return node.value;
}

// The reader keeps an integer literal beyond 64 bits (2^70) as a NaN, which
// JSON cannot hold, so that it is distinguished from a number that is no
// integer.
std::int64_t Integer(const Node& node) {
    // An unsigned value above the signed range is no counter of the library.
    if ((node.value.is_number_unsigned() &&
         node.value.get<std::uint64_t>() >
             static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) ||
        (node.value.is_number_float() && std::isnan(node.value.get<double>()))) {
        Fail(node, "out of the range of a 64-bit integer");
    }
    if (!node.value.is_number_integer()) {
        Fail(node, "expected an integer");
    }
    return node.value.get<std::int64_t>();
}

// A count or size: an integer from 0.
std::int64_t Count(const Node& node) {
    const std::int64_t value = Integer(node);
    if (value < 0) {
        Fail(node, "expected a non-negative integer");
    }
    return value;
}

// An address of the process: any integer from 0 to 2^64 - 1.
std::uint64_t Address(const Node& node) {
    if (!node.value.is_number_unsigned() &&
        !(node.value.is_number_integer() && node.value.get<std::int64_t>() >= 0)) {
        Fail(node, "expected an address: an integer from 0 to 2^64 - 1");
    }
    return node.value.get<std::uint64_t>();
}

std::string String(const Node& node) {
    if (!node.value.is_string()) {
        Fail(node, "expected a string");
    }
    return node.value.get<std::string>();
}

Metrics ReadMetrics(const Node& node) {
    // In the order of the words: the first bad one is the one named.
    Metrics m;
    m.timeTotal = Integer(Member(node, keys::kTimeTotal));
    m.selfPeak = Integer(Member(node, keys::kSelfPeak));
    m.memoryPeak = Integer(Member(node, keys::kMemoryPeak));
    m.memoryCurrent = Integer(Member(node, keys::kMemoryCurrent));
    m.memoryCumul = Integer(Member(node, keys::kMemoryCumul));
    m.countCurrent = Integer(Member(node, keys::kCountCurrent));
    m.countCumul = Integer(Member(node, keys::kCountCumul));
    return m;
}

Items ReadItems(const Node& statistics, const char* key) {
    const Node statistic = Member(statistics, key);
    const Node items = Member(statistic, keys::kItems);
    if (Array(items).size() != 3) {
        Fail(items, "expected three values: current, peak, cumulative");
    }
    return {Integer(At(items, items.value[0], std::size_t{0})),
            Integer(At(items, items.value[1], std::size_t{1})),
            Integer(At(items, items.value[2], std::size_t{2}))};
}

// The current value of a declared amount, statistics/used/bytes or
// statistics/reserved, which only `metrics` needs: 0, with `unread` naming the
// first one missing or malformed, rather than an error for the snapshot.
std::int64_t Declared(const Node& statistics, const char* key, std::string& unread) {
    const bool used = std::string_view(key) == keys::kUsed; // its values are under `bytes`
    std::string pointer = statistics.Pointer() + "/" + key;
    if (used) {
        pointer = pointer + "/" + keys::kBytes;
    }
    const json* triple = nullptr;
    if (statistics.value.is_object()) {
        if (const auto statistic = statistics.value.find(key);
            statistic != statistics.value.end()) {
            triple = &*statistic;
            if (used) {
                const auto bytes =
                    statistic->is_object() ? statistic->find(keys::kBytes) : statistic->end();
                triple = statistic->is_object() && bytes != statistic->end() ? &*bytes : nullptr;
            }
        }
    }
    if (triple == nullptr || !triple->is_array() || triple->size() != 3 ||
        !(*triple)[0].is_number_integer() ||
        ((*triple)[0].is_number_unsigned() &&
         (*triple)[0].get<std::uint64_t>() >
             static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))) {
        if (unread.empty()) {
            unread = pointer;
        }
        return 0;
    }
    return (*triple)[0].get<std::int64_t>();
}

// The sections of a document: its keys in the order they are checked, so that
// of two things wrong the one named is the same whatever the order of the
// keys in the file. Those before `stacks` are small and are checked
// once the document has closed; the others are checked element by element as
// they are read, and only the first thing wrong in each is kept.
enum Section : std::size_t {
    kFormat,
    kVersion,
    kProcess,
    kTakenMs,
    kSampling,
    kProgram,
    kAtExit,
    kStacks,
    kObjects,
    kTrees,
    kRetired,
    kSections
};
constexpr std::array<const char*, kSections> kKeys = {
    keys::kFormat, keys::kVersion, keys::kProcess, keys::kTakenMs, keys::kSampling, keys::kProgram,
    keys::kAtExit, keys::kStacks,  keys::kObjects, keys::kTrees,   keys::kRetired};

// A site's stack checked once the document's stacks are known: the library
// writes them before the trees, another writer may not.
struct PendingStack {
    std::string pointer;
    std::int64_t index;
};

// One tree being read: its engines in the file's order.
struct Tree {
    std::size_t index = 0;
    bool sawEngines = false;
    std::vector<Engine> engines;
    std::vector<std::vector<std::size_t>> children;
    std::unordered_map<std::string, std::size_t> byAddress;
};

// nlohmann's message without its prefixes: "[json.exception.parse_error.101]
// parse error at line 1, column 2: what" gives "what". The token it quotes
// ("last read: '...'", "parsing '...'") may be as long as kMaxString: past 64
// bytes only its first and last 32 are kept, each cut at a character.
std::string Description(const json::exception& error) {
    std::string what = error.what();
    what.erase(0, what.find("] ") == std::string::npos ? 0 : what.find("] ") + 2);
    if (what.rfind("parse error", 0) == 0 && what.find(": ") != std::string::npos) {
        what.erase(0, what.find(": ") + 2);
    }
    std::size_t open = std::string::npos;
    for (const std::string_view opener : {"last read: '", "parsing '"}) {
        if (open == std::string::npos && what.find(opener) != std::string::npos) {
            open = what.find(opener) + opener.size();
        }
    }
    std::size_t close = what.rfind("'; expected");
    close = close != std::string::npos ? close : what.size() - 1;
    constexpr std::size_t kShown = 32;
    if (open != std::string::npos && close > open && close - open > 2 * kShown) {
        const auto follows = [&](std::size_t at) { return (what[at] & 0xC0) == 0x80; };
        std::size_t head = open + kShown;
        while (head > open && follows(head)) {
            --head;
        }
        std::size_t tail = close - kShown;
        while (tail < close && follows(tail)) {
            ++tail;
        }
        what.replace(head, tail - head, "...");
    }
    return what;
}

// Builds one small value from nlohmann's events, as its own reader does (a
// repeated key keeps its last value); an integer literal beyond 64 bits is
// kept as a NaN.
class Capture {
public:
    json value;

    // Whether the value is whole.
    bool Add(json item) {
        Place() = std::move(item);
        return open_.empty();
    }
    void Open(json container) {
        json& place = Place();
        place = std::move(container);
        open_.push_back(&place);
    }
    bool Close() {
        open_.pop_back();
        return open_.empty();
    }
    void Key(std::string& key) { member_ = &(*open_.back())[std::move(key)]; }
    std::size_t Depth() const { return open_.size(); }
    void Reset() {
        value = json();
        open_.clear();
        member_ = nullptr;
    }

private:
    json& Place() {
        if (open_.empty()) {
            return value;
        }
        if (open_.back()->is_array()) {
            open_.back()->push_back(nullptr);
            return open_.back()->back();
        }
        return *member_;
    }

    // Open containers are each the last value of the one around them, which
    // gets no new value until they close: their addresses stay valid.
    std::vector<json*> open_;
    json* member_ = nullptr;
};

// The reading of one document from nlohmann's events into a Snapshot, and
// its checks. Containers deeper than kMaxNesting are an error the moment
// their bracket is read: the parser keeps its own state on the heap, and so
// does this, so no depth of input reaches the stack.
class Handler {
public:
    Handler(ByteSource& source, const std::string& file, std::size_t line, Snapshot& snapshot)
        : source_(source), file_(file), line_(line), snapshot_(snapshot) {}

    bool null() { return Value(nullptr); }
    bool boolean(bool value) { return Value(value); }
    bool number_integer(json::number_integer_t value) { return Value(value); }
    bool number_unsigned(json::number_unsigned_t value) { return Value(value); }
    bool number_float(json::number_float_t value, const json::string_t& text) {
        // The parser reads an integer too large for 64 bits as a double.
        const bool integer = text.find_first_of(".eE") == std::string::npos;
        return Value(integer ? std::numeric_limits<double>::quiet_NaN() : value);
    }
    bool string(json::string_t& value) { return Value(std::move(value)); }
    bool binary(json::binary_t& value) { return Value(std::move(value)); }
    bool start_object(std::size_t /*size*/) { return Open(true); }
    bool start_array(std::size_t /*size*/) { return Open(false); }
    bool end_object() { return Close(); }
    bool end_array() { return Close(); }
    bool key(json::string_t& key) {
        if (skip_ > 0) {
            return true;
        }
        if (capturing_) {
            capture_.Key(key);
            return true;
        }
        Frame& frame = frames_.back();
        if (frame.kind == Kind::kRoot) {
            const auto found = std::find(kKeys.begin(), kKeys.end(), key);
            frame.key =
                found == kKeys.end() ? kSections : static_cast<Section>(found - kKeys.begin());
            if (frame.key >= kStacks && frame.key < kSections) {
                ResetSection(frame.key); // a repeated key keeps its last value
            }
        } else if (frame.kind == Kind::kTree) {
            frame.key = key == keys::kEngines ? kTrees : kSections;
            if (frame.key == kTrees) {
                tree_.sawEngines = true;
                tree_.engines.clear();
                tree_.children.clear();
                tree_.byAddress.clear();
            }
        }
        return true;
    }
    template <class Exception>
    bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                     const Exception& error) {
        throw error;
    }

    // Where the document's text starts and ends, its braces included.
    std::uint64_t open_ = 0;
    std::uint64_t close_ = 0;

    // After the parser: the checks of the whole, the first thing wrong thrown
    // as a ReadError.
    void Finish() {
        if (!errors_[kFormat]) {
            CheckRoot();
        }
        for (std::size_t section = kFormat; section < kSections; ++section) {
            if (!errors_[section] && (section == kTrees || section == kRetired)) {
                if (!seen_[section]) {
                    errors_[section] = CheckError{std::string("/") + kKeys[section], "missing"};
                }
                CheckPending(static_cast<Section>(section));
            }
            if (errors_[section]) {
                const CheckError& r = *errors_[section];
                throw ReadError(file_ + ":" + std::to_string(line_) + ": not a snapshot: " +
                                (r.pointer.empty() ? "the document" : r.pointer) + ": " + r.what);
            }
        }
        // Only a repeated `stacks` after the sites can leave one out of range.
        const std::size_t stacks = snapshot_.stacks.size();
        const auto outside = [stacks](const std::vector<Site>& sites) {
            return std::any_of(sites.begin(), sites.end(),
                               [stacks](const Site& site) { return site.stack >= stacks; });
        };
        if (std::any_of(snapshot_.engines.begin(), snapshot_.engines.end(),
                        [&](const Engine& e) { return outside(e.sites); }) ||
            std::any_of(snapshot_.retired.begin(), snapshot_.retired.end(),
                        [&](const Retired& r) { return outside(r.sites); })) {
            throw ReadError(file_ + ":" + std::to_string(line_) +
                            ": not a snapshot: /stacks: fewer stacks than its sites name");
        }
    }

private:
    enum class Kind { kRoot, kSection, kTree, kEngines };
    struct Frame {
        Kind kind;
        Section key = kSections; // kRoot: the section of the last key; kTree: kTrees for engines
        std::size_t count = 0;   // kSection, kEngines: the elements so far
    };
    // What a captured value is.
    struct Target {
        Section section = kSections;
        std::size_t index = 0; // its place in its array
        bool engine = false;
    };

    bool Failed(Section section) const { return errors_[section].has_value(); }
    void Record(Section section, CheckError error) {
        if (!errors_[section]) {
            errors_[section] = std::move(error);
        }
    }

    void ResetSection(Section section) {
        errors_[section].reset();
        pending_[section].clear();
        seen_[section] = true;
        switch (section) {
        case kStacks:
            snapshot_.stacks.clear();
            stacksKnown_ = false;
            break;
        case kObjects:
            snapshot_.objects.clear();
            break;
        case kTrees:
            snapshot_.engines.clear();
            break;
        default:
            snapshot_.retired.clear();
            break;
        }
    }

    [[noreturn]] void TooDeep() {
        // The parser reports a container as soon as it reads the bracket: the
        // bracket is the byte before the source's position.
        throw ReadError(file_ + ":" + source_.Position(source_.Offset() - 1) +
                        ": not a snapshot: nested deeper than " + std::to_string(kMaxNesting) +
                        " levels");
    }

    std::string SectionPointer(Section section, std::size_t index) const {
        return std::string("/") + kKeys[section] + "/" + std::to_string(index);
    }

    // The pointer of the engines of the tree being read.
    std::string EnginesPointer() const {
        return SectionPointer(kTrees, tree_.index) + "/" + keys::kEngines;
    }

    // What the value starting now is, given the container it is in: an
    // element to capture (true), or a structure or a value to skip (false).
    // `object` is whether it opens an object, `container` whether it opens
    // anything.
    bool Begin(bool container, bool object) {
        if (frames_.empty()) {
            if (object) {
                frames_.push_back({Kind::kRoot});
                open_ = source_.Offset() - 1;
            } else {
                Record(kFormat, {"", "expected an object"});
                Skip(container);
            }
            return false;
        }
        Frame& frame = frames_.back();
        switch (frame.kind) {
        case Kind::kRoot:
            if (frame.key < kStacks) {
                target_ = {frame.key};
                return true;
            }
            if (frame.key == kSections || Failed(frame.key)) {
                Skip(container);
            } else if (container && !object) {
                frames_.push_back({Kind::kSection, frame.key});
            } else {
                Record(frame.key, {std::string("/") + kKeys[frame.key], "expected an array"});
                Skip(container);
            }
            return false;
        case Kind::kSection: {
            const std::size_t index = frame.count++;
            if (Failed(frame.key)) {
                Skip(container);
                return false;
            }
            if (frame.key != kTrees) {
                target_ = {frame.key, index};
                return true;
            }
            if (!object) {
                Record(kTrees, {SectionPointer(kTrees, index), "expected an object"});
                Skip(container);
                return false;
            }
            frames_.push_back({Kind::kTree});
            tree_ = Tree{};
            tree_.index = index;
            return false;
        }
        case Kind::kTree:
            if (frame.key != kTrees || Failed(kTrees)) {
                Skip(container);
            } else if (container && !object) {
                frames_.push_back({Kind::kEngines});
            } else {
                Record(kTrees, {EnginesPointer(), "expected an array"});
                Skip(container);
            }
            return false;
        case Kind::kEngines: {
            const std::size_t index = frame.count++;
            if (Failed(kTrees)) {
                Skip(container);
                return false;
            }
            target_ = {kTrees, index, true};
            return true;
        }
        }
        return false;
    }

    void Skip(bool container) { skip_ = container ? 1 : 0; }

    bool Value(json value) {
        if (skip_ > 0) {
            return true;
        }
        if (capturing_) {
            if (capture_.Add(std::move(value))) {
                Captured();
            }
            return true;
        }
        if (Begin(false, false)) {
            capture_.Reset();
            capture_.Add(std::move(value));
            Captured();
        }
        return true;
    }

    bool Open(bool object) {
        if (++depth_ > kMaxNesting) {
            TooDeep();
        }
        if (skip_ > 0) {
            ++skip_;
            return true;
        }
        json container = object ? json::object() : json::array();
        if (capturing_) {
            capture_.Open(std::move(container));
            return true;
        }
        if (Begin(true, object)) {
            capture_.Reset();
            capture_.Open(std::move(container));
            capturing_ = true;
        }
        return true;
    }

    bool Close() {
        --depth_;
        if (skip_ > 0) {
            --skip_;
            return true;
        }
        if (capturing_) {
            if (capture_.Close()) {
                capturing_ = false;
                Captured();
            }
            return true;
        }
        const Frame frame = frames_.back();
        frames_.pop_back();
        switch (frame.kind) {
        case Kind::kRoot:
            close_ = source_.Offset();
            break;
        case Kind::kSection:
            stacksKnown_ = stacksKnown_ || frame.key == kStacks;
            break;
        case Kind::kTree:
            if (!tree_.sawEngines) {
                Record(kTrees, {EnginesPointer(), "missing"});
            }
            if (!Failed(kTrees)) {
                FlushTree();
            }
            break;
        case Kind::kEngines:
            if (frame.count == 0) {
                Record(kTrees, {EnginesPointer(), "a tree without engines"});
            }
            break;
        }
        return true;
    }

    // A captured value is whole: checked and kept.
    void Captured() {
        const Target target = target_;
        if (target.section < kStacks) {
            root_[target.section] = std::move(capture_.value);
            return;
        }
        try {
            std::string base = target.engine ? EnginesPointer() + "/" + std::to_string(target.index)
                                             : SectionPointer(target.section, target.index);
            const Node node{capture_.value, nullptr, nullptr, 0, &base};
            switch (target.section) {
            case kStacks:
                ReadStack(node);
                break;
            case kObjects:
                ReadObject(node);
                break;
            case kRetired:
                ReadRetired(node);
                break;
            default:
                ReadEngine(node, target.index);
                break;
            }
        } catch (CheckError& error) {
            Record(target.section, std::move(error));
        }
    }

    void ReadStack(const Node& stack) {
        std::vector<std::uint64_t> frames;
        frames.reserve(Array(stack).size());
        for (std::size_t j = 0; j < stack.value.size(); ++j) {
            frames.push_back(Address(At(stack, stack.value[j], j)));
        }
        snapshot_.stacks.push_back(std::move(frames));
    }

    void ReadObject(const Node& node) {
        Object object;
        object.path = String(Member(node, keys::kPath));
        const Node buildId = Member(node, keys::kBuildId);
        object.buildId = String(buildId);
        if (object.buildId.size() % 2 != 0 ||
            object.buildId.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            Fail(buildId, "expected hex digits, two a byte");
        }
        object.base = Address(Member(node, keys::kBase));
        object.start = Address(Member(node, keys::kStart));
        const Node end = Member(node, keys::kEnd);
        object.end = Address(end);
        if (object.end < object.start) {
            Fail(end, "below start");
        }
        object.offset = Address(Member(node, keys::kOffset));
        snapshot_.objects.push_back(std::move(object));
    }

    // The `sites` of an engine or retired entry, when it has them; every
    // stack index names one of the snapshot's `stacks`.
    std::vector<Site> ReadSites(const Node& owner, Section section) {
        std::vector<Site> sites;
        if (!owner.value.contains(keys::kSites)) {
            return sites;
        }
        const Node list = Member(owner, keys::kSites);
        sites.reserve(Array(list).size());
        for (std::size_t i = 0; i < list.value.size(); ++i) {
            const Node node = At(list, list.value[i], i);
            const Node stack = Member(node, keys::kStack);
            const std::int64_t index = Count(stack);
            if (stacksKnown_) {
                if (static_cast<std::uint64_t>(index) >= snapshot_.stacks.size()) {
                    Fail(stack, StackMessage(index));
                }
            } else {
                pending_[section].push_back({stack.Pointer(), index});
            }
            const Node inUse = Member(node, keys::kInUse);
            const Node allocated = Member(node, keys::kAllocated);
            Site site;
            site.stack = static_cast<std::size_t>(index);
            site.inUseBytes = Count(Member(inUse, keys::kBytes));
            site.inUseBlocks = Count(Member(inUse, keys::kBlocks));
            site.allocatedBytes = Count(Member(allocated, keys::kBytes));
            site.allocatedBlocks = Count(Member(allocated, keys::kBlocks));
            if (node.value.contains(keys::kAtPeak)) {
                const Node atPeak = Member(node, keys::kAtPeak);
                site.atPeakBytes = Count(Member(atPeak, keys::kBytes));
                site.atPeakBlocks = Count(Member(atPeak, keys::kBlocks));
            }
            sites.push_back(site);
        }
        return sites;
    }

    std::string StackMessage(std::int64_t index) const {
        const std::size_t stacks = snapshot_.stacks.size();
        return "no stack " + std::to_string(index) + ": the snapshot has " +
               std::to_string(stacks) + (stacks == 1 ? " stack" : " stacks");
    }

    // The sites read before the stacks, checked once the document is whole.
    void CheckPending(Section section) {
        for (const PendingStack& site : pending_[section]) {
            if (static_cast<std::uint64_t>(site.index) >= snapshot_.stacks.size()) {
                errors_[section] = CheckError{site.pointer, StackMessage(site.index)};
                return;
            }
        }
    }

    void ReadRetired(const Node& node) {
        Retired retired;
        retired.path = String(Member(node, keys::kPath));
        retired.handles = Integer(Member(node, keys::kHandles));
        retired.bornMs = Integer(Member(node, keys::kBornMs));
        retired.diedMs = Integer(Member(node, keys::kDiedMs));
        retired.metrics = ReadMetrics(Member(node, keys::kMetrics));
        retired.sites = ReadSites(node, kRetired);
        snapshot_.retired.push_back(std::move(retired));
    }

    void ReadEngine(const Node& node, std::size_t i) {
        Engine engine;
        engine.path = String(Member(node, keys::kPath));
        const Node name = Member(node, keys::kName);
        engine.name = name.value.is_null() ? "<noname>" : String(name);
        engine.address = String(Member(node, keys::kAddress));
        engine.kind = String(Member(node, keys::kKind));
        engine.bornMs = Integer(Member(node, keys::kBornMs));
        engine.metrics = ReadMetrics(Member(node, keys::kMetrics));
        const Node statistics = Member(node, keys::kStatistics);
        engine.globalItems = ReadItems(statistics, keys::kGlobal);
        engine.selfItems = ReadItems(statistics, keys::kSelf);
        engine.pageItems = ReadItems(statistics, keys::kPages);
        engine.pooledItems = ReadItems(statistics, keys::kPooled);
        engine.usedBytes = Declared(statistics, keys::kUsed, engine.declaredUnread);
        engine.reservedBytes = Declared(statistics, keys::kReserved, engine.declaredUnread);
        engine.sites = ReadSites(node, kTrees);
        const Node parent = Member(node, keys::kParent);
        if (i == 0 && !parent.value.is_null()) {
            Fail(parent, "the first engine of a tree is its root, whose parent is null");
        }
        if (i > 0) {
            if (parent.value.is_null()) {
                Fail(parent, "a second root in one tree");
            }
            const auto found = tree_.byAddress.find(String(parent));
            if (found == tree_.byAddress.end()) {
                Fail(parent, "names no earlier engine of this tree");
            }
            tree_.children[found->second].push_back(i);
            engine.depth = tree_.engines[found->second].depth + 1;
        }
        if (!tree_.byAddress.emplace(engine.address, i).second) {
            throw CheckError{node.Pointer() + "/" + keys::kAddress,
                             "the address of an earlier engine of this tree"};
        }
        tree_.engines.push_back(std::move(engine));
        tree_.children.emplace_back();
    }

    // The tree's engines appended depth first, without recursion: a tree may
    // be deeper than the stack.
    void FlushTree() {
        if (tree_.engines.empty()) {
            return;
        }
        std::vector<std::size_t> pending{0};
        while (!pending.empty()) {
            const std::size_t at = pending.back();
            pending.pop_back();
            snapshot_.engines.push_back(std::move(tree_.engines[at]));
            pending.insert(pending.end(), tree_.children[at].rbegin(), tree_.children[at].rend());
        }
        tree_ = Tree{};
    }

    // The small keys of the document, in their order.
    void CheckRoot() {
        try {
            const json object = json::object(); // stands for the document in messages
            const std::string empty;
            const Node root{object, nullptr, nullptr, 0, &empty};
            const auto member = [&](Section section) -> Node {
                if (!root_[section]) {
                    throw CheckError{std::string("/") + kKeys[section], "missing"};
                }
                return At(root, *root_[section], kKeys[section]);
            };
            const Node name = member(kFormat);
            if (String(name) != format::kDocumentFormat) {
                Fail(name, std::string("not \"") + format::kDocumentFormat + "\"");
            }
            const Node version = member(kVersion);
            if (Integer(version) != format::kDocumentVersion) {
                Fail(version, "version " + version.value.dump() + "; this tool reads version " +
                                  std::to_string(format::kDocumentVersion));
            }
            snapshot_.process = Integer(member(kProcess));
            snapshot_.takenMs = Integer(member(kTakenMs));
            if (root_[kSampling]) {
                const Node sampling = member(kSampling);
                const Node bytes = Member(sampling, keys::kBytes);
                snapshot_.samplingBytes = Integer(bytes);
                if (snapshot_.samplingBytes < 1) {
                    Fail(bytes, "expected a whole number of bytes from 1");
                }
                if (sampling.value.contains(keys::kPeak)) {
                    const Node peak = Member(sampling, keys::kPeak);
                    snapshot_.peak.bytes = Count(Member(peak, keys::kBytes));
                    snapshot_.peak.blocks = Count(Member(peak, keys::kBlocks));
                    snapshot_.peak.ms = Count(Member(peak, keys::kMs));
                    snapshot_.peak.known = true;
                }
            }
            if (root_[kProgram]) {
                snapshot_.program = String(member(kProgram));
            }
            if (root_[kAtExit]) {
                const Node atExit = member(kAtExit);
                if (!atExit.value.is_boolean()) {
                    Fail(atExit, "expected true or false");
                }
                snapshot_.atExit = atExit.value.get<bool>();
            }
        } catch (CheckError& error) {
            errors_[kFormat] = std::move(error);
        }
    }

    ByteSource& source_;
    const std::string& file_;
    std::size_t line_;
    Snapshot& snapshot_;

    std::size_t depth_ = 0;  // containers open
    std::size_t skip_ = 0;   // containers open inside a value skipped
    bool capturing_ = false; // a value of Target target_ is being built
    Capture capture_;
    Target target_;
    std::vector<Frame> frames_; // the containers open outside captured and skipped values
    Tree tree_;
    bool stacksKnown_ = false; // whether `stacks` was read before
    std::array<std::optional<json>, kStacks> root_;
    std::array<std::optional<CheckError>, kSections> errors_;
    std::array<bool, kSections> seen_{};
    std::array<std::vector<PendingStack>, kSections> pending_;
};

// A file for a copy of what can be read once, deleted when closed. Windows'
// tmpfile makes it in the root of the current drive, which a user may not
// write to: there it is made in the user's folder for temporary files.
std::FILE* ScratchFile() {
#if defined(_WIN32)
    wchar_t folder[MAX_PATH + 1], path[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"dz", 0, path) == 0) {
        errno = ENOENT;
        return nullptr;
    }
    // D: deleted when closed.
    return _wfopen(path, L"w+bD");
#else
    return std::tmpfile();
#endif
}

} // namespace

SnapshotReader::SnapshotReader(const std::string& file, Passes passes, std::uint64_t maxCopy)
    : file_(file) {
    std::FILE* stream = nullptr;
    if (file == "-") {
        // A descriptor of its own: closing the stream leaves standard input open.
        const int input = dup(STDIN_FILENO);
        stream = input < 0 ? nullptr : fdopen(input, "rb");
        if (input >= 0 && stream == nullptr) {
            close(input);
        }
    } else {
        stream = std::fopen(file.c_str(), "rb");
    }
    if (stream == nullptr) {
        const int error = errno;
        struct stat status {};
        // Windows refuses to open a folder where POSIX systems refuse to read it:
        // reported the same way on both.
        if (stat(file.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            throw ReadError(file + ": cannot read: " + std::strerror(EISDIR));
        }
        throw ReadError(file + ": cannot open: " + std::strerror(error));
    }
    struct stat status {};
    std::FILE* copy = nullptr;
    if (passes == Passes::kAgain && fstat(fileno(stream), &status) == 0 &&
        !S_ISREG(status.st_mode)) {
        copy = ScratchFile();
        if (copy == nullptr) {
            const int error = errno;
            std::fclose(stream);
            throw ReadError(file + ": cannot keep a copy: " + std::strerror(error));
        }
    }
    source_ = std::make_unique<ByteSource>(stream, copy, maxCopy, file_);
}

SnapshotReader::SnapshotReader(std::string_view text, std::string file)
    : file_(std::move(file)), source_(std::make_unique<ByteSource>(text, file_)) {}

SnapshotReader::~SnapshotReader() = default;

namespace {

// Reads one document from `source` into `snapshot`, its place into `place`;
// json::exception when it is not JSON, ReadError when it is no snapshot.
void ReadDocument(ByteSource& source, const std::string& file, std::size_t line, Snapshot& snapshot,
                  Place& place) {
    snapshot = Snapshot{};
    Handler handler(source, file, line, snapshot);
    json::sax_parse(ByteIterator{&source}, ByteIterator{}, &handler, json::input_format_t::json,
                    /*strict=*/false);
    handler.Finish();
    place.offset = handler.open_;
    place.size = handler.close_ - handler.open_;
    place.line = line;
    place.stacks = !snapshot.stacks.empty();
}

} // namespace

bool SnapshotReader::Next(Snapshot& snapshot, Place& place) {
    ByteSource& source = *source_;
    while (source.More() && IsSpace(source.Current())) {
        source.Advance();
    }
    if (!source.More()) {
        if (count_ == 0) {
            throw ReadError(file_ + ": empty: no snapshot in it");
        }
        return false;
    }
    const std::uint64_t start = source.Offset();
    const std::size_t line = source.Start();
    try {
        ReadDocument(source, file_, line, snapshot, place);
    } catch (const json::exception& error) {
        // A parse error knows where it is; a number too large for a double
        // (out_of_range) was the last token read, before the byte just read.
        const auto* parse = dynamic_cast<const json::parse_error*>(&error);
        const std::uint64_t end = source.Offset();
        std::uint64_t last = end;
        if (parse != nullptr) {
            last = std::min<std::uint64_t>(start + std::max<std::size_t>(parse->byte, 1) - 1, end);
        } else if (end > 0) {
            last = end - 1;
        }
        const std::string message =
            file_ + ":" + source.Position(last) + ": malformed JSON: " + Description(error);
        if (strict_ || count_ == 0) {
            throw ReadError(message);
        }
        source.Drain();
        if (source.ContentAfterStartLine()) {
            throw ReadError(message);
        }
        warning_ = message + "; the last line, cut short, is skipped (" + std::to_string(count_) +
                   (count_ == 1 ? " snapshot" : " snapshots") + " before it read)";
        return false;
    }
    ++count_;
    return true;
}

void SnapshotReader::Seek(const Place& place) {
    source_->Seek(place.offset, place.line);
}

std::string_view SnapshotReader::Piece(std::uint64_t most) {
    return source_->Piece(most);
}

Snapshot SnapshotReader::ReadAt(const Place& place) {
    Seek(place);
    Snapshot snapshot;
    Place again;
    try {
        ReadDocument(*source_, file_, place.line, snapshot, again);
    } catch (const json::exception&) {
        throw ReadError(file_ + ": changed while it was read");
    }
    if (again.offset != place.offset || again.size != place.size) {
        throw ReadError(file_ + ": changed while it was read");
    }
    return snapshot;
}

std::vector<Snapshot> ParseSnapshots(std::string_view text, const std::string& file) {
    SnapshotReader reader(text, file);
    reader.Strict();
    std::vector<Snapshot> snapshots;
    Snapshot snapshot;
    Place place;
    while (reader.Next(snapshot, place)) {
        snapshots.push_back(std::move(snapshot));
    }
    return snapshots;
}

std::vector<Snapshot> ReadSnapshots(const std::string& file) {
    SnapshotReader reader(file, SnapshotReader::Passes::kOnce);
    std::vector<Snapshot> snapshots;
    Snapshot snapshot;
    Place place;
    while (reader.Next(snapshot, place)) {
        snapshots.push_back(std::move(snapshot));
    }
    return snapshots;
}

} // namespace dideverazez::report
