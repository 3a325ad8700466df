// The debug console on stderr. Colour escapes are written only when stderr is a terminal. The
// plug-in's plain traces are for debugging and stay quiet unless asked for; its errors and
// coloured echoes (the activity lines) are always shown.
#include "host/debug.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "host/listen_report.h"
#include "host/services.h"
#include "host/text_buffers.h"

namespace host {
namespace {

std::atomic<bool> verbose{false};
std::atomic<bool> traces{false};
std::mutex console_lock;

// Colour escapes need a console that interprets them; Windows consoles do once asked to.
bool colours_wanted() {
    static const bool wanted = [] {
        HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
        DWORD mode = 0;
        return GetConsoleMode(console, &mode) && SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }();
    return wanted;
}

// A plug-in's text may carry what a client sent: a control byte other than tab and line ends
// could retitle the terminal or overprint a line, so it is shown as '?'.
void render_control_bytes(char* text, size_t length) {
    for (size_t at = 0; at < length; ++at) {
        unsigned char byte = static_cast<unsigned char>(text[at]);
        if ((byte >= 0x20 && byte != 0x7f) || byte == '\t' || byte == '\n') continue;
        if (byte == '\r' && at + 1 < length && text[at + 1] == '\n') continue;
        text[at] = '?';
    }
}

void console_put(const char* text, size_t length) {
    std::lock_guard<std::mutex> guard(console_lock);
    std::fwrite(text, 1, length, stderr);
    std::fflush(stderr);
}

// One whole message per write, so that lines from several threads do not interleave.
void console_write(const char* prefix, const char* format, va_list arguments, const char* suffix) {
    ScopedUtf8Buf text;
    if (prefix != nullptr) utf8_buf_append(text.get(), prefix, std::char_traits<char>::length(prefix));
    size_t start = text->length;
    text_format_append(text.get(), format, arguments);
    render_control_bytes(text->text + start, text->length - start);
    if (suffix != nullptr) utf8_buf_append(text.get(), suffix, std::char_traits<char>::length(suffix));
    if (listen_watch_hold_console(text->text, text->length)) return;
    console_put(text->text, text->length);
}

}  // namespace

bool debug_stderr_is_console() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}

void console_printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list measure;
    va_copy(measure, arguments);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
        std::string text(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(&text[0], text.size(), format, arguments);
        console_put(text.data(), static_cast<size_t>(length));
    }
    va_end(arguments);
}

void debug_set_traces(bool on) { traces = on; }

bool debug_traces_on() { return traces || verbose; }

void debug_set_verbose(bool on) { verbose = on; }

int debug_is_verbose() { return verbose ? 1 : 0; }

void debug_printf(const char* format, ...) {
    if (!traces && !verbose) return;
    va_list arguments;
    va_start(arguments, format);
    console_write(nullptr, format, arguments, nullptr);
    va_end(arguments);
}

void debug_error_printf(const char* format, ...) {
    // A start's error traces say again what the listen report says of each failure in words.
    if (!debug_traces_on() && listen_watch_active()) return;
    va_list arguments;
    va_start(arguments, format);
    bool colour = colours_wanted();
    console_write(colour ? "\x1b[31m" : nullptr, format, arguments, colour ? "\x1b[0m" : nullptr);
    va_end(arguments);
}

// The colour is 0xAARRGGBB; the alpha byte is ignored.
void debug_color_printf(uint32_t color, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    if (!colours_wanted()) {
        console_write(nullptr, format, arguments, nullptr);
    } else {
        char escape[32];
        std::snprintf(escape, sizeof(escape), "\x1b[38;2;%u;%u;%um", (color >> 16) & 0xFF, (color >> 8) & 0xFF,
                      color & 0xFF);
        console_write(escape, format, arguments, "\x1b[0m");
    }
    va_end(arguments);
}

}  // namespace host
