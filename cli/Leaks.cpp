// leaks: what a program never freed and what its retired handles left, each
// by call site, and the call sites that made the sampled peak
// (docs/sampling.md).
#include "Figures.h"
#include "Report.h"
#include "Symbols.h"

#include <algorithm>

namespace dideverazez::report {
namespace {

// How many of the call sites at the peak are shown before "and N more".
constexpr std::size_t kPeakSites = 5;

std::string Amount(std::int64_t bytes, std::int64_t blocks) {
    return Grouped(bytes) + (bytes == 1 ? " byte in " : " bytes in ") + Grouped(blocks) +
           (blocks == 1 ? " block" : " blocks");
}

std::string Many(std::int64_t count, const char* one, const char* many) {
    return Grouped(count) + " " + (count == 1 ? one : many);
}

// A call site and the handle it allocated through.
struct Placed {
    Site site;
    const std::string* path;
    bool retired;
};

class LeaksWriter {
public:
    LeaksWriter(std::ostream& out, const Snapshot& snapshot)
        : out_(out), snapshot_(snapshot), symbols_(snapshot.objects) {}

    void Write() {
        std::vector<const Retired*> retired;
        for (const Retired& entry : snapshot_.retired) {
            if (entry.metrics.memoryCurrent != 0 || entry.metrics.countCurrent != 0) {
                retired.push_back(&entry);
            }
        }
        const std::vector<std::size_t> live = NeverFreed();
        if (!live.empty() || !retired.empty() || snapshot_.peak.known) {
            WriteSampling();
        }
        WriteShare(live);
        for (const std::size_t i : live) {
            const Engine& engine = snapshot_.engines[i];
            out_ << '\n' << Escaped(engine.path) << " never freed ";
            if (own_[i].bytesKnown) {
                out_ << Amount(own_[i].bytes, own_[i].blocks);
            } else {
                out_ << Many(own_[i].blocks, "block", "blocks")
                     << " (a paged root's bytes are counted with its pages)";
            }
            WriteSites(engine.sites, "amounts declared by hand are no allocation");
        }
        for (const Retired* entry : retired) {
            const Metrics& m = entry->metrics;
            out_ << '\n'
                 << Escaped(entry->path) << " left " << Amount(m.memoryCurrent, m.countCurrent);
            if (entry->handles != 1) {
                out_ << " (" << Grouped(entry->handles) << " handles)";
            }
            WriteSites(entry->sites,
                       "a root's count holds its tree's pages, and amounts declared by "
                       "hand are no allocation");
        }
        if (retired.empty()) {
            out_ << "\nNo retired handle left memory behind.\n";
        }
        if (snapshot_.peak.known) {
            WritePeak();
        }
        WriteUnread();
    }

private:
    // Of an exit snapshot, the engines that hold what was never freed, the
    // most bytes first (paged roots, whose bytes are not known, last), after
    // the first line; of another, none, after the lines that say why.
    std::vector<std::size_t> NeverFreed() {
        std::vector<std::size_t> live;
        if (!snapshot_.atExit) {
            out_ << "Not the snapshot written at exit: live handles may still free their "
                    "blocks; only retired ones are listed.\n"
                    "For what the program never freed, read the snapshot it writes as it ends "
                    "(DIDEVERAZEZ_REPORT=FILE; the last of a series).\n";
            return live;
        }
        own_ = OwnOf(snapshot_);
        std::int64_t blocks = 0;
        for (std::size_t i = 0; i < own_.size(); ++i) {
            if (own_[i].blocks != 0 || (own_[i].bytesKnown && own_[i].bytes != 0)) {
                live.push_back(i);
                blocks = Sum(blocks, own_[i].blocks);
            }
        }
        std::stable_sort(live.begin(), live.end(), [&](std::size_t a, std::size_t b) {
            return own_[a].bytesKnown && (!own_[b].bytesKnown || own_[a].bytes > own_[b].bytes);
        });
        const std::string process = std::to_string(snapshot_.process);
        out_ << (snapshot_.program.empty()
                     ? "Process " + process
                     : Escaped(snapshot_.program) + " (process " + process + ")")
             << " ended with "
             << (live.empty() ? "no block in use in its live handles.\n"
                              : Many(blocks, "block", "blocks") + " never freed, in " +
                                    Many(static_cast<std::int64_t>(live.size()), "live handle.\n",
                                         "live handles.\n"));
        return live;
    }

    // How many of the blocks never freed the sampled sites stand for, when
    // they are estimates: blocks, which handles and sites count alike, where
    // bytes would set requested ones against charged ones.
    void WriteShare(const std::vector<std::size_t>& live) {
        std::int64_t blocks = 0, sampled = 0;
        for (const std::size_t i : live) {
            blocks = Sum(blocks, own_[i].blocks);
            for (const Site& site : snapshot_.engines[i].sites) {
                sampled = Sum(sampled, site.inUseBlocks);
            }
        }
        if (snapshot_.samplingBytes > 1 && blocks > 0) {
            out_ << "The call sites below account for about " << Grouped(sampled) << " of "
                 << Many(blocks, "block", "blocks") << " never freed (" << Percent(sampled, blocks)
                 << "%).\nTheir bytes estimate the bytes requested; the handles' are the bytes "
                    "charged, headers and size classes included.\n";
        }
    }

    void WriteSampling() {
        if (snapshot_.samplingBytes == 0) {
            out_ << "Sampling was off: no call site was recorded (DIDEVERAZEZ_SAMPLE_BYTES=<n> "
                    "records them).\n";
        } else if (snapshot_.samplingBytes == 1) {
            out_ << "Every allocation was sampled: the figures of the call sites are exact.\n";
        } else {
            out_ << "One allocation in about " << Grouped(snapshot_.samplingBytes)
                 << " bytes requested was sampled: the figures of the call sites are estimates.\n";
        }
    }

    // `part` of `whole`, in whole percent rounded down; `whole` is above 0.
    static std::int64_t Percent(std::int64_t part, std::int64_t whole) {
        return static_cast<std::int64_t>(static_cast<long double>(part) * 100 / whole);
    }

    // The sites with something in use, the most bytes first (ties in the
    // file's order), each with its stack; `unsampled` is why blocks of a
    // handle may have no site when every allocation was sampled.
    void WriteSites(const std::vector<Site>& all, const char* unsampled) {
        std::vector<Site> sites;
        std::copy_if(all.begin(), all.end(), std::back_inserter(sites), [](const Site& site) {
            return site.inUseBytes != 0 || site.inUseBlocks != 0;
        });
        if (sites.empty()) {
            if (snapshot_.samplingBytes == 1) {
                out_ << ": no call site was recorded, though every allocation was sampled: "
                     << unsampled << ".\n";
            } else {
                out_ << ": no allocation of it was sampled (DIDEVERAZEZ_SAMPLE_BYTES=1 samples "
                        "every one).\n";
            }
            return;
        }
        out_ << ", sampled from:\n";
        std::stable_sort(sites.begin(), sites.end(),
                         [](const Site& a, const Site& b) { return a.inUseBytes > b.inUseBytes; });
        for (const Site& site : sites) {
            out_ << "  " << Amount(site.inUseBytes, site.inUseBlocks) << '\n';
            WriteStack(site);
        }
    }

    void WriteStack(const Site& site) {
        const std::vector<Frame> frames = symbols_.Stack(snapshot_.stacks[site.stack]);
        if (frames.empty()) {
            out_ << "      (no frame outside dideverazez)\n";
        }
        for (const Frame& frame : frames) {
            out_ << "      " << Describe(frame, snapshot_.objects) << '\n';
            const auto object = static_cast<std::size_t>(frame.object);
            if (frame.object >= 0 && !symbols_.Read(object)) {
                unread_.resize(snapshot_.objects.size());
                unread_[object] = true;
            }
        }
    }

    // Once, the objects whose frames were shown as addresses because no file
    // of theirs was read: the file is not here, is another build, or is of a
    // kind this tool does not read (another platform's, or any without libdw).
    void WriteUnread() {
        std::string list;
        for (std::size_t i = 0; i < unread_.size(); ++i) {
            if (unread_[i]) {
                list += (list.empty() ? "" : ", ") + EscapedPath(snapshot_.objects[i].path);
            }
        }
        if (!list.empty()) {
            out_ << "\nFrames shown as addresses lie in objects not read here (not found, of "
                    "another build, or of a kind this tool does not read): "
                 << list << ".\n";
        }
    }

    // The sites of live and retired handles that held anything at the peak,
    // the most bytes first (ties in the file's order), kPeakSites of them.
    void WritePeak() {
        std::vector<Placed> sites;
        const auto add = [&](const std::vector<Site>& of, const std::string& path, bool retired) {
            for (const Site& site : of) {
                if (site.atPeakBytes != 0 || site.atPeakBlocks != 0) {
                    sites.push_back({site, &path, retired});
                }
            }
        };
        for (const Engine& engine : snapshot_.engines) {
            add(engine.sites, engine.path, false);
        }
        for (const Retired& entry : snapshot_.retired) {
            add(entry.sites, entry.path, true);
        }
        std::stable_sort(sites.begin(), sites.end(), [](const Placed& a, const Placed& b) {
            return a.site.atPeakBytes > b.site.atPeakBytes;
        });
        const SampledPeak& peak = snapshot_.peak;
        out_ << "\nPeak: the sampled call sites held " << Amount(peak.bytes, peak.blocks)
             << " together, " << Grouped(peak.ms) << " ms after the library loaded"
             << (sites.empty() ? ".\n" : "; the most then:\n");
        std::int64_t moreBytes = 0, moreBlocks = 0;
        for (std::size_t i = 0; i < sites.size(); ++i) {
            const Placed& placed = sites[i];
            if (i >= kPeakSites) {
                moreBytes = Sum(moreBytes, placed.site.atPeakBytes);
                moreBlocks = Sum(moreBlocks, placed.site.atPeakBlocks);
                continue;
            }
            out_ << "  " << Amount(placed.site.atPeakBytes, placed.site.atPeakBlocks) << " through "
                 << Escaped(*placed.path) << (placed.retired ? " (retired)" : "") << '\n';
            WriteStack(placed.site);
        }
        if (sites.size() > kPeakSites) {
            out_ << "  and "
                 << Many(static_cast<std::int64_t>(sites.size() - kPeakSites), "more call site",
                         "more call sites")
                 << ", " << Amount(moreBytes, moreBlocks) << '\n';
        }
    }

    std::ostream& out_;
    const Snapshot& snapshot_;
    const Symbols symbols_;
    std::vector<Own> own_;
    std::vector<bool> unread_; // by object: a frame of it was shown as an address
};

} // namespace

void WriteLeaks(std::ostream& out, const Snapshot& snapshot) {
    LeaksWriter(out, snapshot).Write();
}

} // namespace dideverazez::report
