// dideverazez-report run: a program, and the processes it starts, under the
// preload library installed beside the tool, each writing a time series into
// one folder; then, per process, its peak, what it never freed and where
// from, and one page that shows it all (docs/snapshot.md).

#include "Figures.h"
#include "Report.h"
#include "Symbols.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

#if !defined(_WIN32)
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace dideverazez::report {

#if defined(_WIN32)

int RunProgram(const RunOptions&, std::ostream&) {
    throw std::runtime_error("run: not available on this system: it needs LD_PRELOAD");
}

#else

namespace {

namespace fs = std::filesystem;

// How many call sites each part of a summary shows.
constexpr std::size_t kSitesShown = 3;

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error("run: " + what);
}

// The preload library beside this program: where the install puts it from
// the tool's folder, else where a build tree has it.
fs::path PreloadLibrary() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        Fail("cannot find this program's own file: " + error.message());
    }
    const fs::path candidates[] = {self.parent_path() / DIDEVERAZEZ_PRELOAD_FROM_BIN,
                                   self.parent_path() / "../preload/libdideverazez_preload.so"};
    for (const fs::path& candidate : candidates) {
        if (fs::is_regular_file(candidate, error)) {
            return fs::weakly_canonical(candidate);
        }
    }
    Fail("no libdideverazez_preload.so beside this program (looked for " +
         candidates[0].lexically_normal().string() + ")");
}

// The folder of the series: DIR made, or an error when it holds anything
// already; without DIR, a new one in the temporary folder.
fs::path SeriesFolder(const std::string& asked) {
    if (asked.empty()) {
        const char* temporary = std::getenv("TMPDIR");
        std::string pattern =
            std::string(temporary != nullptr && *temporary != '\0' ? temporary : "/tmp") +
            "/dideverazez-run-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            Fail("cannot make a folder for the series (" + pattern + "): " + std::strerror(errno));
        }
        return pattern;
    }
    std::error_code error;
    fs::create_directories(asked, error);
    if (error || !fs::is_directory(asked)) {
        Fail(asked + ": cannot make the folder: " +
             (error ? error.message() : std::string("a file is there")));
    }
    if (!fs::is_empty(asked, error)) {
        Fail(asked + ": not empty: the series of another run would mix with this one's");
    }
    return fs::absolute(asked);
}

// The environment of the program: this one's, with the preload library first
// in LD_PRELOAD and the report's variables set.
std::vector<std::string> Environment(const RunOptions& options, const fs::path& preload,
                                     const fs::path& folder) {
    std::vector<std::string> environment;
    std::string earlier;
    static constexpr const char* kOurs[] = {
        "LD_PRELOAD=", "DIDEVERAZEZ_PRELOAD_BY=", "DIDEVERAZEZ_REPORT=",
        "DIDEVERAZEZ_REPORT_INTERVAL_MS=", "DIDEVERAZEZ_SAMPLE_BYTES="};
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string text = *variable;
        if (text.rfind("LD_PRELOAD=", 0) == 0) {
            earlier = text.substr(std::strlen("LD_PRELOAD="));
        }
        if (std::none_of(std::begin(kOurs), std::end(kOurs),
                         [&](const char* ours) { return text.rfind(ours, 0) == 0; })) {
            environment.push_back(text);
        }
    }
    environment.push_back("LD_PRELOAD=" + preload.string() + (earlier.empty() ? "" : " ") +
                          earlier);
    environment.push_back("DIDEVERAZEZ_PRELOAD_BY=" + options.by);
    environment.push_back("DIDEVERAZEZ_REPORT=" + (folder / "%p.jsonl").string());
    environment.push_back("DIDEVERAZEZ_REPORT_INTERVAL_MS=" + std::to_string(options.intervalMs));
    if (options.sampleBytes != 0) {
        environment.push_back("DIDEVERAZEZ_SAMPLE_BYTES=" + std::to_string(options.sampleBytes));
    }
    return environment;
}

// Starts the program and waits for it, with interrupts left to it (as a
// shell leaves them to the command it waits for); its exit status, or 128
// and the signal that ended it.
int Execute(const std::vector<std::string>& command, const std::vector<std::string>& environment,
            std::ostream& err) {
    std::vector<char*> arguments, variables;
    for (const std::string& argument : command) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    for (const std::string& variable : environment) {
        variables.push_back(const_cast<char*>(variable.c_str()));
    }
    variables.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    struct sigaction ignore {
    }, interrupt{}, quit{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGINT, &ignore, &interrupt);
    ::sigaction(SIGQUIT, &ignore, &quit);
    pid_t child = 0;
    const int error = posix_spawnp(&child, arguments[0], nullptr, &attributes, arguments.data(),
                                   variables.data());
    posix_spawnattr_destroy(&attributes);
    int status = 0;
    while (error == 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ::sigaction(SIGINT, &interrupt, nullptr);
    ::sigaction(SIGQUIT, &quit, nullptr);
    if (error != 0) {
        Fail("cannot start " + command[0] + ": " + std::strerror(error));
    }
    if (WIFSIGNALED(status)) {
        err << "dideverazez-report: run: " << command[0] << " was ended by signal "
            << WTERMSIG(status) << " (" << ::strsignal(WTERMSIG(status)) << ")\n";
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}

// What one process's series says: its last snapshot, and the highest total
// of its roots' bytes among its snapshots.
struct Series {
    fs::path file;
    Snapshot last;
    std::size_t count = 0;
    std::int64_t highest = 0;
    std::int64_t highestMs = 0;
};

Series ReadSeries(const fs::path& file, std::ostream& err) {
    Series series;
    series.file = file;
    SnapshotReader reader(file.string());
    Snapshot snapshot;
    Place place;
    while (reader.Next(snapshot, place)) {
        std::int64_t total = 0;
        for (const Engine& engine : snapshot.engines) {
            total = engine.depth == 0 ? Sum(total, engine.metrics.memoryCurrent) : total;
        }
        if (series.count == 0 || total > series.highest) {
            series.highest = total;
            series.highestMs = snapshot.takenMs;
        }
        ++series.count;
        series.last = std::move(snapshot);
        snapshot = Snapshot{};
    }
    if (!reader.Warning().empty()) {
        err << "dideverazez-report: warning: " << reader.Warning() << '\n';
    }
    return series;
}

// `bytes` grouped, right-aligned to the width of `widest`'s.
std::string Bytes(std::int64_t bytes, std::int64_t widest) {
    const std::string text = Grouped(bytes), wide = Grouped(widest);
    return "    " + std::string(wide.size() > text.size() ? wide.size() - text.size() : 0, ' ') +
           text + " bytes  ";
}

// A site as one line: its bytes, then its innermost frames outside the
// library, each calling the one before it.
std::string SiteLine(const Snapshot& snapshot, const Symbols& symbols, std::int64_t bytes,
                     std::int64_t widest, const Site& site) {
    std::string line = Bytes(bytes, widest);
    const std::vector<Frame> frames = symbols.Stack(snapshot.stacks[site.stack]);
    if (frames.empty()) {
        return line + "(no frame outside dideverazez)";
    }
    for (std::size_t i = 0; i < frames.size() && i < 2; ++i) {
        line += (i == 0 ? "" : " < ") + Describe(frames[i], snapshot.objects);
    }
    return line;
}

// The sites of live and retired handles with the most `figure`, largest
// first, at most kSitesShown, and how many bytes all of them hold.
template <class Figure>
std::vector<const Site*> Leading(const Snapshot& snapshot, Figure figure, std::int64_t& all,
                                 bool retiredToo) {
    std::vector<const Site*> sites;
    const auto add = [&](const std::vector<Site>& of) {
        for (const Site& site : of) {
            if (figure(site) != 0) {
                sites.push_back(&site);
                all = Sum(all, figure(site));
            }
        }
    };
    for (const Engine& engine : snapshot.engines) {
        add(engine.sites);
    }
    for (const Retired& entry : snapshot.retired) {
        if (retiredToo) {
            add(entry.sites);
        }
    }
    std::stable_sort(sites.begin(), sites.end(),
                     [&](const Site* a, const Site* b) { return figure(*a) > figure(*b); });
    sites.resize(std::min(sites.size(), kSitesShown));
    return sites;
}

void WriteProcess(std::ostream& out, const Series& series) {
    const Snapshot& last = series.last;
    out << "\nProcess " << last.process;
    if (!last.program.empty()) {
        out << " (" << Escaped(last.program) << ")";
    }
    out << ", " << Grouped(static_cast<std::int64_t>(series.count))
        << (series.count == 1 ? " snapshot" : " snapshots")
        << (last.atExit ? "" : ", still running") << ": " << series.file.string() << '\n';
    out << "  highest in the series: the handles held " << Grouped(series.highest) << " bytes at "
        << Grouped(series.highestMs) << " ms\n";
    const Symbols symbols(last.objects);
    if (last.peak.known) {
        std::int64_t all = 0;
        const auto atPeak = [](const Site& site) { return site.atPeakBytes; };
        const std::vector<const Site*> sites = Leading(last, atPeak, all, true);
        out << "  peak: " << Grouped(last.peak.bytes) << " bytes in use at "
            << Grouped(last.peak.ms) << " ms"
            << (last.samplingBytes == 1 ? "" : " (estimated from the samples)")
            << (sites.empty() ? "\n" : ", held by:\n");
        for (const Site* site : sites) {
            out << SiteLine(last, symbols, site->atPeakBytes, sites[0]->atPeakBytes, *site) << '\n';
        }
    }
    if (!last.atExit) {
        return;
    }
    const std::vector<Own> own = OwnOf(last);
    std::vector<std::size_t> holding;
    std::int64_t bytes = 0, blocks = 0;
    for (std::size_t i = 0; i < own.size(); ++i) {
        if (own[i].blocks != 0 && own[i].bytesKnown) {
            holding.push_back(i);
            bytes = Sum(bytes, own[i].bytes);
            blocks = Sum(blocks, own[i].blocks);
        }
    }
    std::stable_sort(holding.begin(), holding.end(),
                     [&](std::size_t a, std::size_t b) { return own[a].bytes > own[b].bytes; });
    out << "  never freed: " << Grouped(bytes) << " bytes in " << Grouped(blocks)
        << (blocks == 1 ? " block" : " blocks") << (holding.empty() ? "\n" : ", by handle:\n");
    for (std::size_t k = 0; k < holding.size() && k < kSitesShown; ++k) {
        const std::size_t i = holding[k];
        out << Bytes(own[i].bytes, own[holding[0]].bytes) << Escaped(last.engines[i].path) << '\n';
    }
    std::int64_t sampled = 0;
    const auto inUse = [](const Site& site) { return site.inUseBytes; };
    const std::vector<const Site*> sites = Leading(last, inUse, sampled, false);
    if (!sites.empty()) {
        out << "  never freed, by call site" << (last.samplingBytes == 1 ? "" : " (estimated)")
            << ":\n";
        for (const Site* site : sites) {
            out << SiteLine(last, symbols, site->inUseBytes, sites[0]->inUseBytes, *site) << '\n';
        }
    }
}

} // namespace

int RunProgram(const RunOptions& options, std::ostream& err) {
    const fs::path preload = PreloadLibrary();
    const fs::path folder = SeriesFolder(options.directory);
    err << "dideverazez-report: run: a time series per process in " << folder.string() << '\n';
    int status = 0;
    try {
        status = Execute(options.command, Environment(options, preload, folder), err);
    } catch (const std::runtime_error&) {
        std::error_code ignored;
        fs::remove(folder, ignored); // empty: nothing started
        throw;
    }

    // The program first, then the processes it started, by process id.
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".jsonl") {
            files.push_back(entry.path());
        }
    }
    const auto id = [](const fs::path& file) { return std::atoll(file.stem().c_str()); };
    std::sort(files.begin(), files.end(),
              [&](const fs::path& a, const fs::path& b) { return id(a) < id(b); });
    if (files.empty()) {
        err << "dideverazez-report: run: no process wrote a series (a program linked "
               "statically, or set-user-ID, is not reached by LD_PRELOAD)\n";
        return status;
    }
    HtmlPage page;
    for (const fs::path& file : files) {
        try {
            WriteProcess(err, ReadSeries(file, err));
            page.Add(std::make_unique<SnapshotReader>(file.string()), ParseMoment(file.string()),
                     err);
        } catch (const std::exception& error) {
            err << "dideverazez-report: run: " << file.string() << ": " << error.what() << '\n';
        }
    }
    const fs::path html = folder / "report.html";
    std::ofstream out(html, std::ios::binary);
    page.Write(out);
    out.flush();
    err << (out ? "\nEverything on one page: " + html.string() + "\n"
                : "dideverazez-report: run: cannot write " + html.string() + "\n");
    return status;
}

#endif

} // namespace dideverazez::report
