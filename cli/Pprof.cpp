// The pprof profile of a snapshot's sampled sites: profile.proto, encoded by
// hand (varints and length-delimited fields are all it takes) and compressed
// as gzip, which pprof reads as it is.
#include "Report.h"
#include "Symbols.h"

#include <map>
#include <stdexcept>
#include <tuple>

#ifdef DIDEVERAZEZ_HAVE_ZLIB
#include <zlib.h>
#endif

namespace dideverazez::report {
namespace {

// One protobuf message being written: fields appended in any order.
class Message {
public:
    void Varint(int field, std::uint64_t value) {
        Key(field, 0);
        Raw(value);
    }
    // An int64 field; proto3 leaves out a field at its default.
    void Int(int field, std::int64_t value) {
        if (value != 0) {
            Varint(field, static_cast<std::uint64_t>(value));
        }
    }
    void Bool(int field, bool value) {
        if (value) {
            Varint(field, 1);
        }
    }
    void Bytes(int field, const std::string& bytes) {
        Key(field, 2);
        Raw(bytes.size());
        data_ += bytes;
    }
    void Sub(int field, const Message& message) { Bytes(field, message.data_); }
    // A repeated integer field, packed.
    template <typename Integer> void Packed(int field, const std::vector<Integer>& values) {
        Message packed;
        for (const Integer value : values) {
            packed.Raw(static_cast<std::uint64_t>(value));
        }
        Bytes(field, packed.data_);
    }
    const std::string& Data() const { return data_; }

private:
    void Key(int field, int wireType) { Raw(static_cast<std::uint64_t>(field) << 3 | wireType); }
    void Raw(std::uint64_t value) {
        while (value >= 0x80) {
            data_ += static_cast<char>((value & 0x7f) | 0x80);
            value >>= 7;
        }
        data_ += static_cast<char>(value);
    }

    std::string data_;
};

// Field numbers of profile.proto.
namespace profile {
enum : int {
    kSampleType = 1,
    kSample = 2,
    kMapping = 3,
    kLocation = 4,
    kFunction = 5,
    kStringTable = 6,
    kPeriodType = 11,
    kPeriod = 12,
    kDefaultSampleType = 14
};
}
namespace value_type {
enum : int { kType = 1, kUnit = 2 };
}
namespace sample {
enum : int { kLocationId = 1, kValue = 2, kLabel = 3 };
}
namespace label {
enum : int { kKey = 1, kStr = 2 };
}
namespace mapping {
enum : int {
    kId = 1,
    kMemoryStart = 2,
    kMemoryLimit = 3,
    kFileOffset = 4,
    kFilename = 5,
    kBuildId = 6,
    kHasFunctions = 7,
    kHasFilenames = 8,
    kHasLineNumbers = 9
};
}
namespace location {
enum : int { kId = 1, kMappingId = 2, kAddress = 3, kLine = 4 };
}
namespace line {
enum : int { kFunctionId = 1, kLine = 2 };
}
namespace function {
enum : int { kId = 1, kName = 2, kSystemName = 3, kFilename = 4 };
}

class Builder {
public:
    explicit Builder(const Snapshot& snapshot) : snapshot_(snapshot), symbols_(snapshot.objects) {
        String("");
    }

    std::size_t Build(std::string& encoded) {
        for (const auto& [type, unit] : {std::pair{"alloc_objects", "count"},
                                         {"alloc_space", "bytes"},
                                         {"inuse_objects", "count"},
                                         {"inuse_space", "bytes"},
                                         {"peak_objects", "count"},
                                         {"peak_space", "bytes"}}) {
            profile_.Sub(profile::kSampleType, ValueType(type, unit));
        }
        std::size_t samples = 0;
        for (const Engine& engine : snapshot_.engines) {
            for (const Site& site : engine.sites) {
                AddSample(engine.path, site, false);
                ++samples;
            }
        }
        for (const Retired& retired : snapshot_.retired) {
            for (const Site& site : retired.sites) {
                AddSample(retired.path, site, true);
                ++samples;
            }
        }
        for (std::size_t i = 0; i < snapshot_.objects.size(); ++i) {
            const Object& object = snapshot_.objects[i];
            Message m;
            m.Varint(mapping::kId, i + 1);
            m.Varint(mapping::kMemoryStart, object.start);
            m.Varint(mapping::kMemoryLimit, object.end);
            m.Varint(mapping::kFileOffset, object.offset);
            m.Int(mapping::kFilename, String(object.path));
            m.Int(mapping::kBuildId, String(object.buildId));
            // Symbolised here when read; pprof may try the others itself.
            m.Bool(mapping::kHasFunctions, symbols_.Read(i));
            m.Bool(mapping::kHasFilenames, symbols_.Read(i));
            m.Bool(mapping::kHasLineNumbers, symbols_.Read(i));
            profile_.Sub(profile::kMapping, m);
        }
        profile_.Sub(profile::kPeriodType, ValueType("space", "bytes"));
        profile_.Int(profile::kPeriod, snapshot_.samplingBytes);
        profile_.Int(profile::kDefaultSampleType, String("inuse_space"));
        // The locations and functions, then the strings they all named.
        encoded = profile_.Data() + locations_.Data() + functions_.Data();
        Message strings;
        for (const std::string& text : strings_) {
            strings.Bytes(profile::kStringTable, text);
        }
        encoded += strings.Data();
        return samples;
    }

private:
    std::int64_t String(const std::string& text) {
        const auto [at, added] = stringIds_.emplace(text, strings_.size());
        if (added) {
            strings_.push_back(text);
        }
        return static_cast<std::int64_t>(at->second);
    }

    Message ValueType(const char* type, const char* unit) {
        Message m;
        m.Int(value_type::kType, String(type));
        m.Int(value_type::kUnit, String(unit));
        return m;
    }

    std::uint64_t Function(const std::string& name, const std::string& systemName,
                           const std::string& file) {
        const auto [at, added] =
            functionIds_.emplace(std::tuple{name, systemName, file}, functionIds_.size() + 1);
        if (added) {
            Message m;
            m.Varint(function::kId, at->second);
            m.Int(function::kName, String(name));
            m.Int(function::kSystemName, String(systemName));
            m.Int(function::kFilename, String(file));
            functions_.Sub(profile::kFunction, m);
        }
        return at->second;
    }

    std::uint64_t Location(const Frame& frame) {
        const auto [at, added] = addressIds_.emplace(frame.address, nextLocation_);
        if (added) {
            ++nextLocation_;
            Message m;
            m.Varint(location::kId, at->second);
            if (frame.object >= 0) {
                m.Varint(location::kMappingId, static_cast<std::uint64_t>(frame.object) + 1);
            }
            m.Varint(location::kAddress, frame.address);
            if (!frame.function.empty()) {
                Message l;
                l.Varint(line::kFunctionId, Function(frame.function, frame.systemName, frame.file));
                l.Int(line::kLine, frame.line);
                m.Sub(location::kLine, l);
            }
            locations_.Sub(profile::kLocation, m);
        }
        return at->second;
    }

    // The frame of the handle whose path is `path`: "handle " and its last
    // component, which pprof never shortens and never takes for its own
    // "[object]" of a frame without a function, whatever the handle's name.
    std::uint64_t HandleLocation(const std::string& path) {
        const auto [at, added] = handleIds_.emplace(path, nextLocation_);
        if (added) {
            ++nextLocation_;
            const std::size_t slash = path.rfind('/');
            const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
            Message l;
            l.Varint(line::kFunctionId, Function("handle " + name, path, ""));
            Message m;
            m.Varint(location::kId, at->second);
            m.Sub(location::kLine, l);
            locations_.Sub(profile::kLocation, m);
        }
        return at->second;
    }

    void AddSample(const std::string& path, const Site& site, bool retired) {
        std::vector<std::uint64_t> ids;
        for (const Frame& frame : symbols_.Stack(snapshot_.stacks[site.stack])) {
            ids.push_back(Location(frame));
        }
        // The handles as the outermost frames: the leaf, then each parent.
        for (std::size_t end = path.size(); end > 0;) {
            ids.push_back(HandleLocation(path.substr(0, end)));
            const std::size_t slash = path.rfind('/', end - 1);
            end = slash == std::string::npos ? 0 : slash;
        }
        Message m;
        m.Packed(sample::kLocationId, ids);
        m.Packed(sample::kValue, std::vector<std::int64_t>{
                                     site.allocatedBlocks, site.allocatedBytes, site.inUseBlocks,
                                     site.inUseBytes, site.atPeakBlocks, site.atPeakBytes});
        const auto addLabel = [&](const char* key, const std::string& value) {
            Message l;
            l.Int(label::kKey, String(key));
            l.Int(label::kStr, String(value));
            m.Sub(sample::kLabel, l);
        };
        addLabel("handle", path);
        if (retired) {
            addLabel("retired", "true");
        }
        profile_.Sub(profile::kSample, m);
    }

    const Snapshot& snapshot_;
    const Symbols symbols_;
    Message profile_, locations_, functions_;
    std::vector<std::string> strings_;
    std::map<std::string, std::size_t> stringIds_;
    std::map<std::tuple<std::string, std::string, std::string>, std::uint64_t> functionIds_;
    std::map<std::uint64_t, std::uint64_t> addressIds_;
    std::map<std::string, std::uint64_t> handleIds_;
    std::uint64_t nextLocation_ = 1;
};

} // namespace

std::string PprofProfile(const Snapshot& snapshot, std::size_t& samples) {
#ifdef DIDEVERAZEZ_HAVE_ZLIB
    std::string encoded;
    samples = Builder(snapshot).Build(encoded);
    z_stream stream{};
    // 15 + 16: a window of 32 KiB, and a gzip header and trailer.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        throw std::runtime_error("pprof: cannot start compressing");
    }
    std::string compressed(deflateBound(&stream, static_cast<uLong>(encoded.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(encoded.data());
    stream.avail_in = static_cast<uInt>(encoded.size());
    stream.next_out = reinterpret_cast<Bytef*>(compressed.data());
    stream.avail_out = static_cast<uInt>(compressed.size());
    const int status = deflate(&stream, Z_FINISH);
    compressed.resize(stream.total_out);
    deflateEnd(&stream);
    if (status != Z_STREAM_END) {
        throw std::runtime_error("pprof: cannot compress the profile");
    }
    return compressed;
#else
    (void)snapshot;
    samples = 0;
    throw std::runtime_error("pprof: this dideverazez-report was built without zlib");
#endif
}

} // namespace dideverazez::report
