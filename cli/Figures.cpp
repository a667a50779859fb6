#include "Figures.h"
#include "Report.h"

#include "format/SnapshotKeys.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace dideverazez::report {
namespace {

using Limits = std::numeric_limits<std::int64_t>;

// Characters, not bytes: UTF-8 continuation bytes take no column.
std::size_t Width(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// A paged root's own blocks, now or ever: its statistic self without its pages
// (its heap blocks and declared amounts), and its pooled blocks, which charge
// no statistic of the root but pooled.
std::int64_t PagedRootBlocks(const Engine& root, std::int64_t Items::*figure) {
    return Sum(Difference(root.pageItems.*figure, root.selfItems.*figure),
               root.pooledItems.*figure);
}

} // namespace

std::string Grouped(std::int64_t value) {
    // The magnitude in unsigned arithmetic, where the lowest value has one.
    const std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    const std::string digits = std::to_string(magnitude);
    std::string text = value < 0 ? "-" : "";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            text += ',';
        }
        text += digits[i];
    }
    return text;
}

std::string Signed(std::int64_t change) {
    std::string text = change > 0 ? "+" : "";
    return text += Grouped(change);
}

std::string Escaped(std::string_view text) {
    constexpr const char* hex = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            out += {'\\', 'x', hex[c >> 4], hex[c & 15]};
        } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
            // U+0080 to U+009F in UTF-8: C2 80 to C2 9F.
            out += {'\\', 'u', '0', '0', hex[next >> 4], hex[next & 15]};
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string EscapedPath(std::string_view path) {
    const char letter = static_cast<char>(path.empty() ? 0 : path[0] | 0x20);
    const bool drive =
        path.size() >= 3 && letter >= 'a' && letter <= 'z' && path[1] == ':' && path[2] == '\\';
    if (!drive && path.substr(0, 2) != "\\\\") {
        return Escaped(path);
    }
    std::string out;
    for (std::size_t start = 0;;) {
        const std::size_t slash = path.find('\\', start);
        out += Escaped(path.substr(start, slash - start));
        if (slash == std::string_view::npos) {
            return out;
        }
        out += '\\';
        start = slash + 1;
    }
}

std::int64_t Difference(std::int64_t from, std::int64_t to) {
    if ((from < 0 && to > Limits::max() + from) || (from > 0 && to < Limits::min() + from)) {
        throw std::overflow_error("values too far apart to subtract: " + Grouped(to) + " - " +
                                  Grouped(from));
    }
    return to - from;
}

std::int64_t Sum(std::int64_t a, std::int64_t b) {
    if ((b > 0 && a > Limits::max() - b) || (b < 0 && a < Limits::min() - b)) {
        throw std::overflow_error("values too large to add up: " + Grouped(a) + " + " + Grouped(b));
    }
    return a + b;
}

std::vector<Blocks> BlocksOf(const Snapshot& snapshot) {
    std::vector<Blocks> blocks;
    std::size_t root = 0; // the root of the engines that follow it
    for (std::size_t i = 0; i < snapshot.engines.size(); ++i) {
        const Engine& engine = snapshot.engines[i];
        Blocks row{engine.metrics.countCurrent, engine.metrics.countCumul, false, 0};
        if (engine.depth == 0) {
            root = i;
            if (engine.kind == format::kPagedKind) {
                row = {PagedRootBlocks(engine, &Items::current),
                       PagedRootBlocks(engine, &Items::cumulative), true, engine.pageItems.current};
            }
        } else if (engine.depth == 1 && blocks[root].pagedRoot) {
            blocks[root].current = Sum(blocks[root].current, engine.globalItems.current);
            blocks[root].cumulative = Sum(blocks[root].cumulative, engine.globalItems.cumulative);
        }
        blocks.push_back(row);
    }
    return blocks;
}

std::vector<Own> OwnOf(const Snapshot& snapshot) {
    std::vector<Own> own;
    std::vector<std::size_t> chain; // the engine at each depth above the one read
    for (std::size_t i = 0; i < snapshot.engines.size(); ++i) {
        const Engine& engine = snapshot.engines[i];
        const Metrics& m = engine.metrics;
        const bool paged = engine.kind == format::kPagedKind;
        chain.resize(static_cast<std::size_t>(engine.depth));
        own.push_back({m.countCurrent, m.memoryCurrent, true});
        if (chain.empty()) {
            if (paged) {
                own.back() = {PagedRootBlocks(engine, &Items::current), 0, false};
            }
        } else {
            // The engine whose global statistics hold this one's too (a paged
            // engine's its whole subtree's): a paged engine's parent, any other's
            // root; none when that is a paged root, whose own blocks are read
            // from its statistic self.
            const std::size_t parent = chain.back(), root = chain.front();
            const std::size_t charged =
                paged ? (parent == root ? i : parent)
                      : (snapshot.engines[root].kind == format::kPagedKind ? i : root);
            if (charged != i) {
                own[charged].blocks = Difference(m.countCurrent, own[charged].blocks);
                own[charged].bytes = Difference(m.memoryCurrent, own[charged].bytes);
            }
        }
        chain.push_back(i);
    }
    return own;
}

void WriteTable(std::ostream& out, const std::vector<Column>& columns,
                const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const Column& column : columns) {
        widths.push_back(Width(column.heading));
    }
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            widths[i] = std::max(widths[i], Width(row[i]));
        }
    }
    const auto line = [&](auto cell) {
        std::string text;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const std::string value = cell(i);
            const std::string pad(widths[i] - Width(value), ' ');
            text += i > 0 ? "  " : "";
            text += columns[i].left ? value : pad;
            text += columns[i].left ? pad : value;
        }
        text.erase(text.find_last_not_of(' ') + 1);
        out << text << '\n';
    };
    line([&](std::size_t i) { return columns[i].heading; });
    line([&](std::size_t i) { return std::string(widths[i], '-'); });
    for (const auto& row : rows) {
        line([&](std::size_t i) {
            return row.empty() ? std::string(widths[i], '-') : i < row.size() ? row[i] : "";
        });
    }
}

} // namespace dideverazez::report
