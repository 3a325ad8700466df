// Active and passive data connections, the data-peer rule, and the one teardown of a client's data
// connection, passive listener and transfer state.
#include "ftp/data_connection.h"

#include <cstring>

#include "ftp/download.h"
#include "ftp/listing.h"
#include "ftp/transfer.h"
#include "plugin/settings.h"
#include "server/client.h"
#include "server/server.h"

namespace {

constexpr int LISTEN_BACKLOG = 0x7fffffff;
constexpr int EPRT_PROTOCOL_IPV4 = 1;
constexpr int EPRT_PROTOCOL_IPV6 = 2;
constexpr int FIRST_UNPRIVILEGED_PORT = 1024;
constexpr int LAST_PORT = 65535;

int address_length(int family) { return family == AF_INET ? sizeof(SOCKADDR_IN) : sizeof(SOCKADDR_IN6); }

const uint8_t* ipv4_bytes(const SOCKADDR_STORAGE* address)
{
    return reinterpret_cast<const uint8_t*>(&reinterpret_cast<const SOCKADDR_IN*>(address)->sin_addr);
}

const uint8_t* ipv6_bytes(const SOCKADDR_STORAGE* address)
{
    return reinterpret_cast<const uint8_t*>(&reinterpret_cast<const SOCKADDR_IN6*>(address)->sin6_addr);
}

// 1 when both addresses have the same family (2 or 23) and the same IP address bytes.
int same_ip(const SOCKADDR_STORAGE* a, const SOCKADDR_STORAGE* b)
{
    if (a->ss_family != b->ss_family) return 0;
    if (a->ss_family == AF_INET) return memcmp(ipv4_bytes(a), ipv4_bytes(b), 4) == 0;
    if (a->ss_family == AF_INET6) return memcmp(ipv6_bytes(a), ipv6_bytes(b), 16) == 0;
    return 0;
}

// While data peers are checked, a data connection goes only to an unprivileged port of the client
// that is not this server's own control port: a connection to a service port (mail on 25, an FTP
// control port on 21 or ours) would make that service read the transferred bytes as its commands.
// A PORT number beyond 65535 would wrap round to a low port in the resolver, so it is refused too.
bool port_target_allowed(const FtpClient* client, int port)
{
    if (settings.check_ftp_data_connection_ip == 0) return true;
    if (port < FIRST_UNPRIVILEGED_PORT || port > LAST_PORT) return false;
    SOCKADDR_STORAGE local = {};
    int local_length = sizeof(local);
    if (os_winsock_getsockname(client->control_socket, reinterpret_cast<SOCKADDR*>(&local), &local_length) != 0) {
        return false;
    }
    // sin_port and sin6_port share the same offset.
    return port != os_winsock_ntohs(reinterpret_cast<const SOCKADDR_IN*>(&local)->sin_port);
}

// Options and event registration that every socket of the data channel gets.
void socket_prepare(SOCKET socket, UINT message, long events)
{
    network_set_tcp_nodelay(socket);
    network_set_keepalive(socket);
    os_winsock_WSAAsyncSelect(socket, server_instance->window, message, events);
}

// Ends a field at the next `delimiter` or at the terminator; returns the start of the next field.
const char* field_end(const char* field, char delimiter)
{
    while (*field && *field != delimiter) field++;
    return field;
}

const char* field_next(const char* end) { return *end ? end + 1 : end; }

// Closes the half-made passive listener, queues the failure reply and ends passive mode.
void pasv_fail(FtpClient* client, const char* format, int number)
{
    pasv_socket_close(client);
    client_printf(client, format, number);
    data_close(client);
}

// Creates the listener of PASV and EPSV in data_address, registered and with its options set.
// Returns 0 after queuing `socket_failure` with the error when the socket cannot be made.
int pasv_create(FtpClient* client, int family, const char* socket_failure)
{
    SOCKET listener = os_winsock_socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) {
        client_printf(client, socket_failure, os_winsock_WSAGetLastError());
        data_close(client);
        return 0;
    }
    // Recorded at once so that every later failure and data_close find it.
    client->data_mode = DATA_MODE_PASSIVE;
    client->data_address.pasv_socket = listener;
    client_table_add(&server_instance->socket_clients, listener, CLIENT_SOCKET_PASV, client);
    socket_prepare(listener, MSG_PASV_SOCKET, LISTEN_EVENTS);
    return 1;
}

// Reads the control connection's local address into `local`, with port 0. The passive listener
// binds there, so that it answers only on the address the client reached, never on an interface
// that the bindings leave out. -1 when the address cannot be read.
int control_local_address(const FtpClient* client, SOCKADDR_STORAGE* local)
{
    os_zero_memory(local, sizeof(*local));
    int length = sizeof(*local);
    if (os_winsock_getsockname(client->control_socket, reinterpret_cast<SOCKADDR*>(local), &length) == -1) {
        return -1;
    }
    // sin_port and sin6_port share the same offset.
    reinterpret_cast<SOCKADDR_IN*>(local)->sin_port = 0;
    return 0;
}

// Binds the listener to `local` and listens.
int pasv_bind_listen(FtpClient* client, const SOCKADDR_STORAGE* local, const char* bind_failure,
                     const char* listen_failure)
{
    SOCKET listener = client->data_address.pasv_socket;
    if (os_winsock_bind(listener, reinterpret_cast<const SOCKADDR*>(local), address_length(local->ss_family)) == -1) {
        pasv_fail(client, bind_failure, os_winsock_WSAGetLastError());
        return 0;
    }
    if (os_winsock_listen(listener, LISTEN_BACKLOG) == -1) {
        pasv_fail(client, listen_failure, os_winsock_WSAGetLastError());
        return 0;
    }
    return 1;
}

// The connect of PORT and EPRT; success starts the transfer, a pending connect ends as an event.
void data_connect(FtpClient* client, const SOCKADDR* address, int length)
{
    if (os_winsock_connect(client->data_socket, address, length) == 0) {
        data_transfer_start(client);
        return;
    }
    int error = os_winsock_WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return;
    client_printf(client, "500 Failed to connect to port %d.\r\n", error);
    data_close(client);
}

// Makes the outgoing data socket; 0 after its failure reply.
int data_socket_create(FtpClient* client, int family)
{
    data_socket_set(client, os_winsock_socket(family, SOCK_STREAM, IPPROTO_TCP));
    if (client->data_socket == INVALID_SOCKET) {
        client_printf(client, "500 Failed to create port socket %d.\r\n", os_winsock_WSAGetLastError());
        data_close(client);
        return 0;
    }
    socket_prepare(client->data_socket, MSG_DATA_SOCKET, CONNECT_OUT_EVENTS);
    return 1;
}

void data_open_port(FtpClient* client)
{
    if (!data_socket_create(client, AF_INET)) return;
    const uint8_t* address = client->data_address.port_target.address;
    ScopedUtf8Buf node;
    ScopedUtf8Buf service;
    utf8_buf_printf(node.get(), "%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
    utf8_buf_printf(service.get(), "%d", static_cast<int>(client->data_address.port_target.port));
    ADDRINFOA hints;
    os_zero_memory(&hints, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOA* result = nullptr;
    if (os_winsock_getaddrinfo(node.text(), service.text(), &hints, &result) != 0) {
        client_printf(client, "500 Failed to get port address.\r\n");
        data_close(client);
        return;
    }
    data_connect(client, result->ai_addr, static_cast<int>(result->ai_addrlen));
    os_winsock_freeaddrinfo(result);
}

void data_open_eprt(FtpClient* client)
{
    int family = client->data_address.eprt.ss_family;
    if (!data_socket_create(client, family)) return;
    data_connect(client, reinterpret_cast<const SOCKADDR*>(&client->data_address.eprt), address_length(family));
}

}  // namespace

void cmd_port(FtpClient* client, const char* argument)
{
    int numbers[6];
    const char* field = argument;
    for (int& number : numbers) {
        number = utf8_string_to_int(field);
        field = field_next(field_end(field, ','));
    }
    data_close(client);

    uint8_t address[4];
    for (int i = 0; i < 4; i++) address[i] = static_cast<uint8_t>(numbers[i]);
    int port = (numbers[4] << 8) | numbers[5];
    bool foreign = settings.check_ftp_data_connection_ip != 0 &&
                   (client->peer_address.ss_family != AF_INET ||
                    memcmp(ipv4_bytes(&client->peer_address), address, 4) != 0);
    if (foreign || !port_target_allowed(client, port)) {
        client_printf(client, "500 Failed to connect to IP.\r\n");
        return;
    }
    memcpy(client->data_address.port_target.address, address, 4);
    client->data_address.port_target.port = static_cast<uint32_t>(port);
    client->data_mode = DATA_MODE_PORT;
    client->data_started = 0;
    client_printf(client, "200 Port command successful.\r\n");
}

void cmd_eprt(FtpClient* client, const char* argument)
{
    const char* protocol_field = field_next(field_end(argument, '|'));
    const char* address_field = field_next(field_end(protocol_field, '|'));
    const char* address_end = field_end(address_field, '|');
    const char* port_field = field_next(address_end);
    int protocol = utf8_string_to_int(protocol_field);
    int port = utf8_string_to_int(port_field);
    ScopedUtf8Buf address_text;
    utf8_buf_copy_utf8_string_n(address_text.get(), address_field, static_cast<size_t>(address_end - address_field));
    data_close(client);

    if (protocol != EPRT_PROTOCOL_IPV4 && protocol != EPRT_PROTOCOL_IPV6) {
        client_printf(client, "522 Extended Port Failure - unknown network protocol. Supported protocols: (1,2)\r\n");
        data_close(client);
        return;
    }
    SOCKADDR_STORAGE* target = &client->data_address.eprt;
    os_zero_memory(target, sizeof(*target));
    int parsed = protocol == EPRT_PROTOCOL_IPV4 ? utf8_string_parse_sockaddr_in(address_text.text(), target)
                                                : utf8_string_parse_sockaddr_in6(address_text.text(), target);
    int expected_family = protocol == EPRT_PROTOCOL_IPV4 ? AF_INET : AF_INET6;
    // An address text that does not parse would leave a zero address, which reaches this machine.
    if (!parsed || target->ss_family != expected_family) {
        client_printf(client, "500 Failed to connect to IP.\r\n");
        return;
    }
    uint16_t port_host = static_cast<uint16_t>(port);
    uint16_t port_network = static_cast<uint16_t>((port_host >> 8) | (port_host << 8));
    // sin_port and sin6_port share the same offset.
    reinterpret_cast<SOCKADDR_IN*>(target)->sin_port = port_network;
    bool foreign = settings.check_ftp_data_connection_ip != 0 && !same_ip(target, &client->peer_address);
    if (foreign || !port_target_allowed(client, port_host)) {
        client_printf(client, "500 Failed to connect to IP.\r\n");
        return;
    }
    client->data_mode = DATA_MODE_EPRT;
    client->data_started = 0;
    client_printf(client, "200 Port command successful.\r\n");
}

void cmd_pasv(FtpClient* client)
{
    data_close(client);
    if (client->is_ipv6 == 1) {
        client_printf(client, "500 PASV is not available when using IPv6, please use IPv4 or EPSV.\r\n");
        return;
    }
    if (!pasv_create(client, AF_INET, "500 Failed to enter passive mode, socket error %d.\r\n")) return;
    SOCKADDR_STORAGE control;
    if (control_local_address(client, &control) == -1) {
        pasv_fail(client, "500 Failed to enter passive mode, control getsockname error %d\r\n",
                  os_winsock_WSAGetLastError());
        return;
    }
    if (control.ss_family != AF_INET) {
        pasv_fail(client, "500 Failed to enter passive mode, invalid control family %d\r\n", control.ss_family);
        return;
    }
    if (!pasv_bind_listen(client, &control, "500 Failed to enter passive mode, bind error %d\r\n",
                          "500 Failed to enter passive mode, listen error %d\r\n")) {
        return;
    }
    SOCKADDR_IN listening;
    int length = sizeof(listening);
    if (os_winsock_getsockname(client->data_address.pasv_socket, reinterpret_cast<SOCKADDR*>(&listening),
                               &length) == -1) {
        pasv_fail(client, "500 Failed to enter passive mode, pasv getsockname error %d\r\n",
                  os_winsock_WSAGetLastError());
        return;
    }
    if (listening.sin_family != AF_INET) {
        pasv_fail(client, "500 Failed to enter passive mode, invalid pasv family %d\r\n", listening.sin_family);
        return;
    }
    const uint8_t* port = reinterpret_cast<const uint8_t*>(&listening.sin_port);
    const uint8_t* ip = ipv4_bytes(&control);
    client_printf(client, "227 Entering Passive Mode. (%d,%d,%d,%d,%d,%d)\r\n", ip[0], ip[1], ip[2], ip[3], port[0],
                  port[1]);
}

void cmd_epsv(FtpClient* client)
{
    data_close(client);
    int family = client->is_ipv6 == 1 ? AF_INET6 : AF_INET;
    if (!pasv_create(client, family, "500 Failed to enter passive mode, socket failed %d\r\n")) return;
    // An unreadable control address leaves nothing to bind to: reported as the bind's failure.
    SOCKADDR_STORAGE control;
    if (control_local_address(client, &control) == -1) {
        pasv_fail(client, "500 Failed to enter passive mode, bind failed %d\r\n", os_winsock_WSAGetLastError());
        return;
    }
    if (!pasv_bind_listen(client, &control, "500 Failed to enter passive mode, bind failed %d\r\n",
                          "500 Failed to enter passive mode, socket listen %d\r\n")) {
        return;
    }
    SOCKADDR_STORAGE listening;
    int length = sizeof(listening);
    if (os_winsock_getsockname(client->data_address.pasv_socket, reinterpret_cast<SOCKADDR*>(&listening),
                               &length) == -1) {
        pasv_fail(client, "500 Failed to enter passive mode, getsockname failed %d\r\n", os_winsock_WSAGetLastError());
        return;
    }
    uint16_t port = os_winsock_ntohs(reinterpret_cast<const SOCKADDR_IN*>(&listening)->sin_port);
    if ((listening.ss_family != AF_INET && listening.ss_family != AF_INET6) || port == 0) {
        pasv_fail(client, "500 Failed to enter passive mode, invalid family %d\r\n", listening.ss_family);
        return;
    }
    client_printf(client, "229 Entering Extended Passive Mode (|||%d|)\r\n", static_cast<int>(port));
}

void data_open(FtpClient* client)
{
    if (client->data_socket != INVALID_SOCKET) {
        data_transfer_start(client);
        return;
    }
    switch (client->data_mode) {
    case DATA_MODE_PORT:
        data_open_port(client);
        return;
    case DATA_MODE_EPRT:
        data_open_eprt(client);
        return;
    case DATA_MODE_PASSIVE:
        return;
    case DATA_MODE_NONE:
        client_printf(client, "503 Invalid sequence of commands.\r\n");
        data_close(client);
        return;
    }
}

int data_peer_matches(SOCKET socket, const SOCKADDR_STORAGE* peer_address)
{
    if (settings.check_ftp_data_connection_ip == 0) return 1;
    SOCKADDR_STORAGE data_peer;
    int length = sizeof(data_peer);
    if (os_winsock_getpeername(socket, reinterpret_cast<SOCKADDR*>(&data_peer), &length) == -1) return 0;
    return same_ip(&data_peer, peer_address);
}

void data_socket_set(FtpClient* client, SOCKET socket)
{
    client->data_socket = socket;
    client_table_add(&server_instance->socket_clients, socket, CLIENT_SOCKET_DATA, client);
}

void pasv_socket_close(FtpClient* client)
{
    SOCKET listener = client->data_address.pasv_socket;
    if (server_instance) client_table_remove(&server_instance->socket_clients, listener, CLIENT_SOCKET_PASV, client);
    os_winsock_closesocket(listener);
    client->data_address.pasv_socket = INVALID_SOCKET;
}

void data_close(FtpClient* client)
{
    // The reader reads data_socket, without the lock, for the messages it posts; it is joined before
    // the socket is closed so that the two never meet on that field.
    if (client->transfer_kind == TRANSFER_RETR) retr_release(client);
    if (client->data_socket != INVALID_SOCKET) {
        if (server_instance) {
            client_table_remove(&server_instance->socket_clients, client->data_socket, CLIENT_SOCKET_DATA, client);
        }
        os_winsock_closesocket(client->data_socket);
        client->data_socket = INVALID_SOCKET;
    }
    if (client->transfer_kind == TRANSFER_LIST || client->transfer_kind == TRANSFER_MLSD) listing_release(client);
    client->transfer_kind = TRANSFER_NONE;
    if (client->data_mode == DATA_MODE_PASSIVE && client->data_address.pasv_socket != INVALID_SOCKET) {
        pasv_socket_close(client);
    }
    client->pasv_accept_paused = 0;
    client->data_mode = DATA_MODE_NONE;
}
