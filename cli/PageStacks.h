// The names of the frames of the sampled stacks that html's page shows
// (docs/snapshot.md, html), held once for the whole page: each name once, and
// the stacks in tables of those names' indices, one table for every run of a
// process. A process's stacks only grow (a later snapshot's `stacks` list
// extends an earlier one's), so the table named after its latest snapshot
// serves every earlier one: a snapshot's sites index its table as they index
// its own `stacks`.
#pragma once

#include "Snapshot.h"
#include "Symbols.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace dideverazez::report {

class PageStacks {
public:
    PageStacks();
    ~PageStacks();
    PageStacks(const PageStacks&) = delete;
    PageStacks& operator=(const PageStacks&) = delete;

    // A stack as the page holds it: its frames' names by index in Names(),
    // innermost first, without the library's own leading frames.
    using Named = std::vector<std::size_t>;

    // The index (for Stacks) of the table whose first stacks are those of
    // `snapshot`, named as its objects name them: a table that one of them
    // already began (extended to the snapshot's stacks), else a new one.
    std::size_t TableOf(const Snapshot& snapshot);

    const std::vector<std::string>& Names() const { return names_; }
    std::size_t TableCount() const { return tables_.size(); }
    // The stacks of table `index`, in the order the snapshots list them.
    const std::vector<Named>& Stacks(std::size_t index) const { return tables_[index].named; }

private:
    struct Table {
        std::vector<std::vector<std::uint64_t>> stacks; // as the snapshots recorded them
        std::vector<Object> objects;                    // of the last snapshot that extended it
        std::vector<Named> named;                       // stacks[i] named
    };

    // Whether the snapshot's stacks and the table's begin alike, one the
    // beginning of the other, their frames named alike.
    bool Fits(const Table& table, const Snapshot& snapshot);
    // The stacks of `snapshot` from `from` on, named, appended to `table`.
    void Extend(Table& table, const Snapshot& snapshot, std::size_t from);

    SymbolFiles files_;
    std::vector<std::string> names_;
    std::unordered_map<std::string, std::size_t> indexOf_; // names_[indexOf_[name]] == name
    std::vector<Table> tables_;
};

// The name html gives a frame: its function's, else its address in hex and
// the file name of its object.
std::string PageName(const Frame& frame, const std::vector<Object>& objects);

} // namespace dideverazez::report
