// Threads meet in g_shared: the watching thread appends notes, a console handler asks for a
// rescan, the fold thread hands over its base and the host asks the updater to stop, each under
// g_shared.lock with a notify of `wake`. Everything else here belongs to the updater thread; the
// fold thread reads only the view it was given (index_generation.h says why that is safe).
#include "host/index/index_update.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <utility>

#include "host/debug.h"
#include "host/index/index_file.h"
#include "host/index/index_fold.h"
#include "host/index/index_rescan.h"
#include "host/index/index_watch.h"
#include "host/index/overlay_write.h"
#include "host/services.h"
#include "host/utf8_path.h"
#include "sdk/platform_api.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

// The overlay is folded into a new base when it holds more records than this share of the base.
constexpr size_t FOLD_SHARE = 16;
constexpr size_t FOLD_MIN_RECORDS = 16384;
// During a long rescan, what it has changed is shown this often.
constexpr auto RESCAN_PUBLISH_INTERVAL = std::chrono::milliseconds(50);
// Folders the watch limit leaves out are read again after this, or after twenty times as long as
// reading them took, whichever is longer; without such folders the limit is looked at this often.
constexpr auto UNWATCHED_MIN_INTERVAL = std::chrono::seconds(2);
constexpr int UNWATCHED_INTERVAL_FACTOR = 20;
constexpr auto UNWATCHED_IDLE_INTERVAL = std::chrono::seconds(30);
// Once no change has come for this long, an overlay of more records than this share of the base
// (and this many) is folded too, so that reads run on a base again while the disk is quiet.
constexpr auto IDLE_FOLD_DELAY = std::chrono::seconds(5);
constexpr size_t IDLE_FOLD_SHARE = 128;
constexpr size_t IDLE_FOLD_MIN_RECORDS = 4096;
// Notes waiting beyond this many are dropped, and their roots read again whole instead: cheaper
// than following each, and it bounds their memory.
constexpr size_t NOTES_MAX = 200000;

struct Shared {
    std::mutex lock;
    std::condition_variable wake;
    std::vector<WatchNote> notes;
    bool rescan = false;
    bool stop = false;
    bool fold_done = false;
    IndexSnapshot* folded = nullptr;  // the fold's base (null: it was abandoned)
    bool compact = false;             // a generation was freed: its memory goes back to the system
};

// Never destroyed: the watching thread may still hand notes over while the process ends.
Shared& g_shared = *new Shared;
std::atomic<bool> g_stopping{false};
std::atomic<size_t> g_fold_threshold{0};
std::atomic<void (*)()> g_fold_hook{nullptr};
std::atomic<size_t> g_generations{0};

struct Updater {
    UpdaterStart start;
    OverlayWriter writer;
    std::vector<ReplayOp> replay;
    bool folding = false;
    Clock::time_point fold_started;
    FoldOrigin fold_origin;  // the fold thread's until it is joined
    std::thread fold_thread;
    std::atomic<bool> fold_cancel{false};
    bool complete = false;  // the first index is made
    bool unwatched_reported = false;
    Clock::time_point unwatched_due;
    Clock::time_point last_change;
    Clock::time_point last_publish;
    std::thread thread;
};

Updater* g_updater = nullptr;

uint64_t filetime_now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return filetime_value(now);
}

void notes_take(std::vector<WatchNote>* notes) {
    {
        std::lock_guard<std::mutex> guard(g_shared.lock);
        for (WatchNote& note : *notes) g_shared.notes.push_back(std::move(note));
        if (g_shared.notes.size() > NOTES_MAX) {
            std::vector<uint32_t> roots;
            for (const WatchNote& note : g_shared.notes)
                if (std::find(roots.begin(), roots.end(), note.root) == roots.end()) roots.push_back(note.root);
            g_shared.notes.clear();
            for (uint32_t root : roots) g_shared.notes.push_back({root, WatchAction::OVERFLOW, {}});
        }
    }
    g_shared.wake.notify_all();
}

// Makes `generation` the current one and the one written; takes over the caller's reference.
void generation_install(Updater& updater, IndexGeneration* generation) {
    generation->references.fetch_add(1);  // the current pointer's
    index_generation_set_current(generation);
    if (updater.writer.generation) overlay_writer_end(&updater.writer);
    overlay_writer_start(&updater.writer, generation);
    g_generations.fetch_add(1);
}

void publish(Updater& updater) {
    overlay_publish(&updater.writer);
    updater.last_publish = Clock::now();
}

IndexChanger changer_for(Updater& updater, RescanCounts* counts) {
    IndexChanger changer;
    changer.writer = &updater.writer;
    changer.replay = updater.folding ? &updater.replay : nullptr;
    changer.counts = counts;
    changer.between_folders = [&updater] {
        if (Clock::now() - updater.last_publish >= RESCAN_PUBLISH_INTERVAL) publish(updater);
        return !g_stopping.load(std::memory_order_relaxed);
    };
    return changer;
}

// Reads every root again; `progress` names what the live line says, null for no line.
RescanCounts roots_rescan(Updater& updater, const char* progress_doing, bool* finished) {
    RescanCounts counts;
    IndexChanger changer = changer_for(updater, &counts);
    ScanProgress progress;
    if (progress_doing) {
        progress_start(&progress, progress_doing);
        changer.between_folders = [&updater, &progress, &counts] {
            progress_show(&progress, counts.examined);
            if (Clock::now() - updater.last_publish >= RESCAN_PUBLISH_INTERVAL) publish(updater);
            return !g_stopping.load(std::memory_order_relaxed);
        };
    }
    *finished = true;
    for (const IndexRootFolder& root : updater.start.roots)
        *finished = *finished && rescan_subtree(changer, root, root.entry, "");
    if (progress_doing) progress_end(&progress);
    publish(updater);
    return counts;
}

// False when the host stopped first.
bool first_scan(Updater& updater) {
    std::string error;
    ScanState& scan = updater.start.root_scan;
    scan.stop = &g_stopping;
    if (!index_scan_below(&scan, updater.start.roots, &error)) {
        if (g_stopping.load()) return false;
        console_printf("swp-host: %s: what was read is served\n", error.c_str());
    }
    if (g_stopping.load()) return false;  // a stop at the end of the scan spares the build
    // What the scan freed as it grew goes back to the system before the build needs more.
    HeapCompact(GetProcessHeap(), 0);
    IndexSnapshot* base = index_snapshot_from_scan(scan, updater.start.roots, updater.start.folder_sizes, {});
    updater.start.roots = base->roots;
    generation_install(updater, new IndexGeneration(base));
    // Said once the index is served: whoever waits for this line finds it complete.
    index_scan_report(scan, base->entries.size(), progress_seconds(scan.progress));
    // Moved out to be destroyed: assigning an empty state would keep the names' buffer, as a
    // string assigned a short one keeps its capacity.
    { ScanState done = std::move(updater.start.root_scan); }
    // The scan's memory is free again: give it back to the system.
    HeapCompact(GetProcessHeap(), 0);
    return true;
}

// The saved index is complete from the start; a stop meanwhile leaves it partly brought up to date.
bool saved_index_update(Updater& updater) {
    bool finished = false;
    auto started = Clock::now();
    RescanCounts counts = roots_rescan(updater, "checking the saved index", &finished);
    if (!finished) return true;
    console_printf("swp-host: brought the saved index up to date in %.2f s: %zu added, %zu changed, %zu removed "
                   "(%zu skipped)\n",
                   std::chrono::duration<double>(Clock::now() - started).count(), counts.added, counts.changed,
                   counts.removed, counts.skipped);
    return true;
}

// ---------------------------------------------------------------------------------------------------
// Changes from the watch.

void notes_apply(Updater& updater, std::vector<WatchNote>& notes) {
    RescanCounts counts;
    IndexChanger changer = changer_for(updater, &counts);
    // A folder made with folders in it is reported once for each of them: reading each one's subtree
    // again would cost the square of the depth.
    std::unordered_set<uint32_t> read_whole;
    changer.read_whole = &read_whole;
    const std::vector<IndexRootFolder>& roots = updater.start.roots;
    std::vector<bool> reread(roots.size(), false);
    for (const WatchNote& note : notes)
        if (note.action == WatchAction::OVERFLOW || note.action == WatchAction::LOST) reread[note.root] = true;
    // Each path is read once per batch: the disk is read after every change of the batch was made.
    std::unordered_set<std::string> done;
    auto path_once = [&](const WatchNote& note) {
        bool appeared = note.action == WatchAction::ADDED || note.action == WatchAction::RENAMED_NEW;
        if (done.insert(std::to_string(note.root) + (appeared ? "+" : "/") + note.path).second)
            rescan_path(changer, roots[note.root], note.path, appeared);
    };
    for (size_t i = 0; i < notes.size(); ++i) {
        const WatchNote& note = notes[i];
        if (note.root >= roots.size() || reread[note.root]) continue;
        if (note.action == WatchAction::RENAMED_OLD && i + 1 < notes.size() &&
            notes[i + 1].action == WatchAction::RENAMED_NEW && notes[i + 1].root == note.root) {
            const WatchNote& to = notes[++i];
            if (!rescan_move(changer, roots[note.root], note.path, to.path)) {
                path_once(note);
                path_once(to);
            }
            continue;
        }
        path_once(note);
    }
    for (size_t root = 0; root < roots.size(); ++root) {
        if (!reread[root]) continue;
        console_printf("swp-host: changes in %s came faster than they could be followed: it is read again\n",
                       roots[root].folder.c_str());
        rescan_subtree(changer, roots[root], roots[root].entry, "");
    }
}

// Reads again the folders that the watch limit leaves unwatched, and says once that there are some.
void unwatched_rescan(Updater& updater) {
    auto started = Clock::now();
    RescanCounts counts;
    IndexChanger changer = changer_for(updater, &counts);
    uint32_t total = 0;
    for (uint32_t root = 0; root < updater.start.roots.size(); ++root) {
        std::vector<std::string> paths;
        uint32_t folders = 0;
        bool listed = watch_unwatched(root, &paths, &folders);
        total += folders;
        if (paths.empty() || !updater.complete) continue;  // the first scan reads them anyway
        const IndexRootFolder& folder = updater.start.roots[root];
        if (!listed) {
            rescan_subtree(changer, folder, folder.entry, "");
            continue;
        }
        for (const std::string& path : paths) {
            uint32_t id = rescan_find(overlay_view(updater.writer), folder, path);
            if (id != INDEX_NO_ENTRY) rescan_subtree(changer, folder, id, path);
        }
    }
    auto took = Clock::now() - started;
    auto interval = std::max<Clock::duration>(UNWATCHED_MIN_INTERVAL, took * UNWATCHED_INTERVAL_FACTOR);
    updater.unwatched_due = Clock::now() + (total == 0 ? Clock::duration(UNWATCHED_IDLE_INTERVAL) : interval);
    if (total == 0 || updater.unwatched_reported) return;
    updater.unwatched_reported = true;
    console_printf("swp-host: %u folders are not watched for changes, as the system's limit of watches is reached: "
                   "they are read again every %.0f s (the limit is raised with the setting "
                   "fs.inotify.max_user_watches)\n",
                   total, std::chrono::duration<double>(interval).count());
}

// ---------------------------------------------------------------------------------------------------
// Folding.

size_t fold_threshold(const Updater& updater) {
    size_t set = g_fold_threshold.load();
    if (set != 0) return set;
    return std::max(FOLD_MIN_RECORDS, updater.writer.generation->base_count / FOLD_SHARE);
}

// When a quiet disk's overlay is worth folding, else never.
Clock::time_point idle_fold_due(const Updater& updater) {
    const IndexGeneration& generation = *updater.writer.generation;
    size_t worth = std::max(IDLE_FOLD_MIN_RECORDS, generation.base_count / IDLE_FOLD_SHARE);
    if (updater.folding || generation.records.size() < worth || g_fold_threshold.load() != 0)
        return Clock::time_point::max();
    return updater.last_change + IDLE_FOLD_DELAY;
}

void fold_start(Updater& updater) {
    IndexGeneration* generation = updater.writer.generation;
    IndexView view = index_view_copy({generation, generation->published.load()});
    updater.fold_origin = {generation->serial, view.version, {}};
    updater.fold_started = Clock::now();
    updater.folding = true;
    updater.fold_cancel = false;
    updater.replay.clear();
    updater.fold_thread = std::thread([view, &updater]() mutable {
        if (auto hook = g_fold_hook.load()) hook();
        IndexSnapshot* base = index_fold(view, &updater.fold_cancel, &updater.fold_origin.ids);
        index_view_release(&view);
        {
            std::lock_guard<std::mutex> guard(g_shared.lock);
            g_shared.folded = base;
            g_shared.fold_done = true;
        }
        g_shared.wake.notify_all();
    });
}

// Makes the fold's base the new generation, with the changes made since the fold began.
void fold_install(Updater& updater, IndexSnapshot* base) {
    updater.fold_thread.join();
    updater.folding = false;
    if (!base) return;
    auto* generation = new IndexGeneration(base);
    generation->origin = std::make_unique<FoldOrigin>(std::move(updater.fold_origin));
    updater.start.roots = base->roots;  // the new base numbers its entries anew
    OverlayWriter replaying;
    overlay_writer_start(&replaying, generation);
    for (const ReplayOp& op : updater.replay) replay_apply(&replaying, op);
    overlay_publish(&replaying);
    updater.replay.clear();
    updater.replay.shrink_to_fit();
    generation->references.fetch_add(1);  // the current pointer's
    index_generation_set_current(generation);
    size_t folded_records = updater.writer.generation->records.size();
    overlay_writer_end(&updater.writer);
    updater.writer = std::move(replaying);
    g_generations.fetch_add(1);
    debug_printf("swp-host: folded %zu changes into a base of %zu entries in %.2f s\n", folded_records,
                 base->entries.size(), std::chrono::duration<double>(Clock::now() - updater.fold_started).count());
    HeapCompact(GetProcessHeap(), 0);
}

void fold_abandon(Updater& updater) {
    if (!updater.folding) return;
    updater.fold_cancel = true;
    updater.fold_thread.join();
    updater.folding = false;
    std::lock_guard<std::mutex> guard(g_shared.lock);
    delete g_shared.folded;
    g_shared.folded = nullptr;
    g_shared.fold_done = false;
}

// ---------------------------------------------------------------------------------------------------

void index_save(Updater& updater) {
    if (updater.start.saved_index.empty()) return;
    if (!updater.complete) {
        console_printf("swp-host: stopped before the folders were indexed: the index was not saved\n");
        return;
    }
    IndexView view{updater.writer.generation, updater.writer.generation->published.load()};
    IndexSnapshot* folded = view_is_pure(view) ? nullptr : index_fold(view, nullptr);
    std::string error;
    const std::string& path = updater.start.saved_index;
    if (!index_file_write(path, folded ? *folded : view_base(view), &error)) {
        std::error_code ignored;
        bool kept = std::filesystem::exists(utf8_path(path), ignored);
        console_printf("swp-host: cannot save the index to %s: %s%s\n", path.c_str(), error.c_str(),
                       kept ? "; the index saved before is kept" : "");
    }
    delete folded;
}

void generation_freed() {
    {
        std::lock_guard<std::mutex> guard(g_shared.lock);
        g_shared.compact = true;
    }
    g_shared.wake.notify_all();
}

void updater_main(Updater& updater) {
    std::vector<std::string> folders;
    for (const IndexRootFolder& root : updater.start.roots) folders.push_back(root.folder);
    watch_start(folders, notes_take, &g_stopping);
    unwatched_rescan(updater);
    updater.writer.now = filetime_now();
    updater.complete = updater.start.scan ? first_scan(updater) : saved_index_update(updater);
    while (true) {
        std::vector<WatchNote> notes;
        bool rescan = false;
        IndexSnapshot* folded = nullptr;
        bool fold_done = false;
        bool compact = false;
        {
            std::unique_lock<std::mutex> guard(g_shared.lock);
            g_shared.wake.wait_until(guard, std::min(updater.unwatched_due, idle_fold_due(updater)), [] {
                return g_shared.stop || g_shared.rescan || g_shared.fold_done || g_shared.compact ||
                       !g_shared.notes.empty();
            });
            if (g_shared.stop) break;
            notes.swap(g_shared.notes);
            rescan = std::exchange(g_shared.rescan, false);
            fold_done = std::exchange(g_shared.fold_done, false);
            folded = std::exchange(g_shared.folded, nullptr);
            compact = std::exchange(g_shared.compact, false);
        }
        updater.writer.now = filetime_now();
        if (!notes.empty() || rescan) updater.last_change = Clock::now();
        notes_apply(updater, notes);
        if (rescan) {
            bool finished = false;
            console_printf("swp-host: reading the indexed folders again\n");
            auto started = Clock::now();
            RescanCounts counts = roots_rescan(updater, "reading the folders again", &finished);
            if (finished)
                console_printf("swp-host: read the indexed folders again in %.2f s: %zu added, %zu changed, "
                               "%zu removed\n",
                               std::chrono::duration<double>(Clock::now() - started).count(), counts.added,
                               counts.changed, counts.removed);
        }
        if (Clock::now() >= updater.unwatched_due) unwatched_rescan(updater);
        publish(updater);
        // An old generation usually goes with the last query or listing that held it, on another
        // thread and after its fold: what it freed in the heap is given back to the system here.
        if (compact) HeapCompact(GetProcessHeap(), 0);
        if (fold_done) fold_install(updater, folded);
        else if (!updater.folding && (updater.writer.generation->records.size() > fold_threshold(updater) ||
                                      Clock::now() >= idle_fold_due(updater)))
            fold_start(updater);
    }
    fold_abandon(updater);
    watch_stop();
    publish(updater);
    index_save(updater);
    overlay_writer_end(&updater.writer);
}

}  // namespace

void updater_start(UpdaterStart start) {
    auto* updater = new Updater;
    updater->start = std::move(start);
    IndexView current = index_view_acquire();  // its reference becomes the writer's
    overlay_writer_start(&updater->writer, current.generation);
    updater->unwatched_due = Clock::now();
    g_stopping = false;
    {
        std::lock_guard<std::mutex> guard(g_shared.lock);
        g_shared.stop = false;
        g_shared.rescan = false;
        g_shared.notes.clear();
    }
    index_generation_set_freed_hook(generation_freed);
    updater->thread = std::thread(updater_main, std::ref(*updater));
    g_updater = updater;
}

void updater_request_rescan() {
    {
        std::lock_guard<std::mutex> guard(g_shared.lock);
        g_shared.rescan = true;
    }
    g_shared.wake.notify_all();
}

void updater_stop() {
    if (!g_updater) return;
    g_stopping = true;
    {
        std::lock_guard<std::mutex> guard(g_shared.lock);
        g_shared.stop = true;
    }
    g_shared.wake.notify_all();
    // The watches of a large tree take seconds to place: that ends too.
    watch_start_cancel();
    g_updater->thread.join();
    delete g_updater;
    g_updater = nullptr;
}

void updater_set_fold_threshold(size_t records) { g_fold_threshold = records; }

void updater_set_fold_hook(void (*hook)()) { g_fold_hook = hook; }

size_t updater_generations_made() { return g_generations.load(); }

bool updater_stop_requested() { return g_stopping.load(); }

}  // namespace host
