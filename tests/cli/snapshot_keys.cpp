// The snapshot's keys (format/SnapshotKeys.h), which the library's writer and
// the tool's reader both compile, are the schema's properties
// (docs/snapshot.schema.json): a key added, renamed or dropped on one side
// fails here until the other follows.
#include "format/SnapshotKeys.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace {

// Every name under a "properties" of the schema, at any depth.
void AddProperties(const nlohmann::json& schema, std::set<std::string>& names) {
    if (schema.is_object()) {
        if (const auto properties = schema.find("properties");
            properties != schema.end() && properties->is_object()) {
            for (const auto& property : properties->items()) {
                names.insert(property.key());
            }
        }
    }
    if (schema.is_structured()) {
        for (const auto& member : schema) {
            AddProperties(member, names);
        }
    }
}

TEST(SnapshotKeys, AreTheSchemasPropertiesEachOnce) {
    std::ifstream file(DIDEVERAZEZ_SNAPSHOT_SCHEMA);
    ASSERT_TRUE(file) << DIDEVERAZEZ_SNAPSHOT_SCHEMA;
    std::set<std::string> schema;
    AddProperties(nlohmann::json::parse(file), schema);
    namespace keys = dideverazez::format::keys;
    const std::set<std::string> table(std::begin(keys::kAll), std::end(keys::kAll));
    EXPECT_EQ(table, schema);
    EXPECT_EQ(table.size(), std::size(keys::kAll));
}

} // namespace
