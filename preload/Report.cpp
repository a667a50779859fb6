// The text report at exit (DIDEVERAZEZ_PRELOAD_REPORT=<path>, "%p" the process
// id): one row a live thread (by thread) or a shared object (by library), and
// by thread one row a name for the pairs of threads that ended, merged.
//
// A merged row sums the counters of its pairs and has no peaks ("-").
// A row's blocks, ever, bytes, peak bytes and cumulative bytes are those of
// its "allocations" handle: the program's blocks, each charged as the library
// counts it (the class size or the size asked for, with the block header).
// Heap bytes and heap peak are its tree's: the pages and large blocks it holds
// from the C heap. The report replaces the file whole. Names are escaped (control characters shown
// as \t, \n, \r or \xNN, a backslash as \\) and columns aligned by characters of UTF-8. The report
// is written from inside: what it allocates comes from the C heap.

#include "Preload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace dideverazez::preload {
namespace {

// The environment's, copied: a program may write over its environment (a
// server setting its process title does).
char gPatternCopy[4096];
const char* gPattern = nullptr; // gPatternCopy, or null for no report
bool gSaid = false;             // a path that cannot be written was reported

std::string PathNow() {
    std::string path;
    for (const char* c = gPattern; *c != '\0'; ++c) {
        if (c[0] == '%' && c[1] == 'p') {
            path += std::to_string(getpid());
            ++c;
        } else {
            path += *c;
        }
    }
    return path;
}

void SayCannotWrite(const std::string& path) {
    std::fprintf(stderr, "dideverazez preload: cannot write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    gSaid = true;
}

// Whether the report may go to `path`: only a regular file is replaced; a
// FIFO, a device, a folder or a link is rejected, reported once.
bool RegularOrAbsent(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode)) {
        return true;
    }
    if (!gSaid) {
        std::fprintf(stderr,
                     "dideverazez preload: %s is not a regular file (a FIFO, a device, a folder "
                     "or a link): no report is written there\n",
                     path.c_str());
        gSaid = true;
    }
    return false;
}

std::string Escaped(const char* name) {
    std::string text;
    for (const char* c = name; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte == '\\') {
            text += "\\\\";
        } else if (byte == '\t' || byte == '\n' || byte == '\r') {
            text += byte == '\t' ? "\\t" : byte == '\n' ? "\\n" : "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            text += hex;
        } else {
            text += *c;
        }
    }
    return text;
}

// Characters, not bytes: UTF-8 continuation bytes take no column.
std::size_t Width(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

struct Row {
    std::string name, thread;
    std::size_t merged = 0; // idle pairs merged into the row; 0 for a row of its own
    zu_allocator::Metrics blocks{}, tree{};
};

void Add(Row& into, const zu_allocator::Metrics& blocks, const zu_allocator::Metrics& tree) {
    into.blocks.CountCurrent += blocks.CountCurrent;
    into.blocks.CountCumul += blocks.CountCumul;
    into.blocks.MemoryCurrent += blocks.MemoryCurrent;
    into.blocks.MemoryPeak = blocks.MemoryPeak; // shown for a row of its own only
    into.blocks.MemoryCumul += blocks.MemoryCumul;
    into.tree.MemoryCurrent += tree.MemoryCurrent;
    into.tree.MemoryPeak = tree.MemoryPeak;
}

void Collect(void* context, const Served& served) {
    auto& rows = *static_cast<std::vector<Row>*>(context);
    zu_allocator::Metrics blocks{}, tree{};
    served.blocks->GetMetrics(blocks);
    served.tree->GetMetrics(tree);
    const long thread = served.thread.load(std::memory_order_relaxed);
    const std::string name = Escaped(served.name);
    if (gBy == By::Thread && thread == 0) {
        const auto same = std::find_if(rows.begin(), rows.end(), [&](const Row& r) {
            return r.merged != 0 && r.name == name;
        });
        Row& into = same != rows.end() ? *same : rows.emplace_back(Row{name, "", 0, {}, {}});
        ++into.merged;
        Add(into, blocks, tree);
        into.thread = "ended: " + std::to_string(into.merged);
        return;
    }
    Row& row =
        rows.emplace_back(Row{name, gBy == By::Thread ? std::to_string(thread) : "-", 0, {}, {}});
    Add(row, blocks, tree);
}

} // namespace

void CheckReportPath() {
    const char* pattern = secure_getenv("DIDEVERAZEZ_PRELOAD_REPORT");
    if (pattern == nullptr) {
        return;
    }
    if (std::strlen(pattern) >= sizeof gPatternCopy) {
        std::fprintf(stderr,
                     "dideverazez preload: DIDEVERAZEZ_PRELOAD_REPORT is too long; no report\n");
        return;
    }
    gPattern = std::strcpy(gPatternCopy, pattern);
    // Reported now rather than when the program ends, after all its work. The
    // file is made now, empty, and written whole at exit.
    const std::string path = PathNow();
    if (!RegularOrAbsent(path)) {
        return;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        SayCannotWrite(path);
    } else {
        close(fd);
    }
}

void WriteReport() {
    if (gPattern == nullptr) {
        return;
    }
    std::vector<Row> rows;
    VisitServed(Collect, &rows);
    const std::vector<const char*> headings = {
        "handle",     "thread",           "blocks",     "ever",     "bytes",
        "peak bytes", "cumulative bytes", "heap bytes", "heap peak"};
    std::vector<std::vector<std::string>> cells;
    for (const Row& r : rows) {
        // The peak of a sum is not the sum or the highest of the peaks: a
        // merged row has none.
        const auto peak = [&](std::int64_t value) {
            return r.merged != 0 ? std::string("-") : std::to_string(value);
        };
        cells.push_back({r.name, r.thread, std::to_string(r.blocks.CountCurrent),
                         std::to_string(r.blocks.CountCumul),
                         std::to_string(r.blocks.MemoryCurrent), peak(r.blocks.MemoryPeak),
                         std::to_string(r.blocks.MemoryCumul), std::to_string(r.tree.MemoryCurrent),
                         peak(r.tree.MemoryPeak)});
    }
    std::vector<std::size_t> widths;
    for (const char* heading : headings) {
        widths.push_back(std::strlen(heading));
    }
    for (const auto& line : cells) {
        for (std::size_t i = 0; i < line.size(); ++i) {
            widths[i] = std::max(widths[i], Width(line[i]));
        }
    }
    std::string text;
    const auto add = [&](const std::vector<std::string>& line) {
        for (std::size_t i = 0; i < line.size(); ++i) {
            const std::string pad(widths[i] - Width(line[i]), ' ');
            text += i == 0 ? "" : "  ";
            text += i < 2 ? line[i] + (i + 1 < line.size() ? pad : "") : pad + line[i];
        }
        text += '\n';
    };
    add(std::vector<std::string>(headings.begin(), headings.end()));
    for (const auto& line : cells) {
        add(line);
    }
    // Whole, under a temporary name first: the processes of one pipeline that
    // share a path without "%p" each replace the report, never mix theirs.
    const std::string path = PathNow();
    if (!RegularOrAbsent(path)) {
        return;
    }
    const std::string temporary = path + "." + std::to_string(getpid()) + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    const bool written = file != nullptr && std::fputs(text.c_str(), file) >= 0;
    if ((file == nullptr || std::fclose(file) != 0 || !written ||
         std::rename(temporary.c_str(), path.c_str()) != 0)) {
        if (!gSaid) {
            SayCannotWrite(path);
        }
        std::remove(temporary.c_str());
    }
}

} // namespace dideverazez::preload
