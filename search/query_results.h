// The results reply of a client's host query.
#pragma once

#include <cstdint>

struct FtpClient;

// Begins the reply from the query's current results: its first lines and up to one event's
// worth of result groups; query_results_continue writes the rest as the reply queue drains.
void query_send_results(FtpClient* client);
// Writes further groups of the reply being written while the unsent replies are within their
// bound, at most *groups of them (counted down), and its closing line after the last.
void query_results_continue(FtpClient* client, uint32_t* groups);
// Registered with db_query_create; context is the client.
void query_event_callback(void* client, int event);
