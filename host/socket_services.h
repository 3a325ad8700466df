// What the host learns from the plug-in's sockets.
#pragma once

namespace host {

// When on, every successful listen prints "swp-host: listening on ADDRESS:PORT" on stderr.
void sockets_announce_listeners(bool on);

// Successful listen calls since the process started.
int sockets_listen_count();

}  // namespace host
