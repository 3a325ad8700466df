// LIST and MLSD: the argument filter, the LIST and MLSD lines, the whole listing written into a
// chain of 64 KiB blocks once the data connection is up, its sending, and the release of the blocks.
#include "ftp/listing.h"

#include "ftp/data_connection.h"
#include "ftp/paths.h"
#include "ftp/transfer.h"
#include "server/client.h"
#include "server/server.h"

namespace {

constexpr WORD LIST_MIN_YEAR = 1900;

constexpr const char* MONTH_NAMES[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Half of the mean Gregorian year: a date closer to now than this shows its time of day.
constexpr int64_t SIX_MONTHS_SECONDS = 31556952 / 2;

const char* month_name(WORD month) { return month >= 1 && month <= 12 ? MONTH_NAMES[month - 1] : MONTH_NAMES[0]; }

// Seconds since 1970 of a calendar time, for comparing two local times.
int64_t calendar_seconds(const SYSTEMTIME& time)
{
    int64_t year = time.wYear - (time.wMonth <= 2 ? 1 : 0);
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t year_of_era = year - era * 400;
    int64_t month = time.wMonth > 2 ? time.wMonth - 3 : time.wMonth + 9;
    int64_t day_of_year = (153 * month + 2) / 5 + time.wDay - 1;
    int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    int64_t days = era * 146097 + day_of_era - 719468;
    return days * 86400 + time.wHour * 3600 + time.wMinute * 60 + time.wSecond;
}

// The year-or-time column: the time of day for a date of the last six months, else the year.
void list_year_or_time(Utf8Buf* text, const SYSTEMTIME& date, int64_t now_seconds)
{
    int64_t date_seconds = calendar_seconds(date);
    if (date_seconds <= now_seconds && now_seconds - date_seconds < SIX_MONTHS_SECONDS) {
        utf8_buf_printf(text, "%02d:%02d", date.wHour, date.wMinute);
        return;
    }
    int year = date.wYear < LIST_MIN_YEAR ? LIST_MIN_YEAR : date.wYear;
    utf8_buf_printf(text, "%5d", year);
}

void list_line(FtpClient* client, const char* name, const IndexedFd& fd, int64_t now_seconds)
{
    SYSTEMTIME date;
    os_filetime_to_localtime(&date, fd.date_modified);
    ScopedUtf8Buf year_or_time;
    list_year_or_time(year_or_time.get(), date, now_seconds);
    data_printf(client, "%cr--r--r-- 1 ftp ftp %13I64u %s %02d %s %s\r\n",
                (fd.attributes & FILE_ATTRIBUTE_DIRECTORY) ? 'd' : '-', fd.size == INDEXED_UNKNOWN ? 0 : fd.size,
                month_name(date.wMonth), date.wDay, year_or_time.text(), name);
}

void mlsd_line(FtpClient* client, const char* name, const IndexedFd& fd)
{
    data_printf_utf8(client, "type=%s;", (fd.attributes & FILE_ATTRIBUTE_DIRECTORY) ? "dir" : "file");
    if (fd.date_modified != INDEXED_UNKNOWN) {
        SYSTEMTIME date;
        os_filetime_to_localtime(&date, fd.date_modified);
        data_printf_utf8(client, "modify=%04d%02d%02d%02d%02d%02d;", date.wYear, date.wMonth, date.wDay, date.wHour,
                         date.wMinute, date.wSecond);
    }
    if (fd.size != INDEXED_UNKNOWN) data_printf_utf8(client, "size=%I64u;", fd.size);
    data_printf_utf8(client, " %s\r\n", name);
}

void listing_record(FtpClient* client, TransferKind kind, const char* text)
{
    ScopedUtf8Buf path;
    path_resolve(client, text, path.get());
    if (path.length() != 0 && !db_folder_exists(server_instance->db, path.text())) {
        client_printf(client, "550 Directory not found.\r\n");
        return;
    }
    client->transfer_kind = kind;
    client->data_head = nullptr;
    client->data_tail = nullptr;
    client->data_remaining = 0;
    client->transfer_path = utf8_string_alloc_utf8_string(path.text());
    client->transfer_done = 0;
    data_open(client);
}

void data_vprintf(FtpClient* client, int utf8, const char* format, va_list arguments)
{
    ScopedUtf8Buf text;
    utf8_buf_vprintf(text.get(), format, arguments);
    if (utf8) {
        data_write(client, text.text(), text.length());
        return;
    }
    AnsiBuf ansi;
    ansi_buf_init(&ansi);
    ansi_buf_copy_utf8_string(&ansi, text.text());
    data_write(client, ansi.text, ansi.length);
    ansi_buf_kill(&ansi);
}

bool is_blank(char byte) { return unicode_is_ascii_ws(static_cast<unsigned char>(byte)) != 0; }

// Steps over the blanks and every word that begins with '-' at the start of the argument, with
// the blanks after each; what follows is the path as the client wrote it.
const char* list_skip_options(const char* at)
{
    for (;;) {
        while (*at && is_blank(*at)) at++;
        if (*at != '-') return at;
        while (*at && !is_blank(*at)) at++;
    }
}

}  // namespace

void list_filter_argument(const char* argument, Utf8Buf* path)
{
    const char* start = list_skip_options(argument);
    size_t length = utf8_string_get_length_in_bytes(start);
    // A name that begins with '-' or a blank is named as "./-name", or between the quotes.
    if (length >= 2 && start[0] == '"' && start[length - 1] == '"') {
        start++;
        length -= 2;
    }
    utf8_buf_copy_utf8_string_n(path, start, length);
}

void cmd_list(FtpClient* client, const char* argument)
{
    ScopedUtf8Buf text;
    list_filter_argument(argument, text.get());
    listing_record(client, TRANSFER_LIST, text.text());
}

void cmd_mlsd(FtpClient* client, const char* argument) { listing_record(client, TRANSFER_MLSD, argument); }

void listing_produce(FtpClient* client)
{
    int64_t now_seconds = 0;
    if (client->transfer_kind == TRANSFER_LIST) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        now_seconds = calendar_seconds(now);
    }
    ScopedUtf8Buf name;
    IndexedFd fd;
    SorrelwickDbFind* find = db_find_first_file(server_instance->db, client->transfer_path, name.get(), &fd);
    if (find == nullptr) return;
    do {
        if (client->transfer_kind == TRANSFER_LIST) {
            list_line(client, name.text(), fd, now_seconds);
        } else {
            mlsd_line(client, name.text(), fd);
        }
    } while (db_find_next_file(find, name.get(), &fd));
    db_find_close(find);
}

// Sends the block chain from where the last call stopped, until the socket would block or one
// event's bound is reached; then a posted data message brings the rest after the events already
// waiting, since a socket that still takes data reports no write event.
int listing_send(FtpClient* client)
{
    size_t budget = DATA_EVENT_SEND_BYTES;
    for (;;) {
        DataBlock* head = client->data_head;
        if (client->data_remaining == 0) {
            if (head == nullptr) {
                client->transfer_done = 1;
                return 0;
            }
            client->data_remaining = head->used;
        }
        if (budget == 0) {
            PostMessageW(server_instance->window, MSG_DATA_SOCKET, client->data_socket, 0);
            return 1;
        }
        const char* from = head->payload + (head->used - client->data_remaining);
        size_t offer = client->data_remaining < budget ? static_cast<size_t>(client->data_remaining) : budget;
        SendResult result = socket_send(client->data_socket, from, offer);
        if (result.outcome != SEND_SENT) return data_send_stopped(client, result, "500 send failed %d.\r\n");
        budget -= static_cast<size_t>(result.sent);
        client->data_remaining -= static_cast<uint64_t>(result.sent);
        if (client->data_remaining == 0) {
            client->data_head = head->next;
            if (client->data_head == nullptr) client->data_tail = nullptr;
            mem_free(head);
        }
    }
}

void listing_release(FtpClient* client)
{
    DataBlock* block = client->data_head;
    while (block) {
        DataBlock* next = block->next;
        mem_free(block);
        block = next;
    }
    client->data_head = nullptr;
    client->data_tail = nullptr;
    mem_free(client->transfer_path);
    client->transfer_path = nullptr;
}

void data_write(FtpClient* client, const char* bytes, size_t length)
{
    while (length != 0) {
        DataBlock* tail = client->data_tail;
        if (tail == nullptr || tail->used == DATA_BLOCK_PAYLOAD) {
            DataBlock* block = static_cast<DataBlock*>(mem_alloc(DATA_BLOCK_SIZE));
            block->used = 0;
            block->next = nullptr;
            if (tail) {
                tail->next = block;
            } else {
                client->data_head = block;
            }
            client->data_tail = tail = block;
        }
        size_t room = DATA_BLOCK_PAYLOAD - tail->used;
        size_t count = length < room ? length : room;
        os_copy_memory(tail->payload + tail->used, bytes, count);
        tail->used += static_cast<uint32_t>(count);
        bytes += count;
        length -= count;
    }
}

void data_printf(FtpClient* client, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    data_vprintf(client, client->utf8_mode == 1, format, arguments);
    va_end(arguments);
}

void data_printf_utf8(FtpClient* client, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    data_vprintf(client, 1, format, arguments);
    va_end(arguments);
}
