// Starting and ending the live index.
#include "host/index/index.h"
#include "host/index/index_view.h"
#include "host/index/query.h"

namespace host {

void index_shutdown() {
    query_workers_shutdown();
    index_generation_set_current(nullptr);
}

}  // namespace host
