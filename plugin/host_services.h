// The host services the plug-in calls, one pointer per service, bound by name on the
// initialisation message. Plug-in code calls them by their own names: mem_alloc(n).
#pragma once

#include "sdk/sorrelwick_plugin.h"

#define SWP_DECLARE_SERVICE(name) extern svc_##name* name;
SORRELWICK_HOST_SERVICES(SWP_DECLARE_SERVICE)
#undef SWP_DECLARE_SERVICE

struct HostServiceSlot {
    const char* name;
    void** slot;
};

// Every service in binding order.
extern const HostServiceSlot HOST_SERVICE_SLOTS[SORRELWICK_HOST_SERVICE_COUNT];

// Looks up every service in table order; stops at the first one the host lacks and returns 0,
// leaving the slots bound so far filled and the rest null. 1 when all are bound.
int host_services_bind(SorrelwickServiceLookup lookup);

// A host text buffer that is killed on every way out of its scope.
struct ScopedUtf8Buf {
    Utf8Buf buffer;
    ScopedUtf8Buf() { utf8_buf_init(&buffer); }
    ~ScopedUtf8Buf() { utf8_buf_kill(&buffer); }
    ScopedUtf8Buf(const ScopedUtf8Buf&) = delete;
    ScopedUtf8Buf& operator=(const ScopedUtf8Buf&) = delete;
    Utf8Buf* get() { return &buffer; }
    const char* text() const { return buffer.text; }
    size_t length() const { return buffer.length; }
};
