// The search extension command: option words and the query verb.
#pragma once

struct FtpClient;

void query_command(FtpClient* client, const char* option_word, const char* value);
