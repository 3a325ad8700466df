// Dynamic libraries over the POSIX loader.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "win32/win32.h"

namespace {

// Whether the file at `path` is a shared object of this machine's word size (an ELF header of the
// right class); a file that cannot be read counts as one, the loader says why it failed.
bool is_library_for_this_machine(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    unsigned char header[5] = {};
    ssize_t got = read(fd, header, sizeof header);
    close(fd);
    constexpr unsigned char CLASS = sizeof(void*) == 8 ? 2 : 1;  // ELFCLASS64 or ELFCLASS32
    return got == static_cast<ssize_t>(sizeof header) && std::memcmp(header, "\x7f" "ELF", 4) == 0 &&
           header[4] == CLASS;
}

}  // namespace

HMODULE LoadLibraryA(const char* path) {
    // Bound at once, so that a library with a missing symbol fails here and not on a later call.
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    // As on Windows: a file that is no library for this machine is a bad format, anything else
    // (the file or a library it needs missing) a module not found.
    if (module == nullptr) SetLastError(is_library_for_this_machine(path) ? ERROR_MOD_NOT_FOUND : ERROR_BAD_EXE_FORMAT);
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
