// The entry for every command line: line preparation, the two guards, the ordered command table
// with its login rule, the login state machine, the small commands and the display form of paths.
#include "ftp/dispatcher.h"

#include "ftp/data_connection.h"
#include "ftp/download.h"
#include "ftp/listing.h"
#include "ftp/paths.h"
#include "plugin/settings.h"
#include "search/query_command.h"
#include "server/activity_log.h"
#include "server/client.h"

namespace {

constexpr uint32_t COMMAND_ECHO_COLOR = 0xff0000ff;

// Cuts `text` at its first whitespace byte; returns the text after it (empty without one).
char* split_at_whitespace(char* text) {
    for (char* p = text; *p; p++) {
        if (unicode_is_ascii_ws(static_cast<unsigned char>(*p))) {
            *p = '\0';
            return p + 1;
        }
    }
    return text + utf8_string_get_length_in_bytes(text);
}

// Only a CR in the last position goes; a CR elsewhere stays part of the text.
void strip_trailing_cr(char* line) {
    for (char* p = line; *p; p++) {
        if (*p == '\r' && p[1] == '\0') {
            *p = '\0';
            return;
        }
    }
}

bool is_word(const char* text, const char* lower_case_literal) {
    return utf8_string_compare_nocase_s_sla(text, lower_case_literal) == 0;
}

void cmd_feat(FtpClient* client, char*) {
    client_printf(client,
                  "211-Features:\r\n MDTM\r\n REST STREAM\r\n SIZE\r\n MLST type*;size*;modify*;\r\n MLSD\r\n"
                  " UTF8\r\n SORRELWICK\r\n211 End\r\n");
}

void cmd_help(FtpClient* client, char*) {
    client_printf(client, "214-Site commands:\r\n SORRELWICK\r\n214 End\r\n");
}

void cmd_syst(FtpClient* client, char*) { client_printf(client, "215 UNIX emulated by Sorrelwick\r\n"); }

void cmd_rest(FtpClient* client, char* argument) {
    client->rest_offset = utf8_string_to_qword(argument);
    client_printf(client, "350 Restarting at %I64u.\r\n", client->rest_offset);
}

void cmd_opts(FtpClient* client, char* argument) {
    if (is_word(argument, "utf8 on")) {
        client->utf8_mode = 1;
        client_printf(client, "200 UTF8 mode enabled.\r\n");
    } else if (is_word(argument, "utf8 off")) {
        client->utf8_mode = 0;
        client_printf(client, "200 UTF8 mode disabled.\r\n");
    } else {
        client_printf(client, "501 Invalid option.\r\n");
    }
}

void cmd_port_guarded(FtpClient* client, char* argument) {
    if (!settings.allow_ftp_port) {
        client_printf(client, "501 Invalid option.\r\n");
        return;
    }
    cmd_port(client, argument);
}

void cmd_eprt_guarded(FtpClient* client, char* argument) {
    if (!settings.allow_ftp_port) {
        client_printf(client, "501 Invalid option.\r\n");
        return;
    }
    cmd_eprt(client, argument);
}

void cmd_quit(FtpClient* client, char*) {
    client_printf(client, "221 Goodbye.\r\n");
    client->quit_requested = 1;
}

void cmd_mode(FtpClient* client, char* argument) {
    if (is_word(argument, "s") || is_word(argument, "b") || is_word(argument, "c")) {
        client_printf(client, "504 Mode %s not implemented.\r\n", argument);
    } else {
        client_printf(client, "501 Invalid mode %s.\r\n", argument);
    }
}

void cmd_stru(FtpClient* client, char* argument) {
    if (is_word(argument, "f") || is_word(argument, "r") || is_word(argument, "p")) {
        client_printf(client, "504 File structure %s not implemented.\r\n", argument);
    } else {
        client_printf(client, "501 Invalid file structure %s.\r\n", argument);
    }
}

void cmd_noop(FtpClient* client, char*) { client_printf(client, "200 OK.\r\n"); }

void cmd_type(FtpClient* client, char* argument) {
    if (is_word(argument, "a")) {
        client_printf(client, "200 Type set to ASCII (A).\r\n");
    } else if (is_word(argument, "i")) {
        client_printf(client, "200 Type set to Image (I).\r\n");
    } else if (is_word(argument, "e")) {
        client_printf(client, "504 Type E not implemented.\r\n");
    } else {
        client_printf(client, "500 Type %s not supported.\r\n", argument);
    }
}

// A 257 reply's path ends at the first lone '"', so each '"' inside the path is doubled.
void quotes_doubled(Utf8Buf* quoted, const char* path) {
    size_t length = 0;
    for (const char* p = path; *p; p++) length += *p == '"' ? 2 : 1;
    utf8_buf_grow_length(quoted, length);
    char* out = quoted->text;
    for (const char* p = path; *p; p++) {
        *out++ = *p;
        if (*p == '"') *out++ = '"';
    }
}

void cmd_pwd(FtpClient* client, char*) {
    ScopedUtf8Buf display;
    path_display(display.get(), client->current_directory);
    ScopedUtf8Buf quoted;
    quotes_doubled(quoted.get(), display.text());
    client_printf(client, "257 \"%s\" is current directory.\r\n", quoted.text());
}

void cmd_sorrelwick(FtpClient* client, char* argument) {
    char* value = split_at_whitespace(argument);
    query_command(client, argument, value);
}

void cmd_site(FtpClient* client, char* argument) {
    char* rest = split_at_whitespace(argument);
    if (is_word(argument, "sorrelwick")) {
        cmd_sorrelwick(client, rest);
    } else if (argument[0] != '\0') {
        client_printf(client, "500 Unknown SITE command.\r\n");
    } else {
        client_printf(client, "500 SITE: Missing argument.\r\n");
    }
}

void cmd_user(FtpClient* client, char* argument) {
    const char* username = settings.username ? settings.username : "";
    const char* password = settings.password ? settings.password : "";
    // A refused name gets the same reply as the right one, so the client cannot tell them apart.
    if (username[0] != '\0' && utf8_string_compare(username, argument) != 0) {
        client_printf(client, "331 Password required for %s\r\n", argument);
        client->login_state = LOGIN_USER_REJECTED;
    } else if (password[0] == '\0') {
        client_printf(client, "230 Logged on.\r\n");
        client->login_state = LOGIN_LOGGED_ON;
    } else {
        client_printf(client, "331 Password required for %s\r\n", argument);
        client->login_state = LOGIN_NEED_PASSWORD;
    }
}

void cmd_pass(FtpClient* client, char* argument) {
    const char* password = settings.password ? settings.password : "";
    switch (client->login_state) {
    case LOGIN_NEED_PASSWORD:
        if (utf8_string_compare(password, argument) == 0) {
            client->login_state = LOGIN_LOGGED_ON;
            client_printf(client, "230 Logged on.\r\n");
        } else {
            client_printf(client, "530 Login or password incorrect!\r\n");
        }
        break;
    case LOGIN_USER_REJECTED:
        client_printf(client, "530 Login or password incorrect!\r\n");
        break;
    case LOGIN_LOGGED_ON:
        client_printf(client, "503 Invalid sequence of commands.\r\n");
        break;
    default:
        client_printf(client, "530 Not logged on.\r\n");
        break;
    }
}

// Handlers of other parts, adapted to the table's one signature.
void call_cdup(FtpClient* client, char*) { cmd_cdup(client); }
void call_size(FtpClient* client, char* argument) { cmd_size(client, argument); }
void call_mdtm(FtpClient* client, char* argument) { cmd_mdtm(client, argument); }
void call_retr(FtpClient* client, char* argument) { cmd_retr(client, argument); }
void call_list(FtpClient* client, char* argument) { cmd_list(client, argument); }
void call_mlsd(FtpClient* client, char* argument) { cmd_mlsd(client, argument); }
void call_mlst(FtpClient* client, char* argument) { cmd_mlst(client, argument); }
void call_pasv(FtpClient* client, char*) { cmd_pasv(client); }
void call_epsv(FtpClient* client, char*) { cmd_epsv(client); }
void call_cwd(FtpClient* client, char* argument) { cmd_cwd(client, argument); }

struct Command {
    const char* word;  // lower case; matched case-insensitively
    bool needs_login;
    void (*handler)(FtpClient* client, char* argument);
};

// Walked in order; the first match decides.
constexpr Command COMMANDS[] = {
    {"feat", true, cmd_feat},          {"help", true, cmd_help},
    {"syst", true, cmd_syst},          {"cdup", true, call_cdup},
    {"rest", true, cmd_rest},          {"opts", true, cmd_opts},
    {"port", true, cmd_port_guarded},  {"quit", false, cmd_quit},
    {"mode", true, cmd_mode},          {"stru", true, cmd_stru},
    {"noop", false, cmd_noop},         {"size", true, call_size},
    {"mdtm", true, call_mdtm},         {"retr", true, call_retr},
    {"list", true, call_list},         {"mlsd", true, call_mlsd},
    {"mlst", true, call_mlst},         {"pasv", true, call_pasv},
    {"epsv", true, call_epsv},         {"eprt", true, cmd_eprt_guarded},
    {"type", true, cmd_type},          {"cwd", true, call_cwd},
    {"pwd", true, cmd_pwd},            {"xpwd", true, cmd_pwd},
    {"sorrelwick", true, cmd_sorrelwick}, {"site", true, cmd_site},
    {"user", false, cmd_user},         {"pass", false, cmd_pass},
};

const Command* command_find(const char* word) {
    for (const Command& command : COMMANDS) {
        if (is_word(word, command.word)) return &command;
    }
    return nullptr;
}

}  // namespace

void client_execute(FtpClient* client, char* line) {
    strip_trailing_cr(line);
    char* argument = split_at_whitespace(line);

    if (debug_is_verbose()) debug_color_printf(COMMAND_ECHO_COLOR, "%s %s\n", line, argument);
    // Every line is logged before any check, PASS with its password as typed.
    client_log(client, "%s %s\r\n", line, argument);

    if (client->results_pending == 1) {
        client_printf(client, "426 Query aborted.\r\n");
        client->results_pending = 0;
    }
    if (client->transfer_kind != TRANSFER_NONE) {
        client_printf(client, "503 Invalid sequence of commands.\r\n");
        return;
    }

    const Command* command = command_find(line);
    if (!command) {
        client_printf(client, "500 Syntax error, command unrecognized.\r\n");
        return;
    }
    if (command->needs_login && client->login_state != LOGIN_LOGGED_ON) {
        client_printf(client, "530 Not logged on.\r\n");
        return;
    }
    command->handler(client, argument);
}

void path_display(Utf8Buf* display, const char* index_path) {
    utf8_buf_printf(display, "/%s", index_path);
    // Leading backslashes (a network path's "\\") stay; every later one becomes "/".
    char* p = display->text + 1;
    while (*p == '\\') p++;
    for (; *p; p++) {
        if (*p == '\\') *p = '/';
    }
}
