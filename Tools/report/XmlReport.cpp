// Section writers of the XML report stream: one tag a line, each line ended by
// std::endl, attributes in a fixed order. Text values are written unescaped,
// and an absent text as "_null" (except a parent's name, written as is).
// Statistics are read through their Load snapshots; nothing given is changed.

#include "report/ReportStreams.h"

#include "engines/kdideverazez_impl.h"
#include "report/PoolFigures.h"
#include "statistics/AllocSizes.h"
#include "statistics/ValueFormat.h"

#include <cstdio>
#include <ostream>

namespace LmAlloc {

namespace {

constexpr std::size_t kRangeBuffer = 256;

// " Current=.. Peak=.. Cumul=.." of one StatValue.
void WriteFigureAttributes(std::ostream& os, const StatValue& figures) {
    WriteAttribute(os, "Current", figures.Current);
    WriteAttribute(os, "Peak", figures.Peak);
    WriteAttribute(os, "Cumul", figures.Cumul);
}

void WriteFigureElement(std::ostream& os, const char* tag, const StatValue& figures) {
    os << "<" << tag;
    WriteFigureAttributes(os, figures);
    os << "/>" << std::endl;
}

void WriteSizeRow(std::ostream& os, const char* range, std::uint64_t count) {
    os << "<Alloc";
    WriteAttribute(os, "Range", range);
    WriteAttribute(os, "Count", static_cast<std::int64_t>(count));
    os << "/>" << std::endl;
}

} // namespace

void XMLFileStream::WriteAllocator(const allocator_impl& engine) {
    std::ostream& os = Open();
    os << "<ALLOCATOR";
    WriteAttribute(os, "Name", engine.Name);
    WriteAttribute(os, "Address", static_cast<const void*>(&engine));
    WriteAttribute(os, "SelfPeak", engine.SelfStat.Memory.Load().Peak);
    WriteAttribute(os, "GlobalPeak", engine.GlobalStat.Memory.Load().Peak);
    if (const allocator_impl* parent = engine.Parent; parent != nullptr) {
        // The parent's name goes in unchanged: no "_null" for it (a null one
        // leaves the quotes empty). Its address matches the Address of the
        // parent's own element.
        os << " ParentName=\"" << (parent->Name != nullptr ? parent->Name : "") << '"';
        os << " ParentAddress=\"" << static_cast<const void*>(parent) << '"';
    }
    os << ">" << std::endl;
    // Through the virtual table: a derived stream's content lands inside.
    DumpAllocator(engine);
    os << "</ALLOCATOR>" << std::endl;
}

void XMLFileStream::WriteStatistics(const StatAlloc& stat, const char* statName) {
    std::ostream& os = Open();
    const StatAlloc figures = stat.Load();
    if (figures.Memory.Cumul <= 0) {
        return;
    }
    os << "<STAT_ALLOC";
    WriteAttribute(os, "Name", statName);
    os << ">" << std::endl;
    WriteFigureElement(os, "MEMORY", figures.Memory);
    WriteFigureElement(os, "COUNTER", figures.Counter);
    os << "</STAT_ALLOC>" << std::endl;
}

void XMLFileStream::WriteMemoryManagers(const PagedMemory& pool) {
    const detail::PoolFigures figures = detail::SnapshotPool(pool);
    // A pool that never held a page leaves an unopened file unopened.
    if (!figures.AnyPageEver) {
        return;
    }
    std::ostream& os = Open();
    os << "<MEMORY_MANAGERS>" << std::endl;
    for (const detail::ManagerFigures& manager : figures.Managers) {
        if (!manager.EverHeldAPage()) {
            continue;
        }
        os << "<MEMORY_MANAGER";
        WriteAttribute(os, "Name", static_cast<std::int64_t>(manager.BlockSize));
        os << ">" << std::endl;
        WriteFigureElement(os, "Alloc", manager.Blocks);
        WriteFigureElement(os, "Pages", manager.Pages);
        os << "</MEMORY_MANAGER>" << std::endl;
    }
    os << "</MEMORY_MANAGERS>" << std::endl;
}

void XMLFileStream::WriteAllocSizes(const AllocSizes& sizes) {
    std::ostream& os = Open();
    // The element opens in front of its first row, so an empty histogram
    // writes nothing at all.
    bool elementOpen = false;
    auto openElement = [&] {
        if (!elementOpen) {
            elementOpen = true;
            os << "<ALLOC_SIZES>" << std::endl;
        }
    };
    auto label = [](const char* text) { return text != nullptr ? text : ""; };

    char range[kRangeBuffer];
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < sizes.classes.size(); ++i) {
        const AllocSizeClass& row = sizes.classes[i];
        if (row.count == 0) {
            continue;
        }
        openElement();
        if (i == 0) {
            std::snprintf(range, sizeof range, "[ %-5s ]", label(row.label));
        } else {
            std::snprintf(range, sizeof range, "] %-5s to %-5s ]",
                          label(sizes.classes[i - 1].label), label(row.label));
        }
        WriteSizeRow(os, range, row.count);
        total += row.count;
    }
    if (total != 0) {
        WriteSizeRow(os, "TOTAL", total);
    }
    if (sizes.pages != 0) {
        openElement();
        std::snprintf(range, sizeof range, "PAGES( sz=%7i b)",
                      static_cast<int>(AllocSizes::PageBytes));
        WriteSizeRow(os, range, sizes.pages);
    }
    if (elementOpen) {
        os << "</ALLOC_SIZES>" << std::endl;
    }
}

} // namespace LmAlloc
