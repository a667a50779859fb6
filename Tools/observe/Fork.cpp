// The one place that says which locks the library holds across a heap call,
// and in which order fork takes them:
//   0. before any lock, no stack may be being taken (observe/StackCapture.h: an
//      older unwinder holds the loader's lock, which a child never gets
//      back); a capture holds no lock of the library, so it ends while fork
//      waits;
//   1. the registry's lock (observe/Registry.cpp), then
//   2. the tree lock of every live root, in the order the roots were built
//      (a snapshot takes 1, then one tree lock at a time: the same order);
//   3. the samples' lock (observe/SampleStore.cpp: a leaf but for the C heap);
//   4. in the checking build, the checks' list of live engines (a leaf: nothing is
//      locked while it is held).
// What is built on first use (the registry, the samples and the sampled
// blocks' stand-in engine) is built, or its build waited for, before the
// locks are taken: a child waits forever on a build that a thread it lacks
// had begun.
// A library that lays its own handles over this one (the preload library)
// installs its handlers after these, so that its locks, taken first, come
// before all of them. A new lock taken across a heap call is added here, or
// a forked child can wait on it forever. Each part names its hooks the same
// way: <Component>BeforeFork takes what it must, <Component>AfterFork releases
// it (given whether it runs in the child when the child differs).

#include "observe/Fork.h"

#include "engines/Checks.h"
#include "observe/Registry.h"
#include "observe/Reporter.h"
#include "observe/SampleStore.h"
#include "observe/StackCapture.h"
#include "platform/Platform.h"

#include <atomic>

namespace dideverazez::observe {

namespace {

constinit std::atomic<Reporter*> gReporter{nullptr};

void Prepare() {
    CapturesBeforeFork();
    RegistryBeforeFork();
    SamplesBeforeFork();
#if defined(DIDEVERAZEZ_CHECKED)
    checks::EnginesBeforeFork();
#endif
}

void Unlock() {
#if defined(DIDEVERAZEZ_CHECKED)
    checks::EnginesAfterFork();
#endif
    SamplesAfterFork();
    RegistryAfterFork();
}

void InParent() {
    Unlock();
    CapturesAfterFork(false);
}

void InChild() {
    Unlock();
    CapturesAfterFork(true);
    if (Reporter* reporter = gReporter.load()) {
        reporter->RestartInChild();
    }
}

} // namespace

ForkHandlers::ForkHandlers(Reporter& reporter) noexcept {
    gReporter.store(&reporter);
    platform::OnFork(Prepare, InParent, InChild);
}

ForkHandlers::~ForkHandlers() {
    gReporter.store(nullptr);
}

} // namespace dideverazez::observe
