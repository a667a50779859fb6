// The preload's locks around fork. The library installs its own handlers when
// it loads, before this library starts; fork runs the handlers installed last
// first before it, and first after it, so the order of the whole is:
//   1. the preload's gObjectsLock, then gThreadsLock (Served.cpp): an
//      object's pair is built under the first, and building takes the
//      library's registry lock;
//   2. the library's locks, in the order of its Tools/observe/Fork.cpp.
// The forking thread is inside from before the first lock to after the last:
// what the handlers and the library's own restart in the child allocate comes
// from the C heap, and no handle is looked for under a lock held for fork.

#include "Preload.h"

namespace dideverazez::preload {
namespace {

void Prepare() {
    gThread.inside = true;
    ServedBeforeFork();
}

void InParent() {
    ServedAfterFork();
    gThread.inside = false;
}

// The child has one thread, the one that forked: the others' pairs are idle.
void InChild() {
    NoteFork();
    ForgetOtherThreads();
    ServedAfterFork();
    gThread.inside = false;
}

} // namespace

void InstallForkHandlers() {
    pthread_atfork(Prepare, InParent, InChild);
}

} // namespace dideverazez::preload
