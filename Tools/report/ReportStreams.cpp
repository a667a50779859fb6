// The file-stream shell: construction, the owned report file, destruction.
// The section writers live in TextReport.cpp and XmlReport.cpp.

#include "report/ReportStreams.h"

#include "engines/kdideverazez_impl.h"
#include "platform/Platform.h"

#include <fstream>

namespace LmAlloc {

FileStream::FileStream() : Stream(nullptr), OwnsStream(true) {}

FileStream::FileStream(std::ostream& stream) : Stream(&stream), OwnsStream(false) {}

FileStream::~FileStream() {
    if (OwnsStream && Stream != nullptr) {
        delete Stream; // closes the file
        Stream = nullptr;
    }
}

std::ostream& FileStream::Open() {
    if (Stream == nullptr) {
        // A file that cannot be created leaves the stream failed: later writes
        // are dropped and no error is reported. Running out of memory for the
        // stream object itself raises std::bad_alloc.
        char path[64];
        dideverazez::platform::ReportPath(path, sizeof path);
        Stream = new std::ofstream(path, std::ios::out | std::ios::trunc);
    }
    return *Stream;
}

void FileStream::BeginReport() {}

void FileStream::EndReport() {}

void FileStream::WriteAllocator(const allocator_impl& engine) {
    if (!engine.IsEmpty()) {
        (void)engine.GetKind();
    }
}

void FileStream::DumpAllocator(const allocator_impl& engine) { (void)engine.GetKind(); }

XMLFileStream::XMLFileStream() = default;

XMLFileStream::XMLFileStream(std::ostream& stream) : FileStream(stream) {}

void XMLFileStream::DumpAllocator(const allocator_impl&) {}

} // namespace LmAlloc
