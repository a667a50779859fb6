#include "Metrics.h"

#include "observe/OpenMetrics.h"

#include <string_view>
#include <unordered_map>
#include <vector>

namespace dideverazez::report {
namespace {

using nlohmann::json;

// The current figure of statistics/<key>, the `bytes` triple of a statistic
// or the `reserved` triple itself, which the reader leaves to the document.
std::int64_t CurrentOf(const json& engine, const char* key, const std::string& pointer,
                       const std::string& file) {
    const json* triple = nullptr;
    std::string at = pointer + "/statistics/" + key;
    if (const auto statistics = engine.find("statistics");
        statistics != engine.end() && statistics->is_object()) {
        if (const auto statistic = statistics->find(key); statistic != statistics->end()) {
            triple = &*statistic;
            if (std::string_view(key) != "reserved") {
                const auto bytes =
                    statistic->is_object() ? statistic->find("bytes") : statistic->end();
                triple = bytes != statistic->end() ? &*bytes : nullptr;
                at += "/bytes";
            }
        }
    }
    if (triple == nullptr || !triple->is_array() || triple->size() != 3 ||
        !(*triple)[0].is_number_integer() ||
        ((*triple)[0].is_number_unsigned() &&
         (*triple)[0].get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))) {
        throw ReadError(file + ": not a snapshot: " + at +
                        ": expected three 64-bit figures: current, peak, cumulative");
    }
    return (*triple)[0].get<std::int64_t>();
}

} // namespace

void WriteMetrics(std::ostream& out, const Snapshot& snapshot, const std::string& file) {
    // The reader keeps the engines depth first, tree by tree: an engine's
    // parent is the nearest engine before it one level up.
    std::vector<openmetrics::Row> rows;
    rows.reserve(snapshot.engines.size());
    std::vector<std::size_t> lastAtDepth;
    // The document's engines of the current tree, by address.
    std::unordered_map<std::string_view, std::pair<const json*, std::string>> byAddress;
    const json& trees = snapshot.document.at("trees");
    std::size_t tree = 0;
    for (const Engine& e : snapshot.engines) {
        if (e.depth == 0) {
            byAddress.clear();
            const json& engines = trees.at(tree).at("engines");
            for (std::size_t i = 0; i < engines.size(); ++i) {
                byAddress[engines[i].at("address").get_ref<const std::string&>()] = {
                    &engines[i],
                    "/trees/" + std::to_string(tree) + "/engines/" + std::to_string(i)};
            }
            ++tree;
        }
        const auto& [node, pointer] = byAddress.at(e.address);
        const auto depth = static_cast<std::size_t>(e.depth);
        lastAtDepth.resize(depth + 1);
        lastAtDepth[depth] = rows.size();
        const Metrics& m = e.metrics;
        rows.push_back(
            {e.path, e.kind, depth == 0 ? openmetrics::kNoParent : lastAtDepth[depth - 1],
             m.memoryCurrent, m.memoryPeak, m.memoryCumul, m.countCurrent, m.countCumul, m.selfPeak,
             CurrentOf(*node, "used", pointer, file), CurrentOf(*node, "reserved", pointer, file)});
    }
    std::vector<std::int64_t> scratch(rows.size() * openmetrics::kScratchWords);
    std::string text;
    openmetrics::Write(
        rows.data(), rows.size(), scratch.data(),
        [](void* context, const char* piece, std::size_t size) {
            static_cast<std::string*>(context)->append(piece, size);
        },
        &text);
    out << text;
}

} // namespace dideverazez::report
