// Section writers of the plain-text report stream.

#include "report/ReportStreams.h"

#include "engines/kdideverazez_impl.h"
#include "statistics/AllocSizes.h"

#include <ostream>

namespace LmAlloc {

void FileStream::WriteStatistics(const StatAlloc&, const char*) { Open(); }

void FileStream::WriteProcessFigures(const ProcessInfo&, std::uint64_t) { Open(); }

void FileStream::WriteMemoryManagers(const PagedMemory& pool) {
    for (const MemoryManager& manager : pool.Managers) {
        if (manager.Pages.Load().Cumul > 0) {
            Open();
            return;
        }
    }
}

void FileStream::WriteAllocSizes(const AllocSizes&) { Open(); }

} // namespace LmAlloc
