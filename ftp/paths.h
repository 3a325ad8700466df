// The virtual tree: FTP paths to index paths, and the commands about one entry.
#pragma once

#include "plugin/host_services.h"

struct FtpClient;

// Leaves the index path of an FTP path argument in `index_path` (an initialised buffer).
void path_resolve(FtpClient* client, const char* argument, Utf8Buf* index_path);

void cmd_cwd(FtpClient* client, const char* argument);
void cmd_cdup(FtpClient* client);
void cmd_size(FtpClient* client, const char* argument);
void cmd_mdtm(FtpClient* client, const char* argument);
void cmd_mlst(FtpClient* client, const char* argument);
