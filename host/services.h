// The host's implementation of every service of the service table, in namespace host so that a
// test program can hold the plug-in (whose service pointers carry the same names) beside it.
#pragma once

#include "sdk/sorrelwick_plugin.h"

namespace host {

#define SWP_HOST_DECLARE_SERVICE(name) svc_##name name;
SORRELWICK_HOST_SERVICES(SWP_HOST_DECLARE_SERVICE)
#undef SWP_HOST_DECLARE_SERVICE

// The lookup function handed to a plug-in with its initialisation message.
void* lookup_service(const char* name);

}  // namespace host
