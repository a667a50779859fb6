// Helpers shared by the report-stream tests: splitting output into lines, the
// report file of the test process, and engines filled by real allocations.
#pragma once

#include "engines/kdideverazez_impl.h"

#include <unistd.h>

#if defined(_WIN32)
#include <io.h>
#endif

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace report_test {

// The lines of `text`; every line must end with a newline, or the unfinished
// tail is returned as a last line that a comparison will show.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start) + "<no newline>");
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

inline std::string Blanks(std::size_t n) {
    return std::string(n, ' ');
}

// The pointer as the standard stream notation writes it.
inline std::string PointerText(const void* p) {
    std::ostringstream os;
    os << p;
    return os.str();
}

// The owned report file of this process.
inline std::filesystem::path ReportFile() {
#if defined(_WIN32)
    return "c:\\allocator_" + std::to_string(::getpid()) + ".txt";
#else
    return "/tmp/allocator_" + std::to_string(::getpid()) + ".txt";
#endif
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The descriptors the process holds open. On Windows, those of the C runtime
// (at most 2048 in msvcrt), which file streams open their files through.
inline std::size_t OpenDescriptors() {
#if defined(_WIN32)
    std::size_t open = 0;
    for (int descriptor = 0; descriptor < 2048; ++descriptor) {
        open += ::_get_osfhandle(descriptor) != -1 ? 1u : 0u;
    }
    return open;
#else
    namespace fs = std::filesystem;
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
#endif
}

// A paged root whose pool has served three size classes:
// - 8-byte class: one block of 1 byte kept;          Blocks {1, 1, 1}, Pages {1, 1, 1}
// - 64-byte class: two blocks of 50 bytes, both freed; Blocks {0, 2, 2}, Pages {0, 1, 1}
//   (the emptied page goes back to the cache);
// - 1024-byte class: four blocks of 1000 bytes, the last freed. A page holds
//   3972 / 1048 = 3 of them, so the fourth took a second page, which the free
//   empties again;                                   Blocks {3, 4, 4}, Pages {1, 2, 2}.
// Every other class never held a page. Frees the kept blocks when destroyed.
class ThreeClassPool {
public:
    ThreeClassPool() : root("pool root", nullptr, false) {
        kept.push_back(root.Alloc(1, nullptr, nullptr));
        void* a = root.Alloc(50, nullptr, nullptr);
        void* b = root.Alloc(50, nullptr, nullptr);
        root.Free(a);
        root.Free(b);
        for (int i = 0; i < 3; ++i) {
            kept.push_back(root.Alloc(1000, nullptr, nullptr));
        }
        root.Free(root.Alloc(1000, nullptr, nullptr));
    }
    ~ThreeClassPool() {
        for (void* p : kept) {
            root.Free(p);
        }
    }
    ThreeClassPool(const ThreeClassPool&) = delete;
    ThreeClassPool& operator=(const ThreeClassPool&) = delete;

    const PagedMemory& Pool() const { return *root.Pool; }

    allocator_data root;
    std::vector<void*> kept;
};

} // namespace report_test
