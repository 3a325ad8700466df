// The activity log: one line per call, echoed to the debug console, appended to a file that is
// opened on first use and closed when the server stops.
#include "server/activity_log.h"

#include <cstdarg>

#include "plugin/settings.h"
#include "server/client.h"
#include "server/server.h"

namespace {

constexpr uint32_t LOG_ECHO_COLOR = 0xff00ffff;

// Applies the size limit only here, when the file is opened; null when it cannot be opened.
SorrelwickOutputStream* log_open() {
    ScopedUtf8Buf path;
    if (settings.log_file_name && settings.log_file_name[0] != '\0') {
        os_get_local_app_data_path_cat_filename(settings.log_file_name, path.get());
    } else {
        os_get_local_app_data_path_cat_make_filename("Logs\\SWP_Server_Log", ".txt", path.get());
    }
    os_resize_file(path.text(), static_cast<int64_t>(settings.log_max_size),
                   static_cast<int64_t>(settings.log_delta_size));
    os_make_sure_path_to_file_exists(path.text());
    return output_stream_append_file(path.text());
}

void log_write_line(SorrelwickOutputStream* stream, FtpClient* client, const char* message) {
    ScopedUtf8Buf time_text;
    utf8_buf_format_filetime(time_text.get(), os_get_system_time_as_file_time());
    output_stream_write_printf(stream, "%s: ", time_text.text());
    if (client) {
        ScopedUtf8Buf peer;
        utf8_buf_format_peername(peer.get(), client->control_socket);
        output_stream_write_printf(stream, "%p: ", reinterpret_cast<void*>(client->control_socket));
        output_stream_write_printf(stream, "%s: ", peer.text());
    }
    output_stream_write_printf(stream, "%s", message);
}

}  // namespace

void client_log(FtpClient* client, const char* format, ...) {
    if (!settings.logging_enabled) return;

    ScopedUtf8Buf message;
    va_list arguments;
    va_start(arguments, format);
    utf8_buf_vprintf(message.get(), format, arguments);
    va_end(arguments);

    debug_color_printf(LOG_ECHO_COLOR, "%s", message.text());

    // The stream lives in the server instance; without one there is nowhere to keep it open.
    ServerInstance* server = server_instance;
    if (!server) return;
    if (!server->log_stream) server->log_stream = log_open();
    if (!server->log_stream) return;  // lost; the next line tries to open the file again
    log_write_line(server->log_stream, client, message.text());
}
