// Dynamic libraries over the POSIX loader.
#include <dlfcn.h>

#include "win32/win32.h"

HMODULE LoadLibraryA(const char* path) {
    // Bound at once, so that a library with a missing symbol fails here and not on a later call.
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
    return static_cast<HMODULE>(module);
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* address = dlsym(static_cast<void*>(module), name);
    if (address == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
    return reinterpret_cast<FARPROC>(address);
}

BOOL FreeLibrary(HMODULE module) {
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return dlclose(static_cast<void*>(module)) == 0 ? TRUE : FALSE;
}
