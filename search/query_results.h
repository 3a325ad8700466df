// The results reply of a client's host query.
#pragma once

struct FtpClient;

void query_send_results(FtpClient* client);
// Registered with db_query_create; context is the client.
void query_event_callback(void* client, int event);
