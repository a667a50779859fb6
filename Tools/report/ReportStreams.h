// Report streams: the abstract sink of the statistics reports, and its null,
// plain-text and XML implementations. A stream only reads what it is given; it
// never changes an engine, a pool or a histogram, and takes no lock (counters
// of an engine in use elsewhere are read at slightly different moments).
#pragma once

#include <cstdint>
#include <iosfwd>

class allocator_impl;
class AllocSizes;
struct PagedMemory;
struct ProcessInfo;
struct StatAlloc;

namespace LmAlloc {

// One operation per report section; the caller chooses the order.
class OutputStream {
public:
    virtual ~OutputStream() = default;
    virtual void BeginReport() = 0;
    virtual void WriteAllocator(const allocator_impl& engine) = 0;
    virtual void WriteStatistics(const StatAlloc& stat, const char* statName) = 0;
    virtual void WriteProcessFigures(const ProcessInfo& process, std::uint64_t allocatorDelta) = 0;
    virtual void WriteMemoryManagers(const PagedMemory& pool) = 0;
    virtual void WriteAllocSizes(const AllocSizes& sizes) = 0;
    virtual void DumpAllocator(const allocator_impl& engine) = 0;
    virtual void EndReport() = 0;
};

// Discards everything.
class NullStream : public OutputStream {
public:
    void BeginReport() override {}
    void WriteAllocator(const allocator_impl&) override {}
    void WriteStatistics(const StatAlloc&, const char*) override {}
    void WriteProcessFigures(const ProcessInfo&, std::uint64_t) override {}
    void WriteMemoryManagers(const PagedMemory&) override {}
    void WriteAllocSizes(const AllocSizes&) override {}
    void DumpAllocator(const allocator_impl&) override {}
    void EndReport() override {}
};

// Plain-text report lines, each ended by a newline and a flush.
//
// Built without a stream, it owns the report file of the process
// ("c:\allocator_<pid>.txt" on Windows, "/tmp/allocator_<pid>.txt" elsewhere),
// which it creates or truncates when the first section that needs it runs, and
// closes when destroyed. If the file cannot be created, writes are dropped
// silently. Built over a caller's stream, it writes there and never opens,
// flushes at destruction or closes anything.
class FileStream : public OutputStream {
public:
    FileStream();
    explicit FileStream(std::ostream& stream);
    ~FileStream() override;
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;

    void BeginReport() override;
    // Writes nothing; asks the engine's kind when it holds memory.
    void WriteAllocator(const allocator_impl& engine) override;
    // Three lines (Current, Peak, Cumul) when the statistic ever held bytes. A
    // null name is written as an empty one.
    void WriteStatistics(const StatAlloc& stat, const char* statName) override;
    // The time line, then the virtual-memory lines when they apply.
    void WriteProcessFigures(const ProcessInfo& process, std::uint64_t allocatorDelta) override;
    // Block and page counters of every size class that ever held a page.
    void WriteMemoryManagers(const PagedMemory& pool) override;
    // The histogram's non-empty rows, their total and its page count.
    void WriteAllocSizes(const AllocSizes& sizes) override;
    // Writes nothing; asks the engine's kind.
    void DumpAllocator(const allocator_impl& engine) override;
    void EndReport() override;

    std::ostream* Stream; // null until an owned file is opened
    bool OwnsStream;

protected:
    // Opens the owned report file if it is not open yet; returns Stream.
    std::ostream& Open();
};

// XML elements, one tag a line, for the engine, statistic, size-class and
// histogram sections; the process statistics are the text stream's lines. No
// declaration, no root element, and text values are not escaped.
class XMLFileStream : public FileStream {
public:
    XMLFileStream();
    explicit XMLFileStream(std::ostream& stream);

    // An ALLOCATOR element around whatever DumpAllocator writes.
    void WriteAllocator(const allocator_impl& engine) override;
    void WriteStatistics(const StatAlloc& stat, const char* statName) override;
    void WriteMemoryManagers(const PagedMemory& pool) override;
    void WriteAllocSizes(const AllocSizes& sizes) override;
    void DumpAllocator(const allocator_impl& engine) override;
};

} // namespace LmAlloc
