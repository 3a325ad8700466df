#include "plugin/host_services.h"

#define SWP_DEFINE_SERVICE(name) svc_##name* name = nullptr;
SORRELWICK_HOST_SERVICES(SWP_DEFINE_SERVICE)
#undef SWP_DEFINE_SERVICE

#define SWP_SERVICE_SLOT(name) {#name, reinterpret_cast<void**>(&name)},
const HostServiceSlot HOST_SERVICE_SLOTS[SORRELWICK_HOST_SERVICE_COUNT] = {
    SORRELWICK_HOST_SERVICES(SWP_SERVICE_SLOT)};
#undef SWP_SERVICE_SLOT

int host_services_bind(SorrelwickServiceLookup lookup) {
    for (const HostServiceSlot& entry : HOST_SERVICE_SLOTS) {
        void* service = lookup(entry.name);
        if (!service) return 0;
        *entry.slot = service;
    }
    return 1;
}
