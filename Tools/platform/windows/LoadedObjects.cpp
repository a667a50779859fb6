// The objects loaded in the process, on Windows.

#include "platform/Platform.h"

namespace dideverazez::platform {

// Addresses only: the report tool resolves no Windows module yet.
void ForEachLoadedObject(void (*)(void*, const LoadedObject&), void*) {}

} // namespace dideverazez::platform
