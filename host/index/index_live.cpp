// Starting and ending the live index.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "host/index/index.h"
#include "host/debug.h"
#include "host/index/index_file.h"
#include "host/index/index_lock.h"
#include "host/index/index_scan.h"
#include "host/index/index_update.h"
#include "host/index/index_view.h"
#include "host/index/query.h"
#include "host/utf8_path.h"

namespace host {
namespace {

// Whether this run may read and write the saved index: not while another run holds it, as two
// hosts would write one file. A lock that cannot be made leaves the file to this run.
bool saved_index_claim(const std::string& path) {
    std::error_code ignored;
    std::filesystem::create_directories(utf8_path(path).parent_path(), ignored);
    uint32_t holder = 0;
    if (index_lock_take(path, &holder) != IndexLockResult::IN_USE) return true;
    std::string by = holder != 0 ? "swp-host PID " + std::to_string(holder) : "another swp-host";
    console_printf("swp-host: the saved index %s is in use by %s: this run neither reads nor writes it\n",
                   path.c_str(), by.c_str());
    return false;
}

}  // namespace

bool index_start(const std::vector<IndexRoot>& roots, const IndexOptions& options, const std::string& given_index,
                 std::string* error) {
    ScanState scan;
    std::vector<IndexRootFolder> folders;
    if (!index_scan_roots(roots, &scan, &folders, error)) return false;
    std::string saved_index = given_index.empty() || !saved_index_claim(given_index) ? std::string() : given_index;
    UpdaterStart start;
    start.folder_sizes = options.folder_sizes;
    start.saved_index = saved_index;
    IndexSnapshot* base = nullptr;
    if (!saved_index.empty()) {
        auto started = std::chrono::steady_clock::now();
        std::vector<std::string> names;
        for (const IndexRootFolder& folder : folders) names.emplace_back(node_name(scan, scan.nodes[folder.entry]));
        std::string reason;
        base = index_file_read(saved_index, folders, names, options.folder_sizes, &reason);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (base)
            console_printf("swp-host: loaded %zu entries from the saved index %s in %.2f s\n",
                           base->entries.size(), saved_index.c_str(), seconds);
        else if (!reason.empty())
            console_printf("swp-host: the saved index %s is not used, as %s: the folders are scanned\n",
                           saved_index.c_str(), reason.c_str());
    }
    if (base) {
        start.scan = false;
        start.roots = base->roots;
    } else {
        // Until the scan ends, the index holds the roots alone.
        console_printf("swp-host: indexing the folders in the background: until that ends, they are "
                       "served empty\n");
        ScanState roots_only;
        roots_only.nodes = scan.nodes;
        roots_only.names = scan.names;
        base = index_snapshot_from_scan(roots_only, folders, options.folder_sizes, {});
        start.scan = true;
        start.roots = folders;
        start.root_scan = std::move(scan);
    }
    index_generation_set_current(new IndexGeneration(base));
    updater_start(std::move(start));
    return true;
}

void index_rescan_request() { updater_request_rescan(); }

void index_shutdown() {
    updater_stop();
    index_lock_release();
    query_workers_shutdown();
    index_generation_set_current(nullptr);
}

}  // namespace host
