// XML reports of a tree of engines, wrapped in one root element, are
// well-formed, and their figures are the engines' figures.

#include "XmlCheck.h"

#include "engines/kdideverazez_impl.h"
#include "handle/Internals.h"
#include "handle/dideverazez.h"
#include "report/ReportStreams.h"
#include "statistics/AllocSizes.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using dideverazez::reliability::ParseXml;
using dideverazez::reliability::XmlDocument;
using dideverazez::reliability::XmlElement;

// A count as the XML stream writes it: grouped with commas.
std::int64_t Number(const XmlElement& element, const char* attribute) {
    const auto found = element.attributes.find(attribute);
    if (found == element.attributes.end()) {
        ADD_FAILURE() << "<" << element.name << "> has no " << attribute;
        return -1;
    }
    std::string digits;
    for (char c : found->second) {
        if (c != ',') {
            digits += c;
        }
    }
    return std::stoll(digits);
}

std::vector<const XmlElement*> ChildrenOf(const XmlDocument& document, const XmlElement& parent) {
    std::vector<const XmlElement*> children;
    const int index = static_cast<int>(&parent - document.elements.data());
    for (const XmlElement& element : document.elements) {
        if (element.parent == index) {
            children.push_back(&element);
        }
    }
    return children;
}

void ExpectFigures(const XmlElement& element, const StatValue& figures) {
    SCOPED_TRACE(element.name);
    EXPECT_EQ(Number(element, "Current"), figures.Current);
    EXPECT_EQ(Number(element, "Peak"), figures.Peak);
    EXPECT_EQ(Number(element, "Cumul"), figures.Cumul);
}

std::string Address(const void* address) {
    std::ostringstream out;
    out << address;
    return out.str();
}

struct NamedStat {
    const char* name;
    const StatAlloc* stat;
};

// A tree of three handles with pooled and heap blocks, declared use and a
// reservation, and a histogram; every engine's full XML report.
class XmlReportOfATree : public ::testing::Test {
protected:
    void SetUp() override {
        blocks_ = {root_.Alloc(8),         root_.Alloc(100),      child_.Alloc(1024),
                   child_.Alloc(5000),     grandchild_.Alloc(40), grandchild_.Alloc(40),
                   grandchild_.Alloc(2000)};
        void* gone = child_.Alloc(300);
        child_.Free(gone);
        grandchild_.IncMemoryUsed(12345);
        child_.Reserve(1500000);
        sizes_.Record(0);
        sizes_.Record(100);
        sizes_.Record(100);
        sizes_.Record(5000);
        sizes_.RecordPage();
    }
    void TearDown() override {
        for (void* block : blocks_) {
            zu_free(block, nullptr);
        }
        grandchild_.DecMemoryUsed(12345);
        child_.UnReserve(1500000);
    }

    static const allocator_impl& EngineOf(const zu_allocator& handle) {
        return *zu_allocator_access::Engine(handle);
    }

    static std::vector<NamedStat> Stats(const allocator_impl& engine) {
        return {{"GlobalStat", &engine.GlobalStat}, {"SelfStat", &engine.SelfStat},
                {"LargeStat", &engine.LargeStat},   {"UsedStat", &engine.UsedStat},
                {"PageStat", &engine.PageStat},     {"PooledStat", &engine.PooledStat}};
    }

    std::string Report(const allocator_impl& engine) {
        std::ostringstream out;
        LmAlloc::XMLFileStream stream(out);
        stream.BeginReport();
        stream.WriteAllocator(engine);
        for (const NamedStat& stat : Stats(engine)) {
            stream.WriteStatistics(*stat.stat, stat.name);
        }
        stream.WriteProcessFigures(engine.Process, 0);
        stream.WriteMemoryManagers(static_cast<const allocator_data&>(engine).OwnPool);
        stream.WriteAllocSizes(sizes_);
        stream.EndReport();
        return out.str();
    }

    std::vector<const zu_allocator*> Handles() const { return {&root_, &child_, &grandchild_}; }

    zu_allocator root_{"report-root"};
    zu_allocator child_{root_, "report-child"};
    zu_allocator grandchild_{child_, "report-grandchild"};
    AllocSizes sizes_{"report-sizes", &root_};
    std::vector<void*> blocks_;
};

// Every engine's report, wrapped in one root element, is well-formed for the
// checker in the tests, and for xmllint when it is installed.
TEST_F(XmlReportOfATree, WrappedInOneRootIsWellFormed) {
    std::string all = "<REPORTS>\n";
    for (const zu_allocator* handle : Handles()) {
        const std::string report = Report(EngineOf(*handle));
        const XmlDocument document = ParseXml("<REPORT>\n" + report + "</REPORT>\n");
        EXPECT_EQ(document.error, "") << report;
        all += report;
    }
    all += "</REPORTS>\n";
    EXPECT_EQ(ParseXml(all).error, "");

    if (std::system("xmllint --version > /dev/null 2>&1") != 0) {
        RecordProperty("xmllint", "not installed");
        return;
    }
    char path[] = "/tmp/dideverazez-report-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_NE(fd, -1);
    close(fd);
    {
        std::ofstream file(path);
        file << all;
    }
    const std::string command = std::string("xmllint --noout ") + path;
    EXPECT_EQ(std::system(command.c_str()), 0) << all;
    std::remove(path);
}

// The ALLOCATOR element names the engine and its parent and carries its peaks;
// each parent's Address is its children's ParentAddress.
TEST_F(XmlReportOfATree, AllocatorElementsCarryTheEnginesPeaksAndParents) {
    for (const zu_allocator* handle : Handles()) {
        const allocator_impl& engine = EngineOf(*handle);
        const XmlDocument document = ParseXml("<REPORT>" + Report(engine) + "</REPORT>");
        ASSERT_EQ(document.error, "");
        const auto allocators = document.Find("ALLOCATOR", "REPORT");
        ASSERT_EQ(allocators.size(), 1u);
        const XmlElement& element = *allocators[0];
        EXPECT_EQ(element.attributes.at("Name"), engine.Name);
        EXPECT_EQ(element.attributes.at("Address"), Address(&engine));
        EXPECT_EQ(Number(element, "SelfPeak"), engine.SelfStat.Memory.Load().Peak);
        EXPECT_EQ(Number(element, "GlobalPeak"), engine.GlobalStat.Memory.Load().Peak);
        if (engine.Parent != nullptr) {
            EXPECT_EQ(element.attributes.at("ParentName"), engine.Parent->Name);
            EXPECT_EQ(element.attributes.at("ParentAddress"), Address(engine.Parent));
        } else {
            EXPECT_EQ(element.attributes.count("ParentAddress"), 0u);
        }
    }
}

// Every statistic that ever held bytes has a STAT_ALLOC element whose MEMORY
// and COUNTER figures are the engine's; the others have none.
TEST_F(XmlReportOfATree, StatisticElementsCarryTheEnginesFigures) {
    for (const zu_allocator* handle : Handles()) {
        const allocator_impl& engine = EngineOf(*handle);
        const XmlDocument document = ParseXml("<REPORT>" + Report(engine) + "</REPORT>");
        ASSERT_EQ(document.error, "");
        const auto written = document.Find("STAT_ALLOC", "REPORT");
        std::size_t expected = 0;
        for (const NamedStat& stat : Stats(engine)) {
            const StatAlloc figures = stat.stat->Load();
            const XmlElement* element = nullptr;
            for (const XmlElement* candidate : written) {
                if (candidate->attributes.at("Name") == stat.name) {
                    element = candidate;
                }
            }
            if (figures.Memory.Cumul <= 0) {
                EXPECT_EQ(element, nullptr) << stat.name << " never held bytes";
                continue;
            }
            ++expected;
            ASSERT_NE(element, nullptr) << stat.name;
            const auto children = ChildrenOf(document, *element);
            ASSERT_EQ(children.size(), 2u);
            EXPECT_EQ(children[0]->name, "MEMORY");
            EXPECT_EQ(children[1]->name, "COUNTER");
            ExpectFigures(*children[0], figures.Memory);
            ExpectFigures(*children[1], figures.Counter);
        }
        EXPECT_EQ(written.size(), expected);
    }
}

// The root's pool: one MEMORY_MANAGER per class that ever held a page, with
// the class's block and page figures.
TEST_F(XmlReportOfATree, MemoryManagerElementsCarryThePoolsFigures) {
    const auto& pool = static_cast<const allocator_data&>(EngineOf(root_)).OwnPool;
    const XmlDocument document = ParseXml("<REPORT>" + Report(EngineOf(root_)) + "</REPORT>");
    ASSERT_EQ(document.error, "");
    const auto managers = document.Find("MEMORY_MANAGER", "MEMORY_MANAGERS");
    // Classes used above: 8, 128 (100), 1024, 48 (40) and 320 (300): five.
    ASSERT_EQ(managers.size(), 5u);
    for (const XmlElement* element : managers) {
        const std::int64_t blockSize = Number(*element, "Name");
        const MemoryManager* manager = nullptr;
        for (const MemoryManager& candidate : pool.Managers) {
            if (static_cast<std::int64_t>(candidate.BlockSize) == blockSize) {
                manager = &candidate;
            }
        }
        ASSERT_NE(manager, nullptr) << blockSize;
        const auto children = ChildrenOf(document, *element);
        ASSERT_EQ(children.size(), 2u);
        EXPECT_EQ(children[0]->name, "Alloc");
        EXPECT_EQ(children[1]->name, "Pages");
        ExpectFigures(*children[0], manager->Blocks.Load());
        ExpectFigures(*children[1], manager->Pages.Load());
    }
}

// The histogram rows carry its counts in class order, then their total, then
// the page count.
TEST_F(XmlReportOfATree, AllocSizesRowsCarryTheHistogramsCounts) {
    const XmlDocument document = ParseXml("<REPORT>" + Report(EngineOf(child_)) + "</REPORT>");
    ASSERT_EQ(document.error, "");
    const auto rows = document.Find("Alloc", "ALLOC_SIZES");
    // Recorded: 0 (the 0-byte class), 100 twice (the 112-byte class), 5000
    // (the 8 Ko class): three rows, TOTAL 1 + 2 + 1 = 4, and one page.
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(Number(*rows[0], "Count"), 1);
    EXPECT_EQ(Number(*rows[1], "Count"), 2);
    EXPECT_EQ(Number(*rows[2], "Count"), 1);
    EXPECT_EQ(rows[3]->attributes.at("Range"), "TOTAL");
    EXPECT_EQ(Number(*rows[3], "Count"), 4);
    EXPECT_EQ(Number(*rows[4], "Count"), 1);
}

} // namespace

namespace {

// The checker refuses what a report must never contain: unbalanced or
// crossed tags, bare markup characters in values or text, two roots.
TEST(XmlCheck, RefusesMalformedDocuments) {
    const char* const malformed[] = {
        "<A><B></A></B>",             // crossed
        "<A>",                        // not closed
        "<A Name=\"x<y\"/>",          // '<' in a value
        "<A Name=\"x&y\"/>",          // bare '&' in a value
        "<A>1 & 2</A>",               // bare '&' in text
        "<A Name=x/>",                // unquoted
        "<A Name=\"1\"Peak=\"2\"/>",  // attributes not separated
        "<A Name=\"1\" Name=\"2\"/>", // attribute given twice
        "<A/><B/>",                   // two roots
        "text<A/>",                   // text outside the root
    };
    for (const char* text : malformed) {
        EXPECT_NE(ParseXml(text).error, "") << text;
    }
    EXPECT_EQ(ParseXml("<A Name=\"a &amp; b\"><B Current=\"1,234\"/>text</A>").error, "");
}

} // namespace
