// Load notifications of the Windows DLL. The module state itself is a
// namespace-scope object of the handle's translation unit: the C runtime builds
// it before DLL_PROCESS_ATTACH reaches this function and destroys it after
// DLL_PROCESS_DETACH. The library keeps no per-thread state, so it asks not to
// be notified of threads. A detach at process exit is noted, so that the last
// report takes no lock that a stopped thread may hold.

#include "platform/Platform.h"

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        ::DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        // The process is ending: its other threads are already gone. The C
        // runtime destroys the module state after this returns.
        dideverazez::platform::NoteProcessEnding();
    }
    return TRUE;
}
