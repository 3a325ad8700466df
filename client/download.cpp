#include "client/download.h"

#include <vector>

#include "client/console.h"
#include "client/data_connection.h"
#include "client/local_files.h"
#include "client/results_reply.h"

namespace client {
namespace {

constexpr size_t RECEIVE_BYTES = 256 * 1024;

bool command(Connection* control, const std::string& line, Reply* reply, std::string* error) {
    return connection_send(control, line + "\r\n", error) && connection_read_reply(control, reply, error);
}

DownloadOutcome failed(DownloadState* state, const std::string& ftp_path, const std::string& why) {
    download_report(state, ftp_path, why);
    ++state->failures;
    return DownloadOutcome::FAILED;
}

DownloadOutcome lost(DownloadState* state, const std::string& ftp_path, const std::string& why) {
    download_report(state, ftp_path, why);
    ++state->failures;
    return DownloadOutcome::LOST;
}

std::string server_says(const Reply& reply) { return "the server says \"" + reply.last_line() + "\""; }

// Where to start: the size of a partial file, 0 for a new (or longer, or unknown-sized) one, or
// `size` itself for a file that is already complete.
uint64_t resume_offset(const std::string& local, uint64_t size, std::string* error, bool* in_the_way) {
    uint64_t present = 0;
    bool is_folder = false;
    *in_the_way = false;
    if (!local_file_size(local, &present, &is_folder)) {
        if (is_folder) {
            *error = "a folder is in the way at " + local;
            *in_the_way = true;
        }
        return 0;
    }
    if (size == UNKNOWN_VALUE || present > size) return 0;
    return present;
}

// The data of a RETR, from the data connection into the file. False with *error.
bool receive_into(DownloadState* state, SOCKET data, HANDLE file, const std::string& local, uint64_t* received,
                  std::string* error) {
    std::vector<char> buffer(RECEIVE_BYTES);
    for (;;) {
        int got = recv(data, buffer.data(), static_cast<int>(buffer.size()), 0);
        if (got == 0) return true;
        if (got < 0) {
            *error = "the data connection failed: " + connection_lost_words(WSAGetLastError());
            return false;
        }
        if (!local_file_write(file, buffer.data(), static_cast<size_t>(got), local, error)) return false;
        *received += static_cast<uint64_t>(got);
        progress_add_bytes(&state->progress, static_cast<uint64_t>(got));
    }
}

// A size that differs from the result's: the file may have changed since the search, so SIZE
// asks the server what it is now.
bool size_confirmed(DownloadState* state, const std::string& ftp_path, uint64_t have, std::string* error) {
    Reply reply;
    if (!command(state->control, "SIZE " + ftp_path, &reply, error)) return false;
    std::string expected = reply.text.size() > 4 ? reply.text.substr(4) : "";
    return (reply.code == 200 || reply.code == 213) && expected == std::to_string(have);
}

DownloadOutcome retrieve(DownloadState* state, const std::string& ftp_path, uint64_t size, const std::string& local,
                         uint64_t offset) {
    std::string error;
    Reply reply;
    if (!state->binary_set && !command(state->control, "TYPE I", &reply, &error)) return lost(state, ftp_path, error);
    state->binary_set = true;
    SOCKET data = INVALID_SOCKET;
    DataOpen opened = data_connection_open(state->control, &data, &error);
    if (opened != DataOpen::OPEN)
        return opened == DataOpen::LOST ? lost(state, ftp_path, error) : failed(state, ftp_path, error);
    if (offset != 0) {
        if (!command(state->control, "REST " + std::to_string(offset), &reply, &error)) {
            closesocket(data);
            return lost(state, ftp_path, error);
        }
        if (reply.code != 350) offset = 0;
    }
    if (!command(state->control, "RETR " + ftp_path, &reply, &error)) {
        closesocket(data);
        return lost(state, ftp_path, error);
    }
    if (reply.code != 150 && reply.code != 125) {
        closesocket(data);
        return failed(state, ftp_path, server_says(reply));
    }
    HANDLE file = local_file_open(local, offset, &error);
    uint64_t received = 0;
    bool saved = file != INVALID_HANDLE_VALUE && receive_into(state, data, file, local, &received, &error);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    closesocket(data);
    std::string ending;
    if (!connection_read_reply(state->control, &reply, &ending)) return lost(state, ftp_path, ending);
    if (!saved) return failed(state, ftp_path, error);
    if (reply.code != 226 && reply.code != 250) return failed(state, ftp_path, server_says(reply));
    uint64_t have = offset + received;
    std::string asked;
    if (size != UNKNOWN_VALUE && have != size && !size_confirmed(state, ftp_path, have, &asked)) {
        if (!asked.empty()) return lost(state, ftp_path, asked);
        return failed(state, ftp_path, "got " + std::to_string(have) + " of " + std::to_string(size) + " bytes");
    }
    progress_file_done(&state->progress);
    return DownloadOutcome::DONE;
}

}  // namespace

void download_report(DownloadState* state, const std::string& ftp_path, const std::string& why) {
    progress_clear(&state->progress);
    console_report("download failed: " + ftp_path + ": " + why);
}

bool download_folder_ready(DownloadState* state, const std::string& local, bool is_file, std::string* error) {
    std::string folder = local;
    if (is_file) {
        size_t slash = local.find_last_of("/\\");
        folder = slash == std::string::npos ? std::string() : local.substr(0, slash);
    }
    if (folder.empty() || folder == state->made_folder) return true;
    if (!local_folders_make(folder, error)) return false;
    state->made_folder = folder;
    return true;
}

DownloadOutcome download_file(DownloadState* state, const std::string& ftp_path, uint64_t size) {
    std::string local, error;
    if (!local_path_for(state->folder, ftp_path, &local, &error) || !download_folder_ready(state, local, true, &error))
        return failed(state, ftp_path, error);
    bool in_the_way = false;
    uint64_t offset = resume_offset(local, size, &error, &in_the_way);
    if (in_the_way) return failed(state, ftp_path, error);
    if (size != UNKNOWN_VALUE && offset == size && offset != 0) {
        progress_file_done(&state->progress);  // already complete
        return DownloadOutcome::DONE;
    }
    return retrieve(state, ftp_path, size, local, offset);
}

}  // namespace client
