// The virtual tree: FTP path arguments become index paths, and the commands about one entry.
#include "ftp/paths.h"

#include "ftp/dispatcher.h"
#include "server/client.h"
#include "server/server.h"

namespace {

// Turns "/" into "\" and drops one trailing separator, then resolves "." and "..".
void path_normalise(Utf8Buf* path)
{
    if (path->length != 0) {
        for (size_t i = 0; i < path->length; i++) {
            if (path->text[i] == '/') path->text[i] = '\\';
        }
        if (path->text[path->length - 1] == '\\') {
            path->length--;
            path->text[path->length] = 0;
        }
    }
    utf8_buf_path_canonicalize(path);
}

SorrelwickDb* index_db() { return server_instance->db; }

// Sets current_directory to `path` and queues the 250 reply of CWD or CDUP with its display form.
void change_directory(FtpClient* client, const char* path, const char* format)
{
    client->current_directory = utf8_string_realloc_utf8_string(client->current_directory, path);
    ScopedUtf8Buf display;
    path_display(display.get(), client->current_directory);
    client_printf(client, format, display.text());
}

}  // namespace

void path_resolve(FtpClient* client, const char* argument, Utf8Buf* index_path)
{
    if (argument[0] == '/') {
        utf8_buf_copy_utf8_string(index_path, argument + 1);
    } else if (client->current_directory[0] == 0) {
        utf8_buf_copy_utf8_string(index_path, argument);
    } else if (argument[0] == 0) {
        utf8_buf_copy_utf8_string(index_path, client->current_directory);
    } else {
        utf8_buf_path_cat_filename(index_path, client->current_directory, argument);
    }
    path_normalise(index_path);
}

void cmd_cwd(FtpClient* client, const char* argument)
{
    ScopedUtf8Buf path;
    path_resolve(client, argument, path.get());
    if (path.length() != 0 && !db_folder_exists(index_db(), path.text())) {
        client_printf(client, "550 Directory not found.\r\n");
        return;
    }
    change_directory(client, path.text(), "250 CWD successful. \"%s\" is current directory.\r\n");
}

void cmd_cdup(FtpClient* client)
{
    ScopedUtf8Buf path;
    if (client->current_directory[0] != 0) {
        utf8_buf_path_cat_filename(path.get(), client->current_directory, "..");
    } else {
        utf8_buf_copy_utf8_string(path.get(), "..");
    }
    path_normalise(path.get());
    change_directory(client, path.text(), "250 CDUP successful. \"%s\" is current directory.\r\n");
}

void cmd_size(FtpClient* client, const char* argument)
{
    ScopedUtf8Buf path;
    path_resolve(client, argument, path.get());
    IndexedFd fd;
    if (!db_get_indexed_fd(index_db(), path.text(), &fd) || fd.size == INDEXED_UNKNOWN) {
        client_printf(client, "550 File not found.\r\n");
        return;
    }
    client_printf(client, "200 %I64u\r\n", fd.size);
}

void cmd_mdtm(FtpClient* client, const char* argument)
{
    ScopedUtf8Buf path;
    path_resolve(client, argument, path.get());
    IndexedFd fd;
    if (!db_get_indexed_fd(index_db(), path.text(), &fd) || fd.date_modified == INDEXED_UNKNOWN) {
        client_printf(client, "550 File not found.\r\n");
        return;
    }
    SYSTEMTIME local;
    os_filetime_to_localtime(&local, fd.date_modified);
    client_printf(client, "213 %04d%02d%02d%02d%02d%02d.%03d\r\n", local.wYear, local.wMonth, local.wDay,
                  local.wHour, local.wMinute, local.wSecond, local.wMilliseconds);
}

void cmd_mlst(FtpClient* client, const char* argument)
{
    ScopedUtf8Buf path;
    path_resolve(client, argument, path.get());
    if (path.length() == 0) {
        client_printf(client, "250-Listing %s\r\n", "/");
        client_printf(client, " type=%s;", "dir");
        client_printf(client, " %s\r\n", "/");
        client_printf(client, "250 End.\r\n");
        return;
    }
    IndexedFd fd;
    if (!db_get_indexed_fd(index_db(), path.text(), &fd)) {
        client_printf(client, "550 File or Directory not found.\r\n");
        return;
    }
    ScopedUtf8Buf display;
    path_display(display.get(), path.text());
    client_printf(client, "250-Listing %s\r\n", display.text());
    client_printf(client, " type=%s;", (fd.attributes & FILE_ATTRIBUTE_DIRECTORY) ? "dir" : "file");
    if (fd.date_modified != INDEXED_UNKNOWN) {
        SYSTEMTIME local;
        os_filetime_to_localtime(&local, fd.date_modified);
        client_printf(client, "modify=%04d%02d%02d%02d%02d%02d;", local.wYear, local.wMonth, local.wDay,
                      local.wHour, local.wMinute, local.wSecond);
    }
    if (fd.size != INDEXED_UNKNOWN) client_printf(client, "size=%I64u;", fd.size);
    client_printf(client, " %s\r\n", display.text());
    client_printf(client, "250 End.\r\n");
}
