// The report streams (Tools/report): the layout of each section in both
// notations, and what each does to the report file of the process
// (/tmp/allocator_<pid>.txt here). The golden files pin whole layouts; the
// numbers inside them follow the notations, whose rules value_format_test.cpp
// owns with expectations worked out by hand.
//
// Plan (one owner per rule): ReportStreams.TextSectionsMatchTheGoldenFile and
// XmlSectionsMatchTheGoldenFile run one script of section calls for the text
// stream (tests/data/report_text.txt) and for the XML stream
// (tests/data/report_xml.xml). `section` runs each call
// - on a new stream over a caller's stream, whose text goes into the golden
//   file, and on a NullStream; neither may open the report file ("report
//   path: no file");
// - then on a new owning stream each time the report path is free, holds stale
//   text, or is taken by a directory (a file that cannot be created: the writes
//   are dropped and the section returns). The comment line after the text
//   records what the path holds once that stream is gone: "=" is exactly the
//   text the call wrote over the caller's stream (so an empty "=" is a file
//   created or truncated with nothing in it), and " open" would mean that a
//   descriptor of the process is still open on it.
// So the golden files show that BeginReport, EndReport, DumpAllocator, the text
// WriteAllocator and WriteMemoryManagers of a pool that never held a page open
// nothing; that WriteStatistics, WriteProcessFigures and WriteAllocSizes create
// or truncate the file even when they write nothing, as the XML WriteAllocator
// does; that the sections of one stream append; that an owned file is closed
// with its stream. Both streams are derived so that DumpAllocator writes a
// line ("dump of"), which shows where the XML allocator element puts a derived
// stream's content. The calls:
// - allocators: a null-named root ("_null", its global peak grouped), its child
//   (ParentName left empty) with markup in its name, and an empty-named
//   grandchild (Name written empty, not "_null"); the text stream asks GetKind
//   (as KindCounter counts) of an engine that holds memory in WriteAllocator,
//   and in DumpAllocator;
// - statistics: the reference figures, Memory.Cumul 0 and negative (nothing),
//   1, negative figures (Dec from a negative current), figures cut to 20
//   characters, a markup and a null name;
// - process figures: VmStart 0 (nothing), allocator delta 0 (time only), a VM
//   delta of exactly 4,194,304 (time only), one byte more, a full rating;
// - memory managers: a pool that never held a page, with block figures set by
//   hand (nothing), and a pool whose 8-, 64- and 1024-byte classes served
//   blocks, some freed;
// - histograms: never built, pages only, built and empty, row 0 only, skipped
//   rows with TOTAL, pages and a count above 2^32, and an over-long label (the
//   cut at 255 characters) for row 0 and as the next row's lower end;
// - two sections on one stream.

#include "platform/Platform.h"
#include "report/ReportStreams.h"
#include "statistics/AllocSizes.h"
#include "support/TestSupport.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <tuple>

using namespace dideverazez::test;

const std::filesystem::path kReport = [] {
    char path[64];
    dideverazez::platform::ReportPath(path, sizeof path);
    return std::filesystem::path(path);
}();

// What is at the report path ("=" for `written`), and "open" while a descriptor of
// this process is open on it.
static std::string AtReportPath(const std::string& written) {
    if (std::filesystem::is_directory(kReport)) {
        return "a directory";
    }
    int open = 0;
    std::error_code ignored;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ignored)) {
        open += std::filesystem::read_symlink(fd.path(), ignored) == kReport ? 1 : 0;
    }
    std::ifstream file(kReport);
    const std::string text = file ? std::string(std::istreambuf_iterator<char>(file), {}) : "";
    return (!file ? "no file" : text == written ? "=" : "[" + text + "]") + (open ? " open" : "");
}

// An engine that only answers its kind, counting the questions.
struct KindCounter final : allocator_impl {
    using allocator_impl::allocator_impl;
    int GetKind() const override { return ++asked; }
    void* Alloc(std::uint64_t, const char*, const char*) override { return nullptr; }
    void Free(void*) override {}
    void IncMemoryUsed(std::uint64_t) override {}
    void DecMemoryUsed(std::uint64_t) override {}
    void Reserve(std::uint64_t) override {}
    void UnReserve(std::uint64_t) override {}
    mutable int asked = 0;
};

template <class Base> class Dumping final : public Base {
public:
    using Base::Base;
    void DumpAllocator(const allocator_impl& engine) override {
        Base::DumpAllocator(engine);
        if (this->Stream != nullptr) {
            *this->Stream << "dump of " << static_cast<const void*>(&engine) << std::endl;
        }
    }
};

template <class Stream> std::string Script() {
    std::ostringstream os;
    const auto section = [&](const char* what, auto write) {
        std::filesystem::remove(kReport);
        std::ostringstream callers;
        write(*std::make_unique<Stream>(callers));
        write(*std::make_unique<LmAlloc::NullStream>());
        os << "<!-- " << what << " -->\n" << callers.str();
        os << "<!-- report path: " << AtReportPath(callers.str());
        for (const char* before : {"free", "stale text", "a directory"}) {
            std::filesystem::remove(kReport);
            // Stale text, or a directory, where the report file goes (or neither):
            before[0] == 's' ? void(std::ofstream(kReport) << "stale text") : void();
            before[0] == 'a' ? void(std::filesystem::create_directory(kReport)) : void();
            write(*std::make_unique<Stream>());
            os << "; owned, " << before << " before: " << AtReportPath(callers.str());
        }
        os << " -->\n";
    };

    KindCounter root("", nullptr, false), child("\"<&>\"", &root, false), leaf("", &child, false);
    root.Name = nullptr;
    root.GlobalStat.Memory = {0, 1234567, 1234567};
    child.SelfStat.Memory = {1, 12345, 12345}; // holding memory: the text stream asks its kind
    for (const KindCounter* engine : {&root, &child, &leaf}) {
        section("WriteAllocator", [&](auto& s) { s.WriteAllocator(*engine); });
    }
    section("DumpAllocator, BeginReport, EndReport",
            [&](auto& s) { s.DumpAllocator(root), s.BeginReport(), s.EndReport(); });
    os << "GetKind asked " << root.asked << ' ' << child.asked << ' ' << leaf.asked << "\n";

    const std::pair<const char*, StatAlloc> statistics[] = {
        {"", {{1234567, 2500000, 5000000}, {10, 12, 40}}},
        {"cumul 0: ", {{5, 5, 0}, {1, 1, 1}}},
        {"cumul negative: ", {{5, 5, -1}, {1, 1, 1}}},
        {"<&\"one byte\"> ", {{1, 1, 1}, {1, 1, 1}}},
        {"negative: ", {{-2048, 7, 12000}, {-3, 700, 1500}}},
        {"wide: ", {{1000000000000000, INT64_MAX, INT64_MAX}, {INT64_MAX, INT64_MAX, INT64_MAX}}},
        {nullptr, {{10239, 10240000, 10485760000}, {0, 0, 1}}}};
    for (const auto& row : statistics) {
        section("WriteStatistics", [&](auto& s) { s.WriteStatistics(row.second, row.first); });
    }

    const std::uint64_t processes[][5] = {{1, 2, 0, 99999999, 5},
                                          {12000, 345, 1, 99999999, 0},
                                          {0, 7, 1, 4194304, 100},
                                          {0, 8, 1, 4194305, 1},
                                          {123456, 789, 123456789, 987654321, 300000000}};
    for (const auto& row : processes) {
        ProcessInfo process;
        std::tie(process.UserTime, process.KernelTime, process.VmStart, process.VmPeak) =
            std::tie(row[0], row[1], row[2], row[3]);
        section("WriteProcessFigures", [&](auto& s) { s.WriteProcessFigures(process, row[4]); });
    }

    allocator_data empty("empty", nullptr, false), pooled("pooled", nullptr, false);
    empty.Pool->Managers[1].Blocks = {3, 4, 5}; // by hand: cleared before the pool goes
    section("no page ever", [&](auto& s) { s.WriteMemoryManagers(*empty.Pool); });
    empty.Pool->Managers[1].Blocks = {};
    const auto take = [&](std::uint64_t n) { return pooled.Alloc(n, nullptr, nullptr); };
    void* const kept[] = {take(1), take(1000), take(1000), take(1000)};
    pooled.Free(take(50));   // 64: Blocks, Pages {0, 1, 1}
    pooled.Free(take(1000)); // 1024: Blocks {3, 4, 4}, Pages {1, 2, 2}
    section("WriteMemoryManagers", [&](auto& s) { s.WriteMemoryManagers(*pooled.Pool); });

    AllocSizes sizes("histogram");
    const auto writeSizes = [&](auto& s) { s.WriteAllocSizes(sizes); };
    section("WriteAllocSizes, never built", writeSizes);
    sizes.pages = 3;
    section("WriteAllocSizes, pages only", writeSizes);
    sizes.Reset();
    section("WriteAllocSizes, every count 0", writeSizes);
    sizes.classes[0].count = 2;
    section("WriteAllocSizes, row 0 only", writeSizes);
    sizes.classes[0].count = 0;
    sizes.classes[1].count = sizes.classes[10].count = sizes.classes[51].count = 1;
    sizes.classes[30].count = (std::uint64_t{1} << 32) + 7;
    sizes.pages = 5;
    section("WriteAllocSizes", writeSizes);
    const std::string tooLong(300, 'L');
    sizes.classes[0] = {0, tooLong.c_str(), 1};
    section("WriteAllocSizes, a long label", writeSizes);
    section("WriteStatistics, WriteMemoryManagers", [&](auto& s) {
        s.WriteStatistics(statistics[0].second, "two: "), s.WriteMemoryManagers(*pooled.Pool);
    });
    for (void* block : kept) {
        pooled.Free(block);
    }
    std::filesystem::remove(kReport);
    return Named(os.str(), {{&root, "@root"}, {&child, "@child"}, {&leaf, "@leaf"}});
}

// The script through the text stream: every section's layout, and what each
// does to the report file.
TEST(ReportStreams, TextSectionsMatchTheGoldenFile) {
    EXPECT_TRUE(MatchesGolden("report_text.txt", Script<Dumping<LmAlloc::FileStream>>()));
}

// The same script through the XML stream.
TEST(ReportStreams, XmlSectionsMatchTheGoldenFile) {
    EXPECT_TRUE(MatchesGolden("report_xml.xml", Script<Dumping<LmAlloc::XMLFileStream>>()));
}
