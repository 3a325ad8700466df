// The activity log: one line per call, appended to a file that is opened on first use and closed
// when the server stops, and echoed to the debug console as the same line.
#include "server/activity_log.h"

#include <cstdarg>

#include "plugin/settings.h"
#include "server/client.h"
#include "server/server.h"

namespace {

constexpr uint32_t LOG_ECHO_COLOR = 0xff00ffff;

bool is_control_byte(unsigned char byte) { return (byte < 0x20 && byte != '\t') || byte == 0x7f; }

// Control bytes a client sent could retitle a terminal or overprint a line; '?' shows that they came.
void render_control_bytes(char* text, size_t length, bool keep_line_ends) {
    for (size_t at = 0; at < length; ++at) {
        unsigned char byte = static_cast<unsigned char>(text[at]);
        if (!is_control_byte(byte)) continue;
        bool line_end = byte == '\n' || (byte == '\r' && at + 1 < length && text[at + 1] == '\n');
        if (!(keep_line_ends && line_end)) text[at] = '?';
    }
}

// One call is one line: only the message's own closing CR LF stays a line end.
void render_message(Utf8Buf* message) {
    size_t body = message->length;
    if (body >= 2 && message->text[body - 2] == '\r' && message->text[body - 1] == '\n') body -= 2;
    render_control_bytes(message->text, body, false);
}

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

// The time, for a client its socket and peer, then the message.
void log_line_format(Utf8Buf* line, FtpClient* client, const char* message) {
    ScopedUtf8Buf time_text;
    utf8_buf_format_filetime(time_text.get(), os_get_system_time_as_file_time());
    if (!client) {
        utf8_buf_printf(line, "%s: %s", time_text.text(), message);
        return;
    }
    ScopedUtf8Buf peer;
    utf8_buf_format_peername(peer.get(), client->control_socket);
    utf8_buf_printf(line, "%s: %p: %s: %s", time_text.text(), reinterpret_cast<void*>(client->control_socket),
                    peer.text(), message);
}

}  // namespace

void client_log(FtpClient* client, const char* format, ...) {
    if (!settings.logging_enabled) return;

    ScopedUtf8Buf message;
    va_list arguments;
    va_start(arguments, format);
    utf8_buf_vprintf(message.get(), format, arguments);
    va_end(arguments);
    render_message(message.get());

    ScopedUtf8Buf line;
    log_line_format(line.get(), client, message.text());
    debug_color_printf(LOG_ECHO_COLOR, "%t", line.text(), line.length());

    // The stream lives in the server instance; without one there is nowhere to keep it open.
    ServerInstance* server = server_instance;
    if (!server) return;
    if (!server->log_stream) server->log_stream = log_open();
    if (!server->log_stream) return;  // lost; the next line tries to open the file again
    // One write per line, so that the file never holds a line cut by a failed write.
    output_stream_write_printf(server->log_stream, "%t", line.text(), line.length());
}

void console_echo_printf(uint32_t color, const char* format, ...) {
    ScopedUtf8Buf text;
    va_list arguments;
    va_start(arguments, format);
    utf8_buf_vprintf(text.get(), format, arguments);
    va_end(arguments);
    render_control_bytes(text.get()->text, text.length(), true);
    debug_color_printf(color, "%t", text.text(), text.length());
}
