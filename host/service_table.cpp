#include <cstring>

#include "host/services.h"

namespace host {
namespace {

struct ServiceEntry {
    const char* name;
    void* address;
};

#define SWP_HOST_SERVICE_ENTRY(name) {#name, reinterpret_cast<void*>(&host::name)},
const ServiceEntry SERVICES[] = {SORRELWICK_HOST_SERVICES(SWP_HOST_SERVICE_ENTRY)};
#undef SWP_HOST_SERVICE_ENTRY

}  // namespace

void* lookup_service(const char* name) {
    for (const ServiceEntry& entry : SERVICES)
        if (std::strcmp(entry.name, name) == 0) return entry.address;
    return nullptr;
}

}  // namespace host
