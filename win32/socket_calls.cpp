// The socket calls over BSD sockets, with Windows numbers, layouts and error codes. Every call
// retries EINTR and reads errno right after the system call; SIGPIPE never fires (MSG_NOSIGNAL).
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "win32/dynamic_ports.h"
#include "win32/socket_address.h"
#include "win32/socket_internal.h"
#include "win32/socket_table.h"

namespace {

struct ErrnoPair {
    int posix;
    int windows;
};

constexpr ErrnoPair SOCKET_ERRORS[] = {
    {EINTR, WSOCK_EINTR},
    {EBADF, WSOCK_EBADF},
    {EACCES, WSOCK_EACCES},
    {EPERM, WSOCK_EACCES},
    {EFAULT, WSOCK_EFAULT},
    {EINVAL, WSOCK_EINVAL},
    {EMFILE, WSOCK_EMFILE},
    {ENFILE, WSOCK_EMFILE},
    {EAGAIN, WSOCK_EWOULDBLOCK},
    {EINPROGRESS, WSOCK_EWOULDBLOCK},  // a non-blocking connect under way
    {EALREADY, WSOCK_EALREADY},
    {ENOTSOCK, WSOCK_ENOTSOCK},
    {EDESTADDRREQ, WSOCK_EDESTADDRREQ},
    {EMSGSIZE, WSOCK_EMSGSIZE},
    {EPROTOTYPE, WSOCK_EPROTOTYPE},
    {ENOPROTOOPT, WSOCK_ENOPROTOOPT},
    {EPROTONOSUPPORT, WSOCK_EPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSOCK_ESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSOCK_EOPNOTSUPP},
    {EAFNOSUPPORT, WSOCK_EAFNOSUPPORT},
    {EADDRINUSE, WSOCK_EADDRINUSE},
    {EADDRNOTAVAIL, WSOCK_EADDRNOTAVAIL},
    {ENETDOWN, WSOCK_ENETDOWN},
    {ENETUNREACH, WSOCK_ENETUNREACH},
    {ENETRESET, WSOCK_ENETRESET},
    {ECONNABORTED, WSOCK_ECONNABORTED},
    {ECONNRESET, WSOCK_ECONNRESET},
    {EPIPE, WSOCK_ECONNRESET},
    {ENOBUFS, WSOCK_ENOBUFS},
    {ENOMEM, WSOCK_ENOBUFS},
    {EISCONN, WSOCK_EISCONN},
    {ENOTCONN, WSOCK_ENOTCONN},
    {ESHUTDOWN, WSOCK_ESHUTDOWN},
    {ETIMEDOUT, WSOCK_ETIMEDOUT},
    {ECONNREFUSED, WSOCK_ECONNREFUSED},
    {EHOSTDOWN, WSOCK_EHOSTDOWN},
    {EHOSTUNREACH, WSOCK_EHOSTUNREACH},
};

// `scale` is the option's POSIX units per Windows unit (TCP_MAXRT counts seconds, the system's
// TCP_USER_TIMEOUT milliseconds).
struct OptionPair {
    int windows_level;
    int windows_option;
    int posix_level;
    int posix_option;
    int scale;
};

constexpr int WSOCK_IPPROTO_IPV6 = 41;
constexpr int WSOCK_IPV6_V6ONLY = 27;

constexpr OptionPair SOCKET_OPTIONS[] = {
    {WSOCK_SOL_SOCKET, WSOCK_SO_REUSEADDR, SOL_SOCKET, SO_REUSEADDR, 1},
    {WSOCK_SOL_SOCKET, WSOCK_SO_KEEPALIVE, SOL_SOCKET, SO_KEEPALIVE, 1},
    {WSOCK_SOL_SOCKET, WSOCK_SO_SNDBUF, SOL_SOCKET, SO_SNDBUF, 1},
    {WSOCK_SOL_SOCKET, WSOCK_SO_RCVBUF, SOL_SOCKET, SO_RCVBUF, 1},
    {WSOCK_SOL_SOCKET, WSOCK_SO_ERROR, SOL_SOCKET, SO_ERROR, 1},
    {WSOCK_IPPROTO_TCP, WSOCK_TCP_NODELAY, IPPROTO_TCP, TCP_NODELAY, 1},
    {WSOCK_IPPROTO_TCP, WSOCK_TCP_KEEPIDLE, IPPROTO_TCP, TCP_KEEPIDLE, 1},
    {WSOCK_IPPROTO_TCP, WSOCK_TCP_KEEPINTVL, IPPROTO_TCP, TCP_KEEPINTVL, 1},
    {WSOCK_IPPROTO_TCP, WSOCK_TCP_KEEPCNT, IPPROTO_TCP, TCP_KEEPCNT, 1},
    {WSOCK_IPPROTO_TCP, WSOCK_TCP_MAXRT, IPPROTO_TCP, TCP_USER_TIMEOUT, 1000},
    {WSOCK_IPPROTO_TCP, WSOCK_TCP_MAXRTMS, IPPROTO_TCP, TCP_USER_TIMEOUT, 1},
    {WSOCK_IPPROTO_IPV6, WSOCK_IPV6_V6ONLY, IPPROTO_IPV6, IPV6_V6ONLY, 1},
};

// Keep-alive probes that go unanswered before Windows ends a connection (fixed since Vista).
constexpr int WINDOWS_KEEPALIVE_PROBES = 10;

int fail(int error) {
    SetLastError(static_cast<DWORD>(error));
    return -1;
}

uintptr_t fail_socket(int error) {
    SetLastError(static_cast<DWORD>(error));
    return WSOCK_INVALID;
}

int fail_errno() { return fail(wsock_error_from_errno(errno)); }

const OptionPair* option_find(int level, int option) {
    for (const OptionPair& pair : SOCKET_OPTIONS)
        if (pair.windows_level == level && pair.windows_option == option) return &pair;
    return nullptr;
}

int recv_flags_to_posix(int flags) {
    int posix = 0;
    if (flags & WSOCK_MSG_OOB) posix |= MSG_OOB;
    if (flags & WSOCK_MSG_PEEK) posix |= MSG_PEEK;
    if (flags & WSOCK_MSG_WAITALL) posix |= MSG_WAITALL;
    return posix;
}

bool set_non_blocking(int fd, bool on) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    int wanted = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

int set_int_option(int fd, int level, int option, int value) {
    return ::setsockopt(fd, level, option, &value, sizeof value);
}

// A Windows value in the option's POSIX units: saturated, and a negative time (TCP_MAXRT's -1,
// no limit) leaves the choice to the system.
int option_to_posix(const OptionPair& pair, int number) {
    if (pair.scale == 1) return number;
    if (number < 0) return 0;
    return number > INT_MAX / pair.scale ? INT_MAX : number * pair.scale;
}

// Whole seconds, rounded up, of at least one: the system counts keep-alive times in seconds.
int seconds_from_ms(uint32_t ms) {
    uint32_t seconds = ms / 1000 + (ms % 1000 != 0);
    return seconds == 0 ? 1 : static_cast<int>(seconds);
}

// A blocking connect that a signal interrupted goes on in the kernel: wait for its end.
int connect_finish_interrupted(int fd) {
    pollfd entry = {fd, POLLOUT, 0};
    while (::poll(&entry, 1, -1) < 0)
        if (errno != EINTR) return errno;
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    return error;
}

// Errors that end a connection attempt (rather than refuse the call itself).
bool connect_outcome_error(int error) {
    return error == ECONNREFUSED || error == ENETUNREACH || error == EHOSTUNREACH || error == ETIMEDOUT;
}

// Enters a record for a new descriptor, which it then owns, and gives it its SOCKET value; null
// when the table is full (the descriptor is closed then). The table keeps the record alive.
SocketRecord* socket_enter(int fd, int family, int type, bool non_blocking, SocketState state) {
    auto record = std::make_shared<SocketRecord>();
    record->fd = fd;
    record->family = family;
    record->type = type;
    record->non_blocking.store(non_blocking);
    record->state = state;
    SocketRecord* entered = record.get();
    uintptr_t handle = socket_table_add(std::move(record));
    if (handle == WSOCK_INVALID) return nullptr;
    entered->handle = handle;
    return entered;
}

// sin_port and sin6_port share the same offset.
uint16_t port_of(const sockaddr_storage& name) { return reinterpret_cast<const sockaddr_in&>(name).sin_port; }

int address_length_of(int family) { return family == WSOCK_AF_INET6 ? WSOCK_V6_LENGTH : WSOCK_V4_LENGTH; }

using PeerOrSelf = int (*)(int, sockaddr*, socklen_t*);

int socket_name(uintptr_t socket, void* address, int* length, PeerOrSelf query) {
    SocketRef record = socket_table_get(socket);
    if (!record) return -1;
    sockaddr_storage name = {};
    socklen_t name_length = sizeof name;
    if (query(record->fd, reinterpret_cast<sockaddr*>(&name), &name_length) != 0) return fail_errno();
    int error = address_from_posix(name, address, length);
    return error ? fail(error) : 0;
}

}  // namespace

int wsock_error_from_errno(int error_number) {
    for (const ErrnoPair& pair : SOCKET_ERRORS)
        if (pair.posix == error_number) return pair.windows;
    return WSOCK_EINVAL;
}

uintptr_t wsock_socket(int family, int type, int protocol) {
    int posix_family = family_to_posix(family);
    if (posix_family != AF_INET && posix_family != AF_INET6) return fail_socket(WSOCK_EAFNOSUPPORT);
    if (type != WSOCK_SOCK_STREAM && type != WSOCK_SOCK_DGRAM) return fail_socket(WSOCK_ESOCKTNOSUPPORT);
    int posix_type = type == WSOCK_SOCK_STREAM ? SOCK_STREAM : SOCK_DGRAM;
    int fd = ::socket(posix_family, posix_type | SOCK_CLOEXEC, protocol);
    if (fd < 0) return fail_socket(wsock_error_from_errno(errno));
    // IPv6 sockets carry IPv6 only, so wildcard listeners of both families share a port.
    if (posix_family == AF_INET6) set_int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1);
    SocketRecord* entered = socket_enter(fd, family, type, false,
                                         type == WSOCK_SOCK_DGRAM ? SocketState::CONNECTED : SocketState::FRESH);
    return entered ? entered->handle : WSOCK_INVALID;
}

int wsock_bind(uintptr_t socket, const void* address, int length) {
    SocketRef record = socket_table_get(socket);
    if (!record) return -1;
    sockaddr_storage name;
    socklen_t name_length;
    int error = address_to_posix(address, length, &name, &name_length);
    if (error) return fail(error);
    // Lets a port in TIME_WAIT be bound again; a port with a live listener still fails.
    if (record->type == WSOCK_SOCK_STREAM) {
        set_int_option(record->fd, SOL_SOCKET, SO_REUSEADDR, 1);
        if (port_of(name) == 0) {
            error = dynamic_ports_bind(record->fd, &name, name_length);
            return error ? fail(error) : 0;
        }
    }
    if (::bind(record->fd, reinterpret_cast<sockaddr*>(&name), name_length) != 0) return fail_errno();
    return 0;
}

int wsock_listen(uintptr_t socket, int backlog) {
    SocketRef record = socket_table_get(socket);
    if (!record) return -1;
    if (::listen(record->fd, backlog > SOMAXCONN || backlog < 0 ? SOMAXCONN : backlog) != 0) return fail_errno();
    socket_events_set_state(*record, SocketState::LISTENING);
    return 0;
}

uintptr_t wsock_accept(uintptr_t socket, void* address, int* length) {
    SocketRef listener = socket_table_get(socket);
    if (!listener) return WSOCK_INVALID;
    if (address && (!length || *length < address_length_of(listener->family))) return fail_socket(WSOCK_EFAULT);
    sockaddr_storage peer = {};
    socklen_t peer_length = sizeof peer;
    bool non_blocking = listener->non_blocking.load();
    int fd;
    do {
        fd = ::accept4(listener->fd, reinterpret_cast<sockaddr*>(&peer), &peer_length,
                       SOCK_CLOEXEC | (non_blocking ? SOCK_NONBLOCK : 0));
    } while (fd < 0 && errno == EINTR);
    int accept_errno = errno;
    if (listener->selected.load()) socket_events_enable_accept(*listener);
    if (fd < 0) return fail_socket(wsock_error_from_errno(accept_errno));

    SocketRecord* entered = socket_enter(fd, listener->family, listener->type, non_blocking, SocketState::CONNECTED);
    if (!entered) return WSOCK_INVALID;
    socket_events_inherit(*listener, *entered);
    if (address) address_from_posix(peer, address, length);
    return entered->handle;
}

int wsock_connect(uintptr_t socket, const void* address, int length) {
    SocketRef record = socket_table_get(socket);
    if (!record) return -1;
    sockaddr_storage name;
    socklen_t name_length;
    int error = address_to_posix(address, length, &name, &name_length);
    if (error) return fail(error);
    int result = ::connect(record->fd, reinterpret_cast<sockaddr*>(&name), name_length);
    int connect_errno = result == 0 ? 0 : errno;
    if (connect_errno == EINTR && !record->non_blocking.load()) connect_errno = connect_finish_interrupted(record->fd);
    if (connect_errno == 0) {
        socket_events_set_state(*record, SocketState::CONNECTED);
        return 0;
    }
    if (connect_errno == EINPROGRESS || connect_errno == EINTR) {
        socket_events_set_state(*record, SocketState::CONNECTING);
        return fail(WSOCK_EWOULDBLOCK);
    }
    // A non-blocking connect always reports its outcome through FD_CONNECT, even one known at once.
    if (record->selected.load() && connect_outcome_error(connect_errno)) {
        socket_events_set_state(*record, SocketState::FAILED, wsock_error_from_errno(connect_errno));
        return fail(WSOCK_EWOULDBLOCK);
    }
    return fail(wsock_error_from_errno(connect_errno));
}

int wsock_shutdown(uintptr_t socket, int how) {
    SocketRef record = socket_table_get(socket);
    if (!record) return -1;
    int posix_how = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : how == 2 ? SHUT_RDWR : -1;
    if (posix_how < 0) return fail(WSOCK_EINVAL);
    if (::shutdown(record->fd, posix_how) != 0) return fail_errno();
    if (posix_how != SHUT_RD) record->send_shut.store(true);
    if (posix_how != SHUT_WR) record->empty_since.store(0);  // a recv now finds the end, not nothing
    return 0;
}

int wsock_close(uintptr_t socket) {
    SocketRef record = socket_table_remove(socket);
    if (!record) return -1;
    socket_events_cancel(*record);
    // The descriptor closes with the last reference, normally this one. A thread still blocked
    // in a call on the socket holds another: shutting the socket down ends that call, as
    // closesocket does on Windows, and the descriptor then closes when the call returns.
    if (record.use_count() > 1) ::shutdown(record->fd, SHUT_RDWR);
    return 0;
}

int wsock_recv(uintptr_t socket, char* buffer, int length, int flags) {
    SocketRef record = socket_table_get(socket);
    if (!record) return -1;
    if (length < 0) return fail(WSOCK_EINVAL);
    bool selected = record->selected.load(std::memory_order_relaxed);
    SocketMark mark = selected ? socket_events_mark_read(*record) : SocketMark{};
    ssize_t got = -1;
    int recv_errno = EAGAIN;
    // The recv that ends an event's reading loop mostly finds the socket empty: known, it is not made.
    if (!selected || !socket_events_known_empty(*record, length, flags)) {
        do {
            got = ::recv(record->fd, buffer, static_cast<size_t>(length), recv_flags_to_posix(flags));
        } while (got < 0 && errno == EINTR);
        recv_errno = errno;
    }
    int error = got < 0 ? wsock_error_from_errno(recv_errno) : 0;
    if (selected)
        socket_events_after_recv(*record, mark, length, static_cast<int>(got), error, (flags & WSOCK_MSG_PEEK) != 0);
    if (got < 0) return fail(error);
    return static_cast<int>(got);
}

int wsock_send(uintptr_t socket, const char* buffer, int length, int flags) {
    SocketRef record = socket_table_get(socket);
    if (!record) return -1;
    if (length < 0) return fail(WSOCK_EINVAL);
    int posix_flags = MSG_NOSIGNAL | ((flags & WSOCK_MSG_OOB) ? MSG_OOB : 0);
    bool selected = record->selected.load(std::memory_order_relaxed);
    SocketMark mark = selected ? socket_events_mark_write(*record) : SocketMark{};
    ssize_t put;
    do {
        put = ::send(record->fd, buffer, static_cast<size_t>(length), posix_flags);
    } while (put < 0 && errno == EINTR);
    if (put >= 0) return static_cast<int>(put);
    int send_errno = errno;
    if (send_errno == EAGAIN && selected) socket_events_after_blocked_send(*record, mark);
    if (send_errno == EPIPE && record->send_shut.load()) return fail(WSOCK_ESHUTDOWN);
    return fail(wsock_error_from_errno(send_errno));
}

int wsock_getsockname(uintptr_t socket, void* address, int* length) {
    return socket_name(socket, address, length, ::getsockname);
}

int wsock_getpeername(uintptr_t socket, void* address, int* length) {
    return socket_name(socket, address, length, ::getpeername);
}

int wsock_setsockopt(uintptr_t socket, int level, int option, const char* value, int length) {
    SocketRef record = socket_table_get(socket);
    if (!record) return -1;
    const OptionPair* pair = option_find(level, option);
    if (!pair || option == WSOCK_SO_ERROR) return fail(WSOCK_ENOPROTOOPT);
    if (!value || length < 1) return fail(WSOCK_EFAULT);
    // Windows takes a one-byte BOOL as well as a DWORD.
    int number = 0;
    if (length >= static_cast<int>(sizeof number))
        std::memcpy(&number, value, sizeof number);
    else
        number = static_cast<unsigned char>(value[0]);
    if (set_int_option(record->fd, pair->posix_level, pair->posix_option, option_to_posix(*pair, number)) != 0)
        return fail_errno();
    return 0;
}

int wsock_getsockopt(uintptr_t socket, int level, int option, char* value, int* length) {
    SocketRef record = socket_table_get(socket);
    if (!record) return -1;
    const OptionPair* pair = option_find(level, option);
    if (!pair) return fail(WSOCK_ENOPROTOOPT);
    if (!value || !length || *length < static_cast<int>(sizeof(int))) return fail(WSOCK_EFAULT);
    int number = 0;
    socklen_t number_length = sizeof number;
    if (::getsockopt(record->fd, pair->posix_level, pair->posix_option, &number, &number_length) != 0)
        return fail_errno();
    if (option == WSOCK_SO_ERROR && level == WSOCK_SOL_SOCKET && number != 0) number = wsock_error_from_errno(number);
    number /= pair->scale;
    std::memcpy(value, &number, sizeof number);
    *length = sizeof number;
    return 0;
}

int wsock_ioctl(uintptr_t socket, long command, unsigned long* argument) {
    SocketRef record = socket_table_get(socket);
    if (!record) return -1;
    if (!argument) return fail(WSOCK_EFAULT);
    if (command == WSOCK_FIONREAD) {
        int count = 0;
        if (::ioctl(record->fd, FIONREAD, &count) != 0) return fail_errno();
        if (count != 0) record->empty_since.store(0);  // the next recv must find what was counted
        *argument = static_cast<unsigned long>(count);
        return 0;
    }
    if (command != WSOCK_FIONBIO) return fail(WSOCK_EINVAL);
    bool on = *argument != 0;
    // A socket under WSAAsyncSelect stays non-blocking.
    if (!on && record->selected.load()) return fail(WSOCK_EINVAL);
    if (!set_non_blocking(record->fd, on)) return fail_errno();
    record->non_blocking.store(on);
    return 0;
}

int wsock_set_keepalive_values(uintptr_t socket, uint32_t on, uint32_t idle_ms, uint32_t interval_ms) {
    SocketRef record = socket_table_get(socket);
    if (!record) return -1;
    int fd = record->fd;
    if (set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, on != 0) != 0) return fail_errno();
    if (!on) return 0;
    if (set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, seconds_from_ms(idle_ms)) != 0 ||
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, seconds_from_ms(interval_ms)) != 0 ||
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, WINDOWS_KEEPALIVE_PROBES) != 0)
        return fail_errno();
    return 0;
}

int wsock_async_select(uintptr_t socket, HWND window, UINT message, long events) {
    SocketRef record = socket_table_get(socket);
    if (!record) return -1;
    if (!record->non_blocking.load() && !set_non_blocking(record->fd, true)) return fail_errno();
    record->non_blocking.store(true);
    return socket_events_select(*record, window, message, static_cast<uint32_t>(events));
}
