// Load notifications of the Windows DLL. The module state itself is a
// namespace-scope object of the handle's translation unit: the C runtime builds
// it before DLL_PROCESS_ATTACH reaches this function and destroys it after
// DLL_PROCESS_DETACH. The library keeps no per-thread state, so it asks not to
// be told of threads.

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ::DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
