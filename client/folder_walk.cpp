#include "client/folder_walk.h"

#include <vector>

#include "client/data_connection.h"
#include "client/download.h"
#include "client/local_files.h"
#include "client/results_reply.h"

namespace client {
namespace {

bool fact_is(std::string_view fact, std::string_view name, std::string_view* value) {
    if (fact.size() <= name.size() || fact[name.size()] != '=') return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = fact[i] >= 'A' && fact[i] <= 'Z' ? static_cast<char>(fact[i] - 'A' + 'a') : fact[i];
        if (c != name[i]) return false;
    }
    *value = fact.substr(name.size() + 1);
    return true;
}

bool number_of(std::string_view text, uint64_t* value) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = number;
    return true;
}

bool command(Connection* control, const std::string& line, Reply* reply, std::string* error) {
    return connection_send(control, line + "\r\n", error) && connection_read_reply(control, reply, error);
}

// The entries of one folder. LOST when the control connection failed, FAILED (with *error) when
// the folder could not be listed.
DownloadOutcome folder_list(Connection* control, const std::string& ftp_path, std::vector<ListedEntry>* entries,
                            std::string* error) {
    entries->clear();
    SOCKET data = INVALID_SOCKET;
    DataOpen opened = data_connection_open(control, &data, error);
    if (opened != DataOpen::OPEN) return opened == DataOpen::LOST ? DownloadOutcome::LOST : DownloadOutcome::FAILED;
    Reply reply;
    if (!command(control, "MLSD " + ftp_path, &reply, error)) {
        closesocket(data);
        return DownloadOutcome::LOST;
    }
    if (reply.code != 150 && reply.code != 125) {
        closesocket(data);
        *error = "the server says \"" + reply.last_line() + "\"";
        return DownloadOutcome::FAILED;
    }
    Connection listing;
    listing.socket = data;
    std::string_view line;
    std::string ended;
    ListedEntry entry;
    while (connection_read_line(&listing, &line, &ended))
        if (mlsd_line_parse(line, &entry)) entries->push_back(entry);
    connection_close(&listing);
    if (!connection_read_reply(control, &reply, error)) return DownloadOutcome::LOST;
    if (reply.code == 226 || reply.code == 250) return DownloadOutcome::DONE;
    *error = "the server says \"" + reply.last_line() + "\"";
    return DownloadOutcome::FAILED;
}

std::string child_path(const std::string& folder, const std::string& name) {
    return folder.size() > 1 && folder.back() != '/' ? folder + "/" + name : folder + name;
}

// The local folder of a folder of the server.
DownloadOutcome folder_made(DownloadState* state, const std::string& ftp_path) {
    std::string local, error;
    if (local_path_for(state->folder, ftp_path, &local, &error) && download_folder_ready(state, local, false, &error))
        return DownloadOutcome::DONE;
    download_report(state, ftp_path, error);
    ++state->failures;
    return DownloadOutcome::FAILED;
}

}  // namespace

bool mlsd_line_parse(std::string_view line, ListedEntry* entry) {
    size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank == 0) return false;
    std::string_view facts = line.substr(0, blank);
    entry->name = std::string(line.substr(blank + 1));
    entry->is_folder = false;
    entry->size = UNKNOWN_VALUE;
    if (entry->name.empty() || entry->name == "." || entry->name == ".." ||
        entry->name.find('/') != std::string::npos)
        return false;
    bool typed = false;
    while (!facts.empty()) {
        size_t end = facts.find(';');
        std::string_view fact = facts.substr(0, end), value;
        facts = end == std::string_view::npos ? std::string_view() : facts.substr(end + 1);
        if (fact_is(fact, "type", &value)) {
            typed = value == "file" || value == "dir";
            entry->is_folder = value == "dir";
        } else if (fact_is(fact, "size", &value) && !number_of(value, &entry->size)) {
            entry->size = UNKNOWN_VALUE;
        }
    }
    return typed;
}

DownloadOutcome download_folder(DownloadState* state, const std::string& ftp_path) {
    DownloadOutcome made = folder_made(state, ftp_path);
    if (made != DownloadOutcome::DONE || !state->recursive) return made;
    std::string error;
    // Depth first with a list of folders still to read, so that a deep tree needs no deep stack.
    std::vector<std::string> pending{ftp_path};
    std::vector<ListedEntry> entries;
    DownloadOutcome outcome = DownloadOutcome::DONE;
    while (!pending.empty()) {
        std::string folder = std::move(pending.back());
        pending.pop_back();
        DownloadOutcome listed = folder_list(state->control, folder, &entries, &error);
        if (listed != DownloadOutcome::DONE) {
            download_report(state, folder, "cannot list the folder: " + error);
            ++state->failures;
            if (listed == DownloadOutcome::LOST) return listed;
            outcome = listed;
            continue;
        }
        for (const ListedEntry& entry : entries) {
            std::string path = child_path(folder, entry.name);
            DownloadOutcome one = entry.is_folder ? folder_made(state, path) : download_file(state, path, entry.size);
            if (one == DownloadOutcome::LOST) return one;
            if (one == DownloadOutcome::FAILED) outcome = one;
            if (entry.is_folder && one == DownloadOutcome::DONE) pending.push_back(path);
        }
    }
    return outcome;
}

}  // namespace client
