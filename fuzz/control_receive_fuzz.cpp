// The control connection's receive path: the input is what a client sends, cut into segments at
// points the input chooses, read by the real receive code and executed by the dispatcher against
// a real index; only the network is faked.
//
// Byte 0 picks the session (FuzzHostFlag); the rest is the byte stream, in which 0xFF escapes:
//   FF FF           a literal 0xFF byte
//   FF 00           ends the segment: the bytes after it come with a recv of their own
//   FF 01           ends the segment and delivers a read event, which reads every waiting segment
//   FF 02 a b c v   appends (a << 16 | b << 8 | c) bytes of value v (not LF): long lines from
//                   short inputs
//   FF 03 n         from now on the control socket takes at most n bytes per control event
//   FF 04           the results of an owed search arrive
// At the end the rest is delivered, the peer closes, and no socket may be left open.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/plugin_fuzz_host.h"
#include "server/server.h"

using namespace fuzz_host;

namespace {

constexpr uint8_t ESCAPE = 0xFF;
// Over all runs of one input: enough for a line over the limit, and a little more.
constexpr size_t MAX_RUN_BYTES = MAX_COMMAND_LINE + (MAX_COMMAND_LINE >> 2);

FtpClient* client_if_open() {
    for (FtpClient* client = server_instance->clients_head; client; client = client->next) {
        if (client->control_socket == CONTROL_SOCKET) return client;
    }
    return nullptr;
}

// The queue's count of unsent bytes is what pauses reading; it must match the queue itself.
void check_reply_queue(const FtpClient* client) {
    uint64_t unsent = 0;
    for (const ReplyBlock* block = client->reply_head; block; block = block->next) {
        bool partly_sent = block == client->reply_head && client->reply_remaining != 0;
        unsent += partly_sent ? client->reply_remaining : block->count;
    }
    if (unsent != client->reply_unsent_bytes) fuzz_fail("the unsent reply count disagrees with the queue");
}

// Every reply ends its last line with CR LF, so a connection that has sent all its replies has
// sent whole lines. (One that was dropped may have been cut anywhere.)
void check_after_event() {
    NetworkScript& script = fuzz_script();
    FtpClient* client = client_if_open();
    if (!client) return;
    check_reply_queue(client);
    bool all_sent = !client->reply_head;
    if (all_sent && !script.sent.empty() && !script.sent.ends_with("\r\n")) fuzz_fail("a reply was cut short");
    if (script.sent.size() > 2) script.sent.erase(0, script.sent.size() - 2);
}

void deliver(std::string* segment) {
    if (!segment->empty()) fuzz_script().incoming.push_back(std::move(*segment));
    segment->clear();
    fuzz_host_control_event();
    check_after_event();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    fuzz_host_setup();
    fuzz_host_begin(data[0]);
    fuzz_host_connect();

    NetworkScript& script = fuzz_script();
    std::string segment;
    size_t run_bytes = 0;
    for (size_t at = 1; at < size; at++) {
        if (data[at] != ESCAPE || at + 1 == size) {
            segment.push_back(static_cast<char>(data[at]));
            continue;
        }
        uint8_t op = data[++at];
        if (op == ESCAPE) {
            segment.push_back(static_cast<char>(ESCAPE));
        } else if (op == 0x00) {
            if (!segment.empty()) script.incoming.push_back(segment);
            segment.clear();
        } else if (op == 0x01) {
            deliver(&segment);
        } else if (op == 0x02 && at + 4 < size) {
            size_t length = static_cast<size_t>(data[at + 1]) << 16 | data[at + 2] << 8 | data[at + 3];
            // A run of line ends would be a flood of empty commands, which short inputs give already.
            bool fits = run_bytes + length <= MAX_RUN_BYTES && data[at + 4] != '\n';
            if (fits) segment.append(length, static_cast<char>(data[at + 4]));
            run_bytes += length;
            at += 4;
        } else if (op == 0x03 && at + 1 < size) {
            script.send_room = data[++at];
        } else if (op == 0x04) {
            fuzz_host_results_arrive();
            check_after_event();
        }
    }
    deliver(&segment);
    // A connection that takes no replies would keep the rest unsent; the peer now reads them all.
    script.send_room = SIZE_MAX;
    script.peer_closed = true;
    fuzz_host_control_event();
    fuzz_host_end();
    return 0;
}
