// RETR: the file download. The user-interface thread sends the one read buffer; the reader thread
// refills it from the disk each time it has been sent in full.
//
// Where the two threads meet: read_length, read_pending, reader_status and reader_stop, always
// under reader_lock and never across a read, a send, a wait or a post. read_pending 0 means the
// buffer belongs to the reader; non-zero, to the sender. reader_event carries every wake-up.
#include "ftp/download.h"

#include "ftp/data_connection.h"
#include "ftp/paths.h"
#include "plugin/settings.h"
#include "server/client.h"
#include "server/server.h"

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
        int sent = network_send(client->data_socket, from, view.pending);
        if (sent == -1) {
            int error = os_winsock_WSAGetLastError();
            if (error == WSAEWOULDBLOCK) return 1;
            client_printf(client, "426 send failed %d\r\n", error);
            return 0;
        }
        if (sent == 0) {
            client_printf(client, "426 Connection closed; transfer aborted.\r\n");
            return 0;
        }
        EnterCriticalSection(&client->reader_lock);
        client->read_pending -= static_cast<uint64_t>(sent);
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
