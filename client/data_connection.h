// Passive data connections: EPSV, or PASV when the server refuses it, then a connection to the
// server's own address at the port it gave, whatever address a PASV reply names.
#pragma once

#include <string>

#include "client/control_connection.h"

namespace client {

enum class DataOpen { OPEN, REFUSED, LOST };

// OPEN with *data connected; REFUSED when the server or the connection to the port said no (the
// control connection is still good), LOST when the control connection failed; *error in words.
DataOpen data_connection_open(Connection* control, SOCKET* data, std::string* error);

// The port of a 229 reply "(|||port|)" or a 227 reply "(h1,h2,h3,h4,p1,p2)"; 0 when there is none.
int passive_reply_port(const std::string& text);

}  // namespace client
