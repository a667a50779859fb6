#include "PageStacks.h"

#include <algorithm>

namespace dideverazez::report {
namespace {

bool SameObjects(const std::vector<Object>& a, const std::vector<Object>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Object& x, const Object& y) {
        return x.path == y.path && x.buildId == y.buildId && x.base == y.base &&
               x.start == y.start && x.end == y.end && x.offset == y.offset;
    });
}

std::vector<std::string> NamesOf(const Symbols& symbols, const std::vector<Object>& objects,
                                 const std::vector<std::uint64_t>& stack) {
    std::vector<std::string> names;
    for (const Frame& frame : symbols.Stack(stack)) {
        names.push_back(PageName(frame, objects));
    }
    return names;
}

} // namespace

std::string PageName(const Frame& frame, const std::vector<Object>& objects) {
    if (!frame.function.empty()) {
        return frame.function;
    }
    std::string name = Hex(frame.address);
    if (frame.object >= 0) {
        const std::string& path = objects[static_cast<std::size_t>(frame.object)].path;
        name += " (" + path.substr(path.rfind('/') + 1) + ")"; // npos + 1 is 0
    }
    return name;
}

PageStacks::PageStacks() = default;
PageStacks::~PageStacks() = default;

bool PageStacks::Fits(const Table& table, const Snapshot& snapshot) {
    const std::size_t common = std::min(table.stacks.size(), snapshot.stacks.size());
    if (!std::equal(table.stacks.begin(), table.stacks.begin() + static_cast<long>(common),
                    snapshot.stacks.begin())) {
        return false;
    }
    if (SameObjects(table.objects, snapshot.objects)) {
        return true;
    }
    // Objects loaded or unloaded since: the same addresses may name other frames.
    const Symbols symbols(snapshot.objects, files_);
    for (std::size_t i = 0; i < common; ++i) {
        const std::vector<std::string> names =
            NamesOf(symbols, snapshot.objects, snapshot.stacks[i]);
        const Named& named = table.named[i];
        if (!std::equal(names.begin(), names.end(), named.begin(), named.end(),
                        [&](const std::string& name, std::size_t index) {
                            return names_[index] == name;
                        })) {
            return false;
        }
    }
    return true;
}

void PageStacks::Extend(Table& table, const Snapshot& snapshot, std::size_t from) {
    const Symbols symbols(snapshot.objects, files_);
    for (std::size_t i = from; i < snapshot.stacks.size(); ++i) {
        Named named;
        for (std::string& name : NamesOf(symbols, snapshot.objects, snapshot.stacks[i])) {
            const auto [at, added] = indexOf_.try_emplace(name, names_.size());
            if (added) {
                names_.push_back(std::move(name));
            }
            named.push_back(at->second);
        }
        table.stacks.push_back(snapshot.stacks[i]);
        table.named.push_back(std::move(named));
    }
    table.objects = snapshot.objects;
}

std::size_t PageStacks::TableOf(const Snapshot& snapshot) {
    // The latest tables first: a series' next snapshot most likely extends
    // the table its previous one did.
    for (std::size_t index = tables_.size(); index-- > 0;) {
        Table& table = tables_[index];
        if (Fits(table, snapshot)) {
            if (snapshot.stacks.size() > table.stacks.size()) {
                Extend(table, snapshot, table.stacks.size());
            }
            return index;
        }
    }
    tables_.emplace_back();
    Extend(tables_.back(), snapshot, 0);
    return tables_.size() - 1;
}

} // namespace dideverazez::report
