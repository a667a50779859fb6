// The profiles `dideverazez-report pprof` writes for tests/data/
// snapshot_sites.json and snapshot_exit_sampled.json, decoded field by field: what cli.pprof checks
// through the real pprof, here without Go, down to the mapping and location fields pprof's views do
// not show.
#include "Report.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <map>
#include <string>
#include <vector>

namespace {

using dideverazez::report::PprofProfile;
using dideverazez::report::ReadSnapshots;

// One message's fields: varints by number, and length-delimited ones (with
// packed varints unpacked on demand).
struct Fields {
    std::multimap<int, std::uint64_t> varints;
    std::multimap<int, std::string> bytes;

    std::uint64_t Varint(int field) const {
        const auto found = varints.find(field);
        return found == varints.end() ? 0 : found->second;
    }
    std::vector<std::string> All(int field) const {
        std::vector<std::string> all;
        for (auto [at, end] = bytes.equal_range(field); at != end; ++at) {
            all.push_back(at->second);
        }
        return all;
    }
};

std::uint64_t ReadVarint(const std::string& data, std::size_t& at) {
    std::uint64_t value = 0;
    for (int shift = 0; at < data.size(); shift += 7) {
        const auto byte = static_cast<unsigned char>(data[at++]);
        value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0) {
            break;
        }
    }
    return value;
}

Fields Decode(const std::string& data) {
    Fields fields;
    for (std::size_t at = 0; at < data.size();) {
        const std::uint64_t key = ReadVarint(data, at);
        const int field = static_cast<int>(key >> 3);
        if ((key & 7) == 0) {
            fields.varints.emplace(field, ReadVarint(data, at));
        } else {
            EXPECT_EQ(key & 7, 2u) << "only varints and length-delimited fields are written";
            const auto size = static_cast<std::size_t>(ReadVarint(data, at));
            fields.bytes.emplace(field, data.substr(at, size));
            at += size;
        }
    }
    return fields;
}

std::vector<std::uint64_t> Packed(const std::string& data) {
    std::vector<std::uint64_t> values;
    for (std::size_t at = 0; at < data.size();) {
        values.push_back(ReadVarint(data, at));
    }
    return values;
}

std::string Inflate(const std::string& gzip) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK); // gzip only
    std::string out(1 << 20, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzip.data()));
    stream.avail_in = static_cast<uInt>(gzip.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

TEST(PprofProfile, EncodesEverySiteWithItsFramesHandlesLabelsAndMappings) {
    const auto snapshots = ReadSnapshots(DIDEVERAZEZ_TEST_DATA_DIR "/snapshot_sites.json");
    std::size_t samples = 0;
    const Fields profile = Decode(Inflate(PprofProfile(snapshots.back(), samples)));
    const std::vector<std::string> strings = profile.All(6);
    const auto text = [&](std::uint64_t index) { return strings.at(index); };
    ASSERT_FALSE(strings.empty());
    EXPECT_EQ(strings[0], "");

    std::vector<std::string> types;
    for (const std::string& type : profile.All(1)) {
        types.push_back(text(Decode(type).Varint(1)) + "/" + text(Decode(type).Varint(2)));
    }
    EXPECT_EQ(types, (std::vector<std::string>{"alloc_objects/count", "alloc_space/bytes",
                                               "inuse_objects/count", "inuse_space/bytes",
                                               "peak_objects/count", "peak_space/bytes"}));
    EXPECT_EQ(text(profile.Varint(14)), "inuse_space");
    EXPECT_EQ(profile.Varint(12), 524288u);
    const Fields period = Decode(profile.All(11).at(0));
    EXPECT_EQ(text(period.Varint(1)) + "/" + text(period.Varint(2)), "space/bytes");

    // Locations and the functions of their lines, by id.
    std::map<std::uint64_t, Fields> locations, functions;
    for (const std::string& location : profile.All(4)) {
        locations[Decode(location).Varint(1)] = Decode(location);
    }
    for (const std::string& function : profile.All(5)) {
        functions[Decode(function).Varint(1)] = Decode(function);
    }
    const auto frame = [&](std::uint64_t id) {
        const Fields& location = locations.at(id);
        if (location.bytes.count(4) == 0) {
            return "0x" +
                   [&] {
                       char hex[17];
                       std::snprintf(hex, sizeof hex, "%llx",
                                     static_cast<unsigned long long>(location.Varint(3)));
                       return std::string(hex);
                   }() +
                   " M=" + std::to_string(location.Varint(2));
        }
        // A handle's frame: its name, and its path as the system name.
        const Fields& function = functions.at(Decode(location.All(4).at(0)).Varint(1));
        return "'" + text(function.Varint(2)) + "'=" + text(function.Varint(3));
    };

    // Eight sites: three of live handles, five of retired entries; each its
    // values, frames innermost first (the library's leading ones gone), then
    // its handles up to the root, and its labels.
    const std::vector<std::string> all = profile.All(2);
    ASSERT_EQ(all.size(), 8u);
    EXPECT_EQ(samples, 8u);
    std::vector<std::string> shown;
    for (const std::string& encoded : all) {
        const Fields sample = Decode(encoded);
        std::string line;
        for (const std::uint64_t value : Packed(sample.All(2).at(0))) {
            line += std::to_string(value) + " ";
        }
        line += ":";
        for (const std::uint64_t id : Packed(sample.All(1).at(0))) {
            line += " " + frame(id);
        }
        for (const std::string& label : sample.All(3)) {
            line += " " + text(Decode(label).Varint(1)) + "=" + text(Decode(label).Varint(2));
        }
        shown.push_back(line);
    }
    // (A site without at_peak held nothing at the peak.)
    const std::string scene = " 'handle Scene'=Scene handle=";
    EXPECT_EQ(
        shown,
        (std::vector<std::string>{
            "8 4194304 2 1048576 0 0 : 0x555555555100 M=1 0x555555555200 M=1 "
            "'handle Meshes'=Scene/Meshes" +
                scene + "Scene/Meshes",
            "1 524288 1 524288 0 0 : 0x7f1000002abc M=3 0x555555555300 M=1 "
            "'handle Vertices'=Scene/Meshes/Vertices 'handle Meshes'=Scene/Meshes" +
                scene + "Scene/Meshes/Vertices",
            "4 2097152 0 0 0 0 : 0x555555555100 M=1 0x555555555200 M=1 "
            "'handle Vertices'=Scene/Meshes/Vertices 'handle Meshes'=Scene/Meshes" +
                scene + "Scene/Meshes/Vertices",
            "1 1048576 1 1048576 0 0 : 0x555555555400 M=1 0x7f0000001234 M=2 0x9999 M=0 "
            "'handle Loader'=Scene/Loader" +
                scene + "Scene/Loader retired=true",
            "6 3145728 4 2097152 0 0 : 0x7f1000002abc M=3 0x555555555300 M=1 "
            "'handle Loader'=Scene/Loader" +
                scene + "Scene/Loader retired=true",
            "1 524288 0 0 0 0 : 'handle Loader'=Scene/Loader" + scene + "Scene/Loader retired=true",
            "2 8192 2 8192 0 0 : 'handle Loader'=Scene/Loader" + scene +
                "Scene/Loader retired=true",
            "2 1048576 0 0 0 0 : 0x555555555100 M=1 0x555555555200 M=1 "
            "'handle Temp'=Scene/Temp" +
                scene + "Scene/Temp retired=true"}));

    // One mapping an object; none read here (no such files), so pprof may
    // look them up itself.
    const std::vector<std::string> mappings = profile.All(3);
    ASSERT_EQ(mappings.size(), 3u);
    const Fields game = Decode(mappings[2]);
    EXPECT_EQ(game.Varint(1), 3u);
    EXPECT_EQ(game.Varint(2), 0x7f1000001000u);
    EXPECT_EQ(game.Varint(3), 0x7f1000100000u);
    EXPECT_EQ(game.Varint(4), 4096u);
    EXPECT_EQ(text(game.Varint(5)), "/nonexistent/dideverazez-test/libgame.so");
    EXPECT_EQ(text(game.Varint(6)), "ABCDEF01");
    EXPECT_EQ(game.varints.count(7), 0u);
}

// The last two values of a sample are its site's at_peak blocks and bytes:
// over every site, those of the peak (7 sites, 14 blocks, 6,742,880 bytes).
TEST(PprofProfile, PeakValuesAddUpToThePeak) {
    const auto snapshots = ReadSnapshots(DIDEVERAZEZ_TEST_DATA_DIR "/snapshot_exit_sampled.json");
    std::size_t samples = 0;
    const Fields profile = Decode(Inflate(PprofProfile(snapshots.back(), samples)));
    EXPECT_EQ(samples, 7u);
    std::uint64_t blocks = 0, bytes = 0;
    for (const std::string& sample : profile.All(2)) {
        const std::vector<std::uint64_t> values = Packed(Decode(sample).All(2).at(0));
        ASSERT_EQ(values.size(), 6u);
        blocks += values[4];
        bytes += values[5];
    }
    EXPECT_EQ(blocks, 14u);
    EXPECT_EQ(bytes, 6742880u);
}

} // namespace
