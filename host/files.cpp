// Files: the local application-data folder, folder creation, trimming an oversized log, file
// pointers and append-only output streams that keep their lines whole.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "host/debug.h"
#include "host/error_words.h"
#include "host/host_folders.h"
#include "host/services.h"
#include "host/text_buffers.h"
#include "host/utf8_path.h"

// One writer appends whole lines; `line_open` says that the file ends inside a line, `failing` that
// the last write failed and was reported.
struct SorrelwickOutputStream {
    HANDLE file;
    std::string path;
    bool line_open;
    bool failing;
};

namespace host {
namespace {

// Plug-ins name files with backslashes. Both systems take "/" as a folder separator too; the
// result has the system's own separators.
std::string local_path_from_name(const char* name) {
    std::string text(name);
    std::replace(text.begin(), text.end(), '\\', '/');
    std::filesystem::path path = utf8_path(text);
    if (!path.is_absolute()) path = utf8_path(local_app_data_folder()) / path;
    return utf8_path_text(path.make_preferred());
}

// Where the newest part of a file starts: at a line start at or after `from`, or at the end when
// no line starts there.
std::streamoff newest_part_start(std::ifstream& file, std::streamoff from, std::streamoff size) {
    if (from <= 0) return 0;
    file.seekg(from - 1);
    char byte = 0;
    for (std::streamoff position = from - 1; position < size; ++position) {
        if (!file.get(byte)) return size;
        if (byte == '\n') return position + 1;
    }
    return size;
}

// Whether the file holds a last line without its line feed.
bool stream_ends_inside_a_line(HANDLE file) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart == 0) return false;
    LARGE_INTEGER last;
    last.QuadPart = size.QuadPart - 1;
    char byte = 0;
    DWORD got = 0;
    if (!SetFilePointerEx(file, last, nullptr, FILE_BEGIN) || !ReadFile(file, &byte, 1, &got, nullptr)) return false;
    return got == 1 && byte != '\n';
}

// Appends the bytes whole or not at all: what a failed write left of them is cut off again. False
// with the error of the write when it failed.
bool stream_append(SorrelwickOutputStream* stream, const char* bytes, size_t length) {
    LARGE_INTEGER end;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(stream->file, zero, &end, FILE_END)) return false;
    if (length > UINT32_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD written = 0;
    BOOL wrote = WriteFile(stream->file, bytes, static_cast<DWORD>(length), &written, nullptr);
    if (wrote && written == length) return true;
    DWORD error = wrote ? 112 : GetLastError();  // a short write without an error: ERROR_DISK_FULL
    if (written > 0 && !(SetFilePointerEx(stream->file, end, nullptr, FILE_BEGIN) && SetEndOfFile(stream->file)))
        stream->line_open = true;
    SetLastError(error);
    return false;
}

}  // namespace

void os_get_local_app_data_path_cat_filename(const char* name, Utf8Buf* path) {
    std::string full = local_path_from_name(name);
    utf8_buf_copy_utf8_string_n(path, full.data(), full.size());
}

void os_get_local_app_data_path_cat_make_filename(const char* name, const char* extension, Utf8Buf* path) {
    std::string full = local_path_from_name(name) + extension;
    utf8_buf_copy_utf8_string_n(path, full.data(), full.size());
}

int os_make_sure_path_to_file_exists(const char* path) {
    std::filesystem::path folder = utf8_path(path).parent_path();
    if (folder.empty()) return 1;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return !error && std::filesystem::is_directory(folder, error) ? 1 : 0;
}

int os_resize_file(const char* path, int64_t max_size, int64_t delta_size) {
    // A limit of zero or less means no limit.
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(utf8_path(path), error);
    if (error) return std::filesystem::exists(utf8_path(path), error) ? 0 : 1;
    if (max_size <= 0 || size <= static_cast<std::uintmax_t>(max_size)) return 1;

    int64_t keep = max_size - (delta_size > 0 ? delta_size : 0);
    if (keep < 0) keep = 0;
    std::ifstream source(utf8_path(path), std::ios::binary);
    if (!source) return 0;
    std::streamoff total = static_cast<std::streamoff>(size);
    std::streamoff start = newest_part_start(source, total - keep, total);

    // The newest part goes to a file beside the old one, which it then replaces in one step.
    std::string trimmed_path = std::string(path) + ".trim";
    {
        std::ofstream trimmed(utf8_path(trimmed_path), std::ios::binary | std::ios::trunc);
        if (!trimmed) return 0;
        source.clear();
        source.seekg(start);
        char block[65536];
        for (std::streamoff left = total - start; left > 0;) {
            std::streamsize piece = left < static_cast<std::streamoff>(sizeof(block)) ? left : sizeof(block);
            if (!source.read(block, piece)) break;
            trimmed.write(block, piece);
            left -= piece;
        }
        if (!trimmed.flush()) {
            std::filesystem::remove(utf8_path(trimmed_path), error);
            return 0;
        }
    }
    // Windows renames over no file that is open.
    source.close();
    std::filesystem::rename(utf8_path(trimmed_path), utf8_path(path), error);
    if (error) std::filesystem::remove(utf8_path(trimmed_path), error);
    return error ? 0 : 1;
}

int os_set_file_pointer(HANDLE file, uint64_t offset, uint32_t move_method) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return 0;
    // An absolute offset past the end is refused: a download may not restart beyond the file.
    if (move_method == FILE_BEGIN) {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(file, &size) || offset > static_cast<uint64_t>(size.QuadPart)) return 0;
    }
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, distance, nullptr, move_method) ? 1 : 0;
}

SorrelwickOutputStream* output_stream_append_file(const char* path) {
    std::error_code status;
    bool is_new = !std::filesystem::exists(utf8_path(path), status);
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    // A new file is readable by its owner only: the activity log names users and their addresses.
    if (is_new)
        std::filesystem::permissions(utf8_path(path),
                                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, status);
    auto* stream = new SorrelwickOutputStream{file, path, stream_ends_inside_a_line(file), false};
    return stream;
}

void output_stream_write_printf(SorrelwickOutputStream* stream, const char* format, ...) {
    if (stream == nullptr) return;
    ScopedUtf8Buf text;
    // A line cut by an earlier run or a failed write is ended before anything new is written.
    if (stream->line_open) utf8_buf_append(text.get(), "\r\n", 2);
    va_list arguments;
    va_start(arguments, format);
    text_format_append(text.get(), format, arguments);
    va_end(arguments);
    // Written at once and whole, so that the file shows every line as soon as it is written.
    if (stream_append(stream, text->text, text->length)) {
        stream->line_open = false;
        if (stream->failing) console_printf("swp-host: %s is written again\n", stream->path.c_str());
        stream->failing = false;
        return;
    }
    if (!stream->failing)
        console_printf("swp-host: cannot write to %s: %s; what it should hold is lost until it can be "
                       "written again\n", stream->path.c_str(), error_words(GetLastError()).c_str());
    stream->failing = true;
}

void output_stream_close(SorrelwickOutputStream* stream) {
    if (stream == nullptr) return;
    CloseHandle(stream->file);
    delete stream;
}

}  // namespace host
