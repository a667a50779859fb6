// Section writers of the XML report stream.

#include "report/ReportStreams.h"

#include "engines/kdideverazez_impl.h"
#include "statistics/AllocSizes.h"

#include <ostream>

namespace LmAlloc {

void XMLFileStream::WriteAllocator(const allocator_impl& engine) {
    Open();
    DumpAllocator(engine);
}

void XMLFileStream::WriteStatistics(const StatAlloc&, const char*) { Open(); }

void XMLFileStream::WriteMemoryManagers(const PagedMemory& pool) {
    for (const MemoryManager& manager : pool.Managers) {
        if (manager.Pages.Load().Cumul > 0) {
            Open();
            return;
        }
    }
}

void XMLFileStream::WriteAllocSizes(const AllocSizes&) { Open(); }

} // namespace LmAlloc
