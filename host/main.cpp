// swp-host: loads the plug-in, starts the index, hands the plug-in its settings and runs the message
// loop until SIGINT or SIGTERM.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "host/command_line.h"
#include "host/debug.h"
#include "host/error_words.h"
#include "host/host_folders.h"
#include "host/index/index.h"
#include "host/index/index_file.h"
#include "host/listen_report.h"
#include "host/memory.h"
#include "host/options_preview.h"
#include "host/options_window.h"
#include "host/process_limits.h"
#include "host/services.h"
#include "host/settings_store.h"
#include "host/utf8_path.h"

#ifndef SWP_VERSION
#define SWP_VERSION "1.0.1.3"
#endif

namespace {

constexpr int EXIT_STOPPED = 0;
constexpr int EXIT_NO_LISTENER = 1;
constexpr int EXIT_BAD_START = 2;

std::atomic<DWORD> main_thread_id{0};
// Set once the run has ended: the handler of a closing console waits for it.
HANDLE run_ended = nullptr;

// Until the plug-in starts, a stop ends the process at once: start-up steps (reading the settings
// and the saved index, indexing's first steps) do not look at the queue, and nothing has been
// served that a clean stop would have to end. From the plug-in's start on, a stop waits in the
// queue and ends the loop at once.
std::mutex starting_lock;
bool starting = true;

void starting_end() {
    std::lock_guard<std::mutex> guard(starting_lock);
    starting = false;
}

// On the handler's thread; the lock keeps the start from ending meanwhile.
void stop_if_starting() {
    std::lock_guard<std::mutex> guard(starting_lock);
    if (!starting) return;
    host::console_printf("%s", "swp-host: stopped while starting: nothing was saved\n");
    std::_Exit(EXIT_STOPPED);
}

int fail(const std::string& message) {
    host::console_printf("swp-host: %s\n", message.c_str());
    return EXIT_BAD_START;
}

// Runs on a thread of its own on a console event. Ctrl+Break (SIGHUP on Linux) reads the indexed
// folders again. Ctrl+C, SIGTERM (Linux) and the console closing end the main loop: Windows ends
// the process as soon as the handler of a closing console returns, so that one waits for the stop
// to finish.
BOOL stop_on_signal(DWORD control_type) {
    if (control_type == CTRL_BREAK_EVENT) {
        host::index_rescan_request();
        return TRUE;
    }
    stop_if_starting();
    PostThreadMessageW(main_thread_id, WM_QUIT, 0, 0);
    if (control_type == CTRL_CLOSE_EVENT && run_ended) WaitForSingleObject(run_ended, INFINITE);
    return TRUE;
}

struct Plugin {
    HMODULE module = nullptr;
    SorrelwickPluginProc proc = nullptr;

    uintptr_t send(uint32_t message, uintptr_t data = 0) const { return proc(message, data); }
};

bool plugin_load(const std::string& path, Plugin* plugin, std::string* error) {
    std::error_code status;
    if (!std::filesystem::is_regular_file(host::utf8_path(path), status)) {
        *error = "the plug-in " + path + " does not exist";
        return false;
    }
    plugin->module = LoadLibraryA(path.c_str());
    if (plugin->module == nullptr) {
        *error = "the plug-in " + path + " cannot be loaded: " + host::error_words(GetLastError());
        return false;
    }
    // Through void (*)(), the type that converts to any function type without a warning.
    auto entry = reinterpret_cast<void (*)()>(GetProcAddress(plugin->module, SORRELWICK_PLUGIN_ENTRY_NAME));
    plugin->proc = reinterpret_cast<SorrelwickPluginProc>(entry);
    if (plugin->proc == nullptr) {
        *error = "the plug-in " + path + " has no entry point " + SORRELWICK_PLUGIN_ENTRY_NAME;
        FreeLibrary(plugin->module);
        return false;
    }
    return true;
}

// Binds to port 0 take their ports from the range of the command line, else of the settings file.
void passive_ports_apply(const host::CommandLine& command_line, const host::SettingsStore& store) {
    std::optional<host::PortRange> range = command_line.passive_ports;
    if (!range) range = store.passive_ports();
    if (range && !host::process_passive_ports_set(range->first, range->last))
        host::console_printf("swp-host: warning: passive ports come from the machine's dynamic port range here; "
                             "the range %u-%u is not applied\n",
                             static_cast<unsigned>(range->first), static_cast<unsigned>(range->last));
}

bool settings_prepare(const host::CommandLine& command_line, bool serving, host::SettingsStore* store,
                      std::string* error) {
    std::string path = command_line.settings_path.empty() ? host::default_settings_path() : command_line.settings_path;
    if (!store->load(path, error)) return false;
    for (const std::string& warning : store->warnings())
        host::console_printf("swp-host: warning: %s\n", warning.c_str());
    for (const auto& [key, value] : command_line.setting_overrides)
        if (!store->set_override(key, value, error)) return false;
    // Starting swp-host means serving: the server is enabled for the run.
    return !serving || store->set_override("enabled", "1", error);
}

// The folders: those of the command line, else the settings file's, else the current folder.
bool index_prepare(const host::CommandLine& command_line, const host::SettingsStore& store, std::string* error) {
    std::vector<host::IndexRoot> roots = command_line.roots;
    if (roots.empty()) roots = store.index_roots();
    if (roots.empty()) {
        host::IndexRoot root;
        if (!host::index_root_parse(".", &root, error)) return false;
        roots.push_back(root);
    }
    host::IndexOptions index_options;
    index_options.folder_sizes = command_line.folder_sizes;
    std::string saved_index = command_line.no_index_file     ? std::string()
                              : command_line.index_file.empty() ? host::default_index_file_path()
                                                                : command_line.index_file;
    return host::index_start(roots, index_options, saved_index, error);
}

void run_message_loop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
        if (host::memory_compact_due() && !PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) host::memory_compact();
    }
}

int draw_options_page(const host::CommandLine& command_line, const Plugin& plugin, host::SettingsStore* store) {
    std::string error;
    if (!host::options_page_draw(plugin.proc, store, command_line.options_page_path, command_line.options_page_width,
                                 command_line.options_page_height, &error))
        return fail(error);
    return EXIT_STOPPED;
}

// The options window: the host serves as any run does, and the page shows what runs (the server
// ticked while it serves); the window's Apply restarts or stops the server as the page says.
int show_options_window(const host::CommandLine& command_line, const Plugin& plugin, host::SettingsStore* store) {
    host::listen_watch_begin();
    starting_end();
    plugin.send(PLUGIN_MSG_START, reinterpret_cast<uintptr_t>(store));
    host::ListenReport report = host::listen_watch_end();
    host::listen_report_show_applied(report);
    std::string error;
    bool shown = host::options_window_run(plugin.proc, store, command_line.options_page_width,
                                          command_line.options_page_height, &error);
    plugin.send(PLUGIN_MSG_STOP);
    plugin.send(PLUGIN_MSG_UNINIT);
    if (!shown) return fail(error);
    return EXIT_STOPPED;
}

int serve(const Plugin& plugin, host::SettingsStore* store) {
    // The server's listeners are the sockets that start listening during the start message;
    // passive data listeners opened later are not announced.
    host::listen_watch_begin();
    // From the plug-in's start on, a stop goes through the queue, so that what the start opened
    // (listeners, the activity log) is closed as at any other stop.
    starting_end();
    plugin.send(PLUGIN_MSG_START, reinterpret_cast<uintptr_t>(store));
    if (!host::listen_report_show(host::listen_watch_end())) {
        plugin.send(PLUGIN_MSG_STOP);
        plugin.send(PLUGIN_MSG_UNINIT);
        return EXIT_NO_LISTENER;
    }
    run_message_loop();
    plugin.send(PLUGIN_MSG_STOP);
    plugin.send(PLUGIN_MSG_SAVE_SETTINGS, reinterpret_cast<uintptr_t>(store));
    plugin.send(PLUGIN_MSG_UNINIT);
    std::string error;
    if (!store->save(&error)) {
        host::console_printf("swp-host: %s\n", error.c_str());
        return EXIT_BAD_START;
    }
    return EXIT_STOPPED;
}

int run(const host::CommandLine& command_line) {
    // Drawing the options page needs the settings alone; every other run serves, --options too.
    bool serving = command_line.options_page_path.empty();
    host::debug_set_traces(command_line.debug);
    host::debug_set_verbose(command_line.verbose);
    // The queue exists before the signal handler can post to it, and the handler is in place before
    // the index scan and the first listener, so a stop is never lost: a WM_QUIT posted early waits
    // in the queue and ends the loop at once.
    MSG peeked;
    PeekMessageW(&peeked, nullptr, 0, 0, PM_NOREMOVE);
    main_thread_id = GetCurrentThreadId();
    SetConsoleCtrlHandler(stop_on_signal, TRUE);
    std::string error;
    if (command_line.options_window && !host::options_window_supported(&error)) return fail(error);
    host::SettingsStore store;
    if (!settings_prepare(command_line, serving, &store, &error)) return fail(error);
    passive_ports_apply(command_line, store);
    host::process_handle_limit_raise();

    Plugin plugin;
    if (!plugin_load(command_line.plugin_path.empty() ? host::default_plugin_path() : command_line.plugin_path, &plugin,
                     &error))
        return fail(error);

    if (serving && !index_prepare(command_line, store, &error)) {
        FreeLibrary(plugin.module);
        return fail(error);
    }

    int status = EXIT_BAD_START;
    if (plugin.send(PLUGIN_MSG_INIT, reinterpret_cast<uintptr_t>(&host::lookup_service)) == 0)
        status = fail("the plug-in did not accept the host's services");
    else
        status = !serving                      ? draw_options_page(command_line, plugin, &store)
                 : command_line.options_window ? show_options_window(command_line, plugin, &store)
                                               : serve(plugin, &store);
    host::index_shutdown();
    FreeLibrary(plugin.module);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    host::CommandLine command_line;
    std::string error;
    if (!host::command_line_parse(arguments, &command_line, &error)) {
        host::console_printf("swp-host: %s\nTry \"swp-host --help\" for the options.\n", error.c_str());
        return EXIT_BAD_START;
    }
    if (command_line.help) {
        std::fputs(host::command_line_help().c_str(), stdout);
        return EXIT_STOPPED;
    }
    if (command_line.manual_page) {
        std::fputs(host::command_line_manual_page(SWP_VERSION).c_str(), stdout);
        return EXIT_STOPPED;
    }
    if (command_line.version) {
        std::printf("swp-host %s\n", SWP_VERSION);
        return EXIT_STOPPED;
    }
    // Texts are UTF-8, on a console too.
    SetConsoleOutputCP(CP_UTF8);
    // Not closed: a console handler may still wait on it while the process ends.
    run_ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    int status = run(command_line);
    SetEvent(run_ended);
    return status;
}
