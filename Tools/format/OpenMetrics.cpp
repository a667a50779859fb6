// OpenMetrics text of the live handles (docs/metrics.md).
//
// Series are keyed by (path, root, kind): handles sharing a path are never
// ancestor and descendant (a descendant's path is longer), so summing their
// counters counts nothing twice. Past kMaxSeries keys, the rows deeper than a
// depth cut are folded: they get no series, the bytes and blocks of their
// kept ancestor already include theirs, and their declared and reserved bytes
// (the handle's own) are added to that ancestor's, so that every sum over the
// series stays the process's.

#include "format/OpenMetrics.h"

#include "format/Utf8.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace dideverazez::openmetrics {

namespace {

// The bytes of a name as the label shows them: valid UTF-8, a byte that
// starts no well-formed sequence replaced by U+FFFD (format/Utf8.h).
class Utf8 {
public:
    explicit Utf8(std::string_view text) : text_(text) {}
    // The next byte, or -1 at the end.
    int Next() {
        if (at_ < size_) {
            return static_cast<unsigned char>(piece_[at_++]);
        }
        if (i_ >= text_.size()) {
            return -1;
        }
        std::size_t length = format::WellFormedLength(text_, i_);
        if (length != 0) {
            piece_ = text_.data() + i_;
            i_ += length;
        } else {
            piece_ = format::kReplacement.data();
            length = format::kReplacement.size();
            ++i_;
        }
        size_ = length;
        at_ = 1;
        return static_cast<unsigned char>(piece_[0]);
    }

private:
    std::string_view text_;
    std::size_t i_ = 0;
    const char* piece_ = nullptr;
    std::size_t size_ = 0, at_ = 0;
};

// <0, 0, >0 as `a` sorts before, with or after `b`, as labels.
int Compare(std::string_view a, std::string_view b) {
    Utf8 x(a), y(b);
    for (;;) {
        const int p = x.Next(), q = y.Next();
        if (p != q || p < 0) {
            return p - q;
        }
    }
}

struct Family {
    const char* name;
    const char* type;
    const char* unit; // null for none
    const char* help;
    std::int64_t Row::*figure;
};

constexpr Family kHandleFamilies[] = {
    {"dideverazez_handle_bytes", "gauge", "bytes",
     "Bytes held now by the handles of the path and their descendants", &Row::bytes},
    {"dideverazez_handle_peak_bytes", "gauge", "bytes",
     "Highest bytes held by a handle of the path with its descendants", &Row::peakBytes},
    {"dideverazez_handle_allocated_bytes", "counter", "bytes",
     "Bytes ever allocated by the handles of the path and their descendants", &Row::allocatedBytes},
    {"dideverazez_handle_blocks", "gauge", nullptr,
     "Blocks in use now in the handles of the path and their descendants", &Row::blocks},
    {"dideverazez_handle_allocated_blocks", "counter", nullptr,
     "Blocks ever allocated by the handles of the path and their descendants",
     &Row::allocatedBlocks},
    {"dideverazez_handle_self_peak_bytes", "gauge", "bytes",
     "Highest bytes held by a handle of the path alone", &Row::selfPeakBytes},
    {"dideverazez_handle_declared_bytes", "gauge", "bytes",
     "Bytes declared in use now (IncMemoryUsed) by the handles of the path and those folded "
     "into it",
     &Row::declaredBytes},
    {"dideverazez_handle_reserved_bytes", "gauge", "bytes",
     "Bytes reserved now (Reserve) by the handles of the path and those folded into it",
     &Row::reservedBytes},
};

// The process's totals: the roots' bytes and blocks, every handle's declared
// and reserved bytes, and how many handles there are and lack a series.
enum Total {
    kTotalBytes,
    kTotalAllocatedBytes,
    kTotalBlocks,
    kTotalAllocatedBlocks,
    kTotalDeclared,
    kTotalReserved,
    kTotalHandles,
    kTotalFolded,
    kTotalCount
};

constexpr Family kProcessFamilies[] = {
    {"dideverazez_process_bytes", "gauge", "bytes", "Bytes held now by every tree of handles",
     nullptr},
    {"dideverazez_process_allocated_bytes", "counter", "bytes",
     "Bytes ever allocated by every tree of handles", nullptr},
    {"dideverazez_process_blocks", "gauge", nullptr, "Blocks in use now in every tree of handles",
     nullptr},
    {"dideverazez_process_allocated_blocks", "counter", nullptr,
     "Blocks ever allocated by every tree of handles", nullptr},
    {"dideverazez_process_declared_bytes", "gauge", "bytes",
     "Bytes declared in use now by every handle", nullptr},
    {"dideverazez_process_reserved_bytes", "gauge", "bytes", "Bytes reserved now by every handle",
     nullptr},
    {"dideverazez_handles", "gauge", nullptr, "Live handles", nullptr},
    {"dideverazez_folded_handles", "gauge", nullptr,
     "Live handles without a series of their own, folded into an ancestor's (past 1000 series)",
     nullptr},
};
static_assert(sizeof kProcessFamilies / sizeof kProcessFamilies[0] == kTotalCount);
static_assert(kMaxSeries == 1000, "the help of dideverazez_folded_handles gives the bound");

std::int64_t Add(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        throw std::overflow_error("a sum of counters has no 64-bit value");
    }
    return sum;
}

// Where a row's counters go.
enum Series : std::int64_t { kFolded, kOwn, kStar };

class Writer {
public:
    Writer(const Row* rows, std::size_t count, std::int64_t* scratch, Sink sink, void* context,
           const Process& process)
        : rows_(rows), n_(count), order_(scratch), depth_(scratch + count),
          root_(scratch + 2 * count), into_(scratch + 3 * count), declared_(scratch + 4 * count),
          reserved_(scratch + 5 * count), series_(scratch + 6 * count), sink_(sink),
          context_(context), process_(process) {}

    void Run() {
        Arrange();
        Families(); // every sum first, unwritten, so that an overflow writes nothing
        write_ = true;
        Families();
        Put("# EOF\n");
    }

private:
    std::string_view RootOf(std::size_t i) const { return rows_[root_[i]].path; }

    // <0, 0, >0: the series key of row a against row b's.
    int CompareKeys(std::size_t a, std::size_t b) const {
        int c = Compare(rows_[a].path, rows_[b].path);
        c = c != 0 ? c : Compare(RootOf(a), RootOf(b));
        return c != 0 ? c : Compare(rows_[a].kind, rows_[b].kind);
    }

    // The rows' depths and roots, their order by key (shallowest first within
    // a key), the depth cut, and where each row's counters go.
    void Arrange() {
        std::int64_t deepest = 0;
        for (std::size_t i = 0; i < n_; ++i) {
            const std::size_t parent = rows_[i].parent;
            const bool root = parent == kNoParent || parent >= i;
            depth_[i] = root ? 0 : depth_[parent] + 1;
            root_[i] = root ? static_cast<std::int64_t>(i) : root_[parent];
            order_[i] = static_cast<std::int64_t>(i);
            deepest = std::max(deepest, depth_[i]);
        }
        std::sort(order_, order_ + n_, [this](std::int64_t a, std::int64_t b) {
            const int c = CompareKeys(static_cast<std::size_t>(a), static_cast<std::size_t>(b));
            return c != 0 ? c < 0 : depth_[a] < depth_[b];
        });
        // The deepest cut that leaves at most kMaxSeries keys; -1 when even
        // the roots' keys are more.
        std::int64_t low = -1, high = deepest;
        while (low < high) {
            const std::int64_t mid = low + (high - low + 1) / 2;
            if (KeysAtMost(mid) <= kMaxSeries) {
                low = mid;
            } else {
                high = mid - 1;
            }
        }
        cut_ = low;
        // With no cut that fits, the first kMaxSeries - 1 root keys keep a
        // series and the other roots share "*".
        std::size_t rootKeys = 0;
        for (std::size_t k = 0; k < n_; ++k) {
            const auto i = static_cast<std::size_t>(order_[k]);
            const bool first =
                k == 0 || CompareKeys(static_cast<std::size_t>(order_[k - 1]), i) != 0;
            if (cut_ >= 0) {
                series_[i] = depth_[i] <= cut_ ? kOwn : kFolded;
            } else if (depth_[i] != 0) {
                series_[i] = kFolded;
            } else {
                rootKeys += first ? 1 : 0;
                series_[i] = rootKeys < kMaxSeries ? kOwn : kStar;
            }
        }
        for (std::size_t i = 0; i < n_; ++i) {
            const bool folded = series_[i] == kFolded;
            into_[i] = folded ? into_[rows_[i].parent] : static_cast<std::int64_t>(i);
            declared_[i] = rows_[i].declaredBytes;
            reserved_[i] = rows_[i].reservedBytes;
            if (folded) {
                declared_[into_[i]] = Add(declared_[into_[i]], declared_[i]);
                reserved_[into_[i]] = Add(reserved_[into_[i]], reserved_[i]);
            }
        }
    }

    // How many keys have a row no deeper than `depth` (order_ sorted).
    std::size_t KeysAtMost(std::int64_t depth) const {
        std::size_t keys = 0;
        for (std::size_t k = 0; k < n_; ++k) {
            const auto i = static_cast<std::size_t>(order_[k]);
            const bool first =
                k == 0 || CompareKeys(static_cast<std::size_t>(order_[k - 1]), i) != 0;
            keys += first && depth_[i] <= depth ? 1 : 0; // a key's first row is its shallowest
        }
        return keys;
    }

    std::int64_t ValueOf(std::size_t i, std::int64_t Row::*figure) const {
        return figure == &Row::declaredBytes   ? declared_[i]
               : figure == &Row::reservedBytes ? reserved_[i]
                                               : rows_[i].*figure;
    }

    // Peaks combine as the highest, every other counter as a sum.
    static std::int64_t Combine(std::int64_t Row::*figure, std::int64_t a, std::int64_t b) {
        return figure == &Row::peakBytes || figure == &Row::selfPeakBytes ? std::max(a, b)
                                                                          : Add(a, b);
    }

    void Families() {
        for (const Family& family : kHandleFamilies) {
            Header(family);
            std::int64_t star = 0;
            bool anyStar = false;
            for (std::size_t k = 0; k < n_;) {
                const auto first = static_cast<std::size_t>(order_[k]);
                bool any = false;
                std::int64_t value = 0;
                std::size_t end = k;
                for (; end < n_ && CompareKeys(first, static_cast<std::size_t>(order_[end])) == 0;
                     ++end) {
                    const auto i = static_cast<std::size_t>(order_[end]);
                    if (series_[i] == kOwn) {
                        value = any ? Combine(family.figure, value, ValueOf(i, family.figure))
                                    : ValueOf(i, family.figure);
                        any = true;
                    } else if (series_[i] == kStar) {
                        star = anyStar ? Combine(family.figure, star, ValueOf(i, family.figure))
                                       : ValueOf(i, family.figure);
                        anyStar = true;
                    }
                }
                if (any) {
                    Sample(family, rows_[first].path, RootOf(first), rows_[first].kind, value);
                }
                k = end;
            }
            if (anyStar) {
                Sample(family, "*", "*", "*", star);
            }
        }
        std::int64_t totals[kTotalCount] = {};
        for (std::size_t i = 0; i < n_; ++i) {
            const Row& row = rows_[i];
            if (depth_[i] == 0) {
                totals[kTotalBytes] = Add(totals[kTotalBytes], row.bytes);
                totals[kTotalAllocatedBytes] =
                    Add(totals[kTotalAllocatedBytes], row.allocatedBytes);
                totals[kTotalBlocks] = Add(totals[kTotalBlocks], row.blocks);
                totals[kTotalAllocatedBlocks] =
                    Add(totals[kTotalAllocatedBlocks], row.allocatedBlocks);
            }
            totals[kTotalDeclared] = Add(totals[kTotalDeclared], row.declaredBytes);
            totals[kTotalReserved] = Add(totals[kTotalReserved], row.reservedBytes);
            totals[kTotalFolded] += series_[i] == kOwn ? 0 : 1;
        }
        totals[kTotalHandles] = static_cast<std::int64_t>(n_);
        for (std::size_t t = 0; t < kTotalCount; ++t) {
            Header(kProcessFamilies[t]);
            Put(kProcessFamilies[t].name);
            Put(std::string_view(kProcessFamilies[t].type) == "counter" ? "_total" : "");
            if (process_.id != 0) {
                Put("{");
                ProcessLabels();
                Put("}");
            }
            Put(" ");
            Number(totals[t]);
            Put("\n");
        }
    }

    // A counter's family is named as its sample, with "_total", and has no
    // UNIT line: node_exporter's textfile collector and promtool read the
    // Prometheus text format, which ties HELP and TYPE to the sample's name.
    void Header(const Family& family) {
        const bool counter = std::string_view(family.type) == "counter";
        const char* total = counter ? "_total " : " ";
        Put("# HELP ");
        Put(family.name);
        Put(total);
        Put(family.help);
        Put(".\n# TYPE ");
        Put(family.name);
        Put(total);
        Put(family.type);
        Put("\n");
        if (family.unit != nullptr && !counter) {
            Put("# UNIT ");
            Put(family.name);
            Put(" ");
            Put(family.unit);
            Put("\n");
        }
    }

    void Sample(const Family& family, std::string_view path, std::string_view root,
                std::string_view kind, std::int64_t value) {
        Put(family.name);
        Put(std::string_view(family.type) == "counter" ? "_total{path=\"" : "{path=\"");
        Label(path);
        Put("\",root=\"");
        Label(root);
        Put("\",kind=\"");
        Label(kind);
        Put("\"");
        if (process_.id != 0) {
            Put(",");
            ProcessLabels();
        }
        Put("} ");
        Number(value);
        Put("\n");
    }

    // pid="<id>",program="<name>", the program's when it is known.
    void ProcessLabels() {
        Put("pid=\"");
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, process_.id).ptr;
        Put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
        Put("\"");
        if (!process_.program.empty()) {
            Put(",program=\"");
            Label(process_.program);
            Put("\"");
        }
    }

    // A label's value: valid UTF-8, with a backslash, a double quote and a
    // line feed escaped as OpenMetrics says.
    void Label(std::string_view text) {
        Utf8 bytes(text);
        for (int c = bytes.Next(); c >= 0; c = bytes.Next()) {
            const char byte = static_cast<char>(c);
            c == '\\'   ? Put("\\\\")
            : c == '"'  ? Put("\\\"")
            : c == '\n' ? Put("\\n")
                        : Put(std::string_view(&byte, 1));
        }
    }

    void Number(std::int64_t value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        Put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
    }

    void Put(std::string_view text) {
        if (write_) {
            sink_(context_, text.data(), text.size());
        }
    }

    const Row* rows_;
    std::size_t n_;
    std::int64_t *order_, *depth_, *root_, *into_, *declared_, *reserved_, *series_;
    Sink sink_;
    void* context_;
    const Process& process_;
    std::int64_t cut_ = 0;
    bool write_ = false;
};

} // namespace

void Write(const Row* rows, std::size_t count, std::int64_t* scratch, Sink sink, void* context,
           const Process& process) {
    Writer(rows, count, scratch, sink, context, process).Run();
}

} // namespace dideverazez::openmetrics
