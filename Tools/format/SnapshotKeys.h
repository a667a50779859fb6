// The vocabulary of a snapshot document (docs/snapshot.md,
// docs/snapshot.schema.json), defined once: the library's writer
// (observe/SnapshotWriter.cpp) and the report tool's reader
// (cli/SnapshotReader.cpp) both compile these names, so a key spelled one
// way on one side and another way on the other cannot build.
//
// One constant per spelling: "pages" names a class's pages, a statistic and
// the histogram's pages alike. kAll lists every key once, for the test that
// holds the table to the schema (tests/cli/snapshot_keys.cpp).
#pragma once

// KEY(constant, text) for every key, grouped by the object that first has it.
#define DIDEVERAZEZ_SNAPSHOT_KEYS(KEY)                                                             \
    /* the document */                                                                             \
    KEY(kFormat, "format")                                                                         \
    KEY(kVersion, "version")                                                                       \
    KEY(kProcess, "process")                                                                       \
    KEY(kTakenMs, "taken_ms")                                                                      \
    KEY(kProgram, "program")                                                                       \
    KEY(kAtExit, "at_exit")                                                                        \
    KEY(kTrees, "trees")                                                                           \
    KEY(kRetired, "retired")                                                                       \
    KEY(kHistogram, "histogram")                                                                   \
    KEY(kSampling, "sampling")                                                                     \
    KEY(kStacks, "stacks")                                                                         \
    KEY(kObjects, "objects")                                                                       \
    /* a tree, and its size classes */                                                             \
    KEY(kCachedPages, "cached_pages")                                                              \
    KEY(kClasses, "classes")                                                                       \
    KEY(kEngines, "engines")                                                                       \
    KEY(kSize, "size")                                                                             \
    KEY(kBlocks, "blocks")                                                                         \
    KEY(kPages, "pages")                                                                           \
    /* an engine */                                                                                \
    KEY(kPath, "path")                                                                             \
    KEY(kName, "name")                                                                             \
    KEY(kAddress, "address")                                                                       \
    KEY(kParent, "parent")                                                                         \
    KEY(kKind, "kind")                                                                             \
    KEY(kGlobal, "global")                                                                         \
    KEY(kBornMs, "born_ms")                                                                        \
    KEY(kMeasuring, "measuring")                                                                   \
    KEY(kMetrics, "metrics")                                                                       \
    KEY(kStatistics, "statistics")                                                                 \
    KEY(kSites, "sites")                                                                           \
    /* metrics: the seven words of zu_allocator::GetMetrics, in their order */                     \
    KEY(kTimeTotal, "time_total")                                                                  \
    KEY(kSelfPeak, "self_peak")                                                                    \
    KEY(kMemoryPeak, "memory_peak")                                                                \
    KEY(kMemoryCurrent, "memory_current")                                                          \
    KEY(kMemoryCumul, "memory_cumul")                                                              \
    KEY(kCountCurrent, "count_current")                                                            \
    KEY(kCountCumul, "count_cumul")                                                                \
    /* statistics (and global, pages above) */                                                     \
    KEY(kSelf, "self")                                                                             \
    KEY(kLarge, "large")                                                                           \
    KEY(kUsed, "used")                                                                             \
    KEY(kReserved, "reserved")                                                                     \
    KEY(kPooled, "pooled")                                                                         \
    KEY(kBytes, "bytes")                                                                           \
    KEY(kItems, "items")                                                                           \
    /* a sampled site */                                                                           \
    KEY(kStack, "stack")                                                                           \
    KEY(kInUse, "in_use")                                                                          \
    KEY(kAllocated, "allocated")                                                                   \
    KEY(kAtPeak, "at_peak")                                                                        \
    /* a retired entry */                                                                          \
    KEY(kHandles, "handles")                                                                       \
    KEY(kDiedMs, "died_ms")                                                                        \
    /* a row of the histogram */                                                                   \
    KEY(kBound, "bound")                                                                           \
    KEY(kLabel, "label")                                                                           \
    KEY(kCount, "count")                                                                           \
    /* sampling's peak */                                                                          \
    KEY(kPeak, "peak")                                                                             \
    KEY(kMs, "ms")                                                                                 \
    /* a loaded object */                                                                          \
    KEY(kBuildId, "build_id")                                                                      \
    KEY(kBase, "base")                                                                             \
    KEY(kStart, "start")                                                                           \
    KEY(kEnd, "end")                                                                               \
    KEY(kOffset, "offset")

namespace dideverazez::format {

// The values of `format` and `version` that name this kind of document.
inline constexpr char kDocumentFormat[] = "dideverazez-snapshot";
inline constexpr int kDocumentVersion = 1;

// The values of an engine's `kind`.
inline constexpr char kBasicKind[] = "basic";
inline constexpr char kPagedKind[] = "paged";

namespace keys {

#define DIDEVERAZEZ_SNAPSHOT_KEY(constant, text) inline constexpr char constant[] = text;
DIDEVERAZEZ_SNAPSHOT_KEYS(DIDEVERAZEZ_SNAPSHOT_KEY)
#undef DIDEVERAZEZ_SNAPSHOT_KEY

#define DIDEVERAZEZ_SNAPSHOT_KEY(constant, text) constant,
inline constexpr const char* kAll[] = {DIDEVERAZEZ_SNAPSHOT_KEYS(DIDEVERAZEZ_SNAPSHOT_KEY)};
#undef DIDEVERAZEZ_SNAPSHOT_KEY

// The writer puts keys between quotes as they are: none may need escaping.
constexpr bool AllPlain() {
    for (const char* key : kAll) {
        if (*key == '\0') {
            return false;
        }
        for (const char* c = key; *c != '\0'; ++c) {
            if (!((*c >= 'a' && *c <= 'z') || *c == '_')) {
                return false;
            }
        }
    }
    return true;
}
static_assert(AllPlain(), "a snapshot key is lowercase letters and '_' only");

} // namespace keys

} // namespace dideverazez::format
