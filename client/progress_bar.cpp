#include "client/progress_bar.h"

#include <cstdio>
#include <string>

#include "client/console.h"

namespace client {
namespace {

constexpr uint64_t REDRAW_MS = 100;
constexpr size_t BAR_CELLS = 20;

std::string bytes_text(double bytes) {
    constexpr const char* UNITS[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < sizeof UNITS / sizeof UNITS[0]) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, UNITS[unit]);
    return text;
}

std::string progress_line(const Progress& progress, uint64_t now_ms) {
    std::string line;
    if (progress.files_expected != 0) {
        uint64_t done = progress.files_done > progress.files_expected ? progress.files_expected : progress.files_done;
        size_t filled = static_cast<size_t>(done * BAR_CELLS / progress.files_expected);
        line = "[" + std::string(filled, '#') + std::string(BAR_CELLS - filled, '.') + "] " +
               std::to_string(progress.files_done) + " of " + std::to_string(progress.files_expected) + " files";
    } else {
        line = std::to_string(progress.files_done) + " files";
    }
    double seconds = static_cast<double>(now_ms - progress.started_ms) / 1000.0;
    line += ", " + bytes_text(static_cast<double>(progress.bytes));
    if (seconds > 0) line += ", " + bytes_text(static_cast<double>(progress.bytes) / seconds) + "/s";
    return line;
}

void progress_draw(Progress* progress, uint64_t now_ms) {
    std::string line = progress_line(*progress, now_ms);
    size_t length = line.size();
    if (length < progress->drawn_length) line += std::string(progress->drawn_length - length, ' ');
    console_write(STD_ERROR_HANDLE, "\r" + line);
    progress->drawn_length = length;
    progress->drawn_ms = now_ms;
}

void progress_maybe_draw(Progress* progress) {
    if (!progress->shown) return;
    uint64_t now = GetTickCount64();
    if (progress->drawn_length == 0 || now - progress->drawn_ms >= REDRAW_MS) progress_draw(progress, now);
}

}  // namespace

void progress_start(Progress* progress, bool shown) {
    *progress = Progress();
    progress->shown = shown;
    progress->started_ms = GetTickCount64();
}

void progress_add_bytes(Progress* progress, uint64_t bytes) {
    progress->bytes += bytes;
    progress_maybe_draw(progress);
}

void progress_file_done(Progress* progress) {
    ++progress->files_done;
    progress_maybe_draw(progress);
}

void progress_clear(Progress* progress) {
    if (!progress->shown || progress->drawn_length == 0) return;
    console_write(STD_ERROR_HANDLE, "\r" + std::string(progress->drawn_length, ' ') + "\r");
    progress->drawn_length = 0;
}

void progress_finish(Progress* progress) {
    if (!progress->shown) return;
    progress_draw(progress, GetTickCount64());
    console_write(STD_ERROR_HANDLE, "\n");
    progress->drawn_length = 0;
}

}  // namespace client
