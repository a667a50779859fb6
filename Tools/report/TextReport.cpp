// Section writers of the plain-text report stream.
//
// Each section reads its input once (statistics through their Load snapshots,
// so a report of an engine in use elsewhere is race-free, if not taken at one
// instant), writes whole lines each ended by std::endl, and changes nothing it
// is given. An owning stream opens its file where each section says, even when
// the section then has nothing to write; a file that could not be created
// leaves the stream failed and every write is dropped.

#include "report/ReportStreams.h"

#include "engines/kdideverazez_impl.h"
#include "report/PoolFigures.h"
#include "statistics/AllocSizes.h"
#include "statistics/ValueFormat.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace LmAlloc {

namespace {

constexpr std::size_t kLineBuffer = 256;
constexpr std::size_t kLabelBuffer = 64;
// A VM growth up to 4 Mo is noise, not worth a rating.
constexpr std::uint64_t kVmDeltaThreshold = 4194304;

// "%10i" and "%7i" fields print the low 32 bits of a count.
int Low32(std::uint64_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

const char* TextOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

// "  MM(  64) = Alloc(Inc = ...; Dec = ...; Max = ...)": the block or page
// counters of one size class; Dec is what was freed (cumulative - current).
void WriteManagerLine(std::ostream& os, const detail::ManagerFigures& manager, const char* kind,
                      const StatValue& figures) {
    char label[kLabelBuffer];
    std::snprintf(label, sizeof label, "MM(%4.0i)", Low32(manager.BlockSize));
    os << "  " << label << " = " << kind << "("
       << "Inc = ";
    FormatWhole(os, figures.Cumul);
    os << "; Dec = ";
    FormatWhole(os, dideverazez::detail::WrapSubtract(figures.Cumul, figures.Current));
    os << "; Max = ";
    FormatWhole(os, figures.Peak);
    os << ")" << std::endl;
}

} // namespace

void FileStream::WriteStatistics(const StatAlloc& stat, const char* statName) {
    std::ostream& os = Open();
    const StatAlloc figures = stat.Load();
    if (figures.Memory.Cumul <= 0) {
        return;
    }
    // The name is written as given, with nothing after it: callers that want a
    // separator put it in the name.
    const char* name = TextOrEmpty(statName);

    os << name << "Current = ";
    FormatGrouped(os, figures.Memory.Current, 20);
    os << " (Inc  = ";
    FormatWhole(os, figures.Counter.Cumul);
    os << "; Dec  = ";
    FormatWhole(os,
                dideverazez::detail::WrapSubtract(figures.Counter.Cumul, figures.Counter.Current));
    os << "; Peak = ";
    FormatWhole(os, figures.Counter.Peak);
    os << ")" << std::endl;

    os << name << "Peak    = ";
    FormatGrouped(os, figures.Memory.Peak, 20);
    os << " ( ";
    FormatByteSize(os, figures.Memory.Peak);
    os << " )" << std::endl;

    os << name << "Cumul   = ";
    FormatGrouped(os, figures.Memory.Cumul, 20);
    os << " ( ";
    FormatByteSize(os, figures.Memory.Cumul);
    os << " )" << std::endl;
}

void FileStream::WriteProcessFigures(const ProcessInfo& process, std::uint64_t allocatorDelta) {
    std::ostream& os = Open();
    if (process.VmStart == 0) {
        return;
    }
    WriteSecondsLine(os, "Time Total", process.UserTime + process.KernelTime);
    if (allocatorDelta == 0) {
        return;
    }
    // The growth of the process's virtual memory, from the lower of its start
    // and end values up to its peak (unsigned, as the values are).
    const std::uint64_t vmEnd = process.GetCurrentVm();
    const std::uint64_t vmPeak = process.VmPeak;
    const std::uint64_t vmDelta = vmPeak - std::min(vmEnd, process.VmStart);
    if (vmDelta <= kVmDeltaThreshold) {
        return;
    }
    WriteKoLine(os, "VM Start", process.VmStart);
    WriteKoLine(os, "VM End", vmEnd);
    WriteKoLine(os, "VM Peak", vmPeak);
    WriteKoLine(os, "Delta VM", vmDelta);
    WriteKoLine(os, "Delta (allocator)", allocatorDelta);
    // The share of that growth the allocator accounts for.
    WritePercentLine(os, " Rating VM",
                     static_cast<double>(allocatorDelta) / static_cast<double>(vmDelta) * 100);
}

void FileStream::WriteMemoryManagers(const PagedMemory& pool) {
    const detail::PoolFigures figures = detail::SnapshotPool(pool);
    // A pool that never held a page leaves an unopened file unopened.
    if (!figures.AnyPageEver) {
        return;
    }
    std::ostream& os = Open();
    os << " "
       << "Detailed allocation (paged memory)" << std::endl;
    for (const detail::ManagerFigures& manager : figures.Managers) {
        if (manager.EverHeldAPage()) {
            WriteManagerLine(os, manager, "Alloc", manager.Blocks);
        }
    }
    os << std::endl;
    for (const detail::ManagerFigures& manager : figures.Managers) {
        if (manager.EverHeldAPage()) {
            WriteManagerLine(os, manager, "Pages", manager.Pages);
        }
    }
    os << std::endl;
}

void FileStream::WriteAllocSizes(const AllocSizes& sizes) {
    std::ostream& os = Open();
    char line[kLineBuffer];
    // The header goes in front of the first line of the table, so an empty
    // histogram writes nothing at all.
    bool headerPending = true;
    auto writeLine = [&] {
        if (headerPending) {
            headerPending = false;
            os << "ALLOC_SIZES : " << TextOrEmpty(sizes.name) << std::endl;
            char header[kLineBuffer];
            std::snprintf(header, sizeof header, "%-21s|%-10s", " RANGE", " Count");
            os << header << std::endl;
        }
        os << line << std::endl;
    };

    std::uint64_t total = 0;
    for (std::size_t i = 0; i < sizes.classes.size(); ++i) {
        const AllocSizeClass& row = sizes.classes[i];
        if (row.count == 0) {
            continue;
        }
        if (i == 0) {
            // The smallest class holds a single size.
            std::snprintf(line, sizeof line, "[           %-5s ] |%10i", TextOrEmpty(row.label),
                          Low32(row.count));
        } else {
            // Sizes above the previous bound, up to this one; the previous
            // row names the lower end even when it was skipped.
            std::snprintf(line, sizeof line, "] %-5s to %-5s ] |%10i",
                          TextOrEmpty(sizes.classes[i - 1].label), TextOrEmpty(row.label),
                          Low32(row.count));
        }
        writeLine();
        total += row.count;
    }
    if (total != 0) {
        std::snprintf(line, sizeof line, "%-21s|%10i", "TOTAL", Low32(total));
        writeLine();
    }
    if (sizes.pages != 0) {
        // Pages are counted apart from the requests: not part of TOTAL.
        std::snprintf(line, sizeof line, "PAGES( sz=%7i b) |%10i", Low32(AllocSizes::PageBytes),
                      Low32(sizes.pages));
        writeLine();
    }
}

} // namespace LmAlloc
