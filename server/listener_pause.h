// Listeners that stop asking for connections while the process is out of descriptors.
#pragma once

#include "sdk/platform_api.h"

struct ListenerNode;
struct FtpClient;

// The server window's timer that asks the waiting listeners again.
constexpr UINT_PTR ACCEPT_RETRY_TIMER = 1;
constexpr UINT ACCEPT_RETRY_MS = 100;

// Called with the error of a failed accept. For want of descriptors or buffers the listener stops
// asking for FD_ACCEPT until listeners_resume_accept; any other error changes nothing.
void listener_accept_failed(ListenerNode* node, int error);
// The same for a client's passive listener that could not accept its data connection.
void pasv_accept_failed(FtpClient* client, int error);
// Asks again for the connections of every waiting listener: when a client ends, which frees
// descriptors, and when the retry timer fires.
void listeners_resume_accept();
// Ends the retry timer; server_stop calls it before the window goes.
void listeners_stop_retry_timer();
