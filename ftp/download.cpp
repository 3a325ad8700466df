// RETR: the file download, from the command that opens the file and starts the reader thread to
// the release of both. The user-interface thread sends the one read buffer; the reader thread
// refills it from the disk each time it has been sent in full.
//
// Where the two threads meet, every field of the client that the reader touches:
// - read_length, read_pending, reader_status and reader_stop: always under reader_lock, which
//   neither side holds across a read, a send, a wait or a post;
// - the bytes of read_buffer: read_pending 0 gives them to the reader, non-zero to the sender;
// - reader_event: the reader waits on it and resets it, the user-interface thread sets it for
//   every wake-up;
// - read_buffer, file_handle, reader_event and reader_lock themselves: made before the thread
//   starts and released by retr_release only after it has ended; file_handle is the reader's alone;
// - data_socket, read without the lock for the progress message: the reader first reads it after
//   the first wake-up, which data_send gives once the data connection is up, and data_close joins
//   the reader before the socket is closed or replaced;
// - server_instance and its window, for the same message: server_stop destroys every client, and
//   so joins every reader, before it destroys the window;
// - the client record: client_destroy joins the reader (data_close) before it frees the record.
#include "ftp/download.h"

#include "ftp/data_connection.h"
#include "ftp/paths.h"
#include "ftp/transfer.h"
#include "plugin/settings.h"
#include "server/client.h"
#include "server/server.h"
#include "server/socket_send.h"

namespace {

constexpr uint32_t FILE_POINTER_FROM_START = 0;

struct ReaderView {
    uint64_t pending;
    uint64_t length;
    uint32_t status;
};

ReaderView reader_view(FtpClient* client)
{
    EnterCriticalSection(&client->reader_lock);
    ReaderView view = {client->read_pending, client->read_length, client->reader_status};
    LeaveCriticalSection(&client->reader_lock);
    return view;
}

void reader_post(FtpClient* client)
{
    PostMessageW(server_instance->window, MSG_DATA_SOCKET, client->data_socket, 0);
}

// Waits for a wake-up and returns with reader_lock held.
void reader_wait(FtpClient* client)
{
    WaitForSingleObject(client->reader_event, INFINITE);
    ResetEvent(client->reader_event);
    EnterCriticalSection(&client->reader_lock);
}

// Records the reader's final status and tells the sender.
void reader_finish(FtpClient* client, uint32_t status)
{
    EnterCriticalSection(&client->reader_lock);
    client->reader_status = status;
    LeaveCriticalSection(&client->reader_lock);
    reader_post(client);
}

}  // namespace

void cmd_retr(FtpClient* client, const char* argument)
{
    uint64_t offset = client->rest_offset;
    client->rest_offset = 0;
    if (settings.allow_file_download == 0) {
        client_printf(client, "550 File not found.\r\n");
        data_close(client);
        return;
    }
    ScopedUtf8Buf path;
    path_resolve(client, argument, path.get());
    HANDLE file = INVALID_HANDLE_VALUE;
    if (db_file_exists(server_instance->db, path.text())) file = os_open_file(path.text());
    if (file == INVALID_HANDLE_VALUE) {
        client_printf(client, "550 File not found.\r\n");
        data_close(client);
        return;
    }
    if (offset != 0 && !os_set_file_pointer(file, offset, FILE_POINTER_FROM_START)) {
        client_printf(client, "451 Transfer aborted: rest error.\r\n");
        CloseHandle(file);
        return;
    }

    client->transfer_kind = TRANSFER_RETR;
    client->read_buffer = static_cast<uint8_t*>(mem_alloc(RETR_BUFFER_SIZE));
    client->file_handle = file;
    InitializeCriticalSection(&client->reader_lock);
    client->reader_event = os_event_create();
    client->read_length = 0;
    client->read_pending = 0;
    client->reader_status = READER_READING;
    client->reader_stop = 0;
    client->transfer_done = 0;
    client->reader_thread = os_thread_create(file_read_thread, client);
    data_open(client);
}

int retr_send(FtpClient* client)
{
    for (;;) {
        ReaderView view = reader_view(client);
        if (view.pending == 0) {
            if (view.status == READER_END_OF_FILE) {
                client->transfer_done = 1;
                return 0;
            }
            if (view.status == READER_READ_FAILED) {
                client_printf(client, "451 Transfer aborted: read error.\r\n");
                return 0;
            }
            SetEvent(client->reader_event);
            return 1;
        }
        const uint8_t* from = client->read_buffer + (view.length - view.pending);
        SendResult result = socket_send(client->data_socket, from, static_cast<size_t>(view.pending));
        if (result.outcome != SEND_SENT) return data_send_stopped(client, result, "426 send failed %d\r\n");
        EnterCriticalSection(&client->reader_lock);
        client->read_pending -= static_cast<uint64_t>(result.sent);
        LeaveCriticalSection(&client->reader_lock);
    }
}

DWORD file_read_thread(void* argument)
{
    FtpClient* client = static_cast<FtpClient*>(argument);
    reader_wait(client);
    while (client->reader_stop == 0) {
        if (client->read_pending != 0) {
            // The buffer is still being sent: nothing to do until the next wake-up.
            LeaveCriticalSection(&client->reader_lock);
        } else {
            LeaveCriticalSection(&client->reader_lock);
            DWORD count = 0;
            if (!ReadFile(client->file_handle, client->read_buffer, RETR_BUFFER_SIZE, &count, nullptr)) {
                reader_finish(client, READER_READ_FAILED);
                return 0;
            }
            if (count == 0) {
                reader_finish(client, READER_END_OF_FILE);
                return 0;
            }
            // ReadFile fills the buffer unless the file ends: a short read is the last one, so the
            // sender ends the transfer once this buffer is sent, without handing it back first.
            bool last = count < RETR_BUFFER_SIZE;
            EnterCriticalSection(&client->reader_lock);
            client->read_length = count;
            client->read_pending = count;
            if (last) client->reader_status = READER_END_OF_FILE;
            LeaveCriticalSection(&client->reader_lock);
            reader_post(client);
            if (last) return 0;
        }
        reader_wait(client);
    }
    LeaveCriticalSection(&client->reader_lock);
    return 0;
}

// The reader may be waiting, reading or gone: the flag set under the lock and then the event reach
// it in every state, and nothing it uses is released before it has ended.
void retr_release(FtpClient* client)
{
    EnterCriticalSection(&client->reader_lock);
    client->reader_stop = 1;
    LeaveCriticalSection(&client->reader_lock);
    SetEvent(client->reader_event);
    os_thread_wait_and_close(client->reader_thread);
    CloseHandle(client->reader_event);
    DeleteCriticalSection(&client->reader_lock);
    CloseHandle(client->file_handle);
    mem_free(client->read_buffer);
    client->reader_thread = nullptr;
    client->reader_event = nullptr;
    client->file_handle = INVALID_HANDLE_VALUE;
    client->read_buffer = nullptr;
}
