// The host's English texts by localization id, and its version text.
#include "host/services.h"

namespace host {
namespace {

struct LocalizedText {
    int id;
    const char* text;
};

// 1114, 1115, 1119 and 1120 take one integer, 1121 takes two.
constexpr LocalizedText TEXTS[] = {
    {0, "Sorrelwick"},
    {112, "Text Files"},
    {113, "All Files"},
    {114, "KB"},
    {177, "FTP Server"},
    {260, "Port:"},
    {261, "The TCP port on which the FTP server listens for connections. The default is 21."},
    {262, "Password:"},
    {263, "The password that clients must give. Leave it empty to let clients log on without one."},
    {268, "Log FTP server activity"},
    {269, "Writes connections, commands and replies to a log file."},
    {270, "Log file:"},
    {271, "The file the activity log is written to. Leave it empty for the default log file."},
    {274, "Choose the log file."},
    {275, "The size in KB at which the log file is trimmed to its newest part."},
    {277, "Log File"},
    {352, "Allow file download"},
    {353, "Lets clients download the contents of indexed files."},
    {358, "Username:"},
    {359, "The user name that clients must give. Leave it empty to accept any user name."},
    {1094, "Bindings:"},
    {1095, "The local addresses to listen on, separated by commas. Leave it empty or use * for all addresses."},
    {1096, "Max log size:"},
    {1097, "Browse..."},
    {1098, "Restore Defaults"},
    {1099, "Restores the default values of the settings on this page."},
    {1100, "Unable to start the FTP server."},
    {1114, "Unable to listen on the socket: error %d."},
    {1115, "Unable to bind the listening socket: error %d."},
    {1119, "Unable to create the listening socket: error %d."},
    {1120, "Unable to start Windows Sockets: error %d."},
    {1121, "Windows Sockets version %d.%d is not supported."},
    {1156, "Enable FTP server"},
    {1157, "Serves the index to FTP clients while this is on."},
    {2399, "An FTP server that lets FTP clients browse, download and search the index."},
    {2402, "Clients walk the indexed folders, fetch files and run searches with the SORRELWICK command."},
};

constexpr const char VERSION_TEXT[] = "swp-host 1.0.1.3";

}  // namespace

const char* localization_get_string(int id) {
    for (const LocalizedText& entry : TEXTS)
        if (entry.id == id) return entry.text;
    return "";
}

void version_get_text(Utf8Buf* text) { utf8_buf_copy_utf8_string(text, VERSION_TEXT); }

}  // namespace host
