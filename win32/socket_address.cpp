// Socket addresses in Windows layout, name resolution and address texts.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "win32/socket_address.h"
#include "win32/socket_internal.h"

namespace {

struct FlagPair {
    int windows;
    int posix;
};

// getaddrinfo flags whose values differ between the two systems.
constexpr FlagPair RESOLVE_FLAGS[] = {
    {0x0001, AI_PASSIVE},     {0x0002, AI_CANONNAME}, {0x0004, AI_NUMERICHOST},
    {0x0008, AI_NUMERICSERV}, {0x0100, AI_ALL},       {0x0400, AI_ADDRCONFIG},
    {0x0800, AI_V4MAPPED},
};

struct ErrorPair {
    int posix;
    int windows;
};

constexpr ErrorPair RESOLVE_ERRORS[] = {
    {EAI_NONAME, WSOCK_HOST_NOT_FOUND},  {EAI_AGAIN, WSOCK_TRY_AGAIN},
    {EAI_FAIL, WSOCK_NO_RECOVERY},       {EAI_NODATA, WSOCK_NO_DATA},
    {EAI_FAMILY, WSOCK_EAFNOSUPPORT},    {EAI_SOCKTYPE, WSOCK_ESOCKTNOSUPPORT},
    {EAI_SERVICE, WSOCK_TYPE_NOT_FOUND}, {EAI_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {EAI_BADFLAGS, WSOCK_EINVAL},        {EAI_ADDRFAMILY, WSOCK_HOST_NOT_FOUND},
};

int resolve_flags_to_posix(int flags) {
    int posix = 0;
    for (const FlagPair& pair : RESOLVE_FLAGS)
        if (flags & pair.windows) posix |= pair.posix;
    return posix;
}

int resolve_error(int code) {
    if (code == EAI_SYSTEM) return wsock_error_from_errno(errno);
    for (const ErrorPair& pair : RESOLVE_ERRORS)
        if (pair.posix == code) return pair.windows;
    return WSOCK_NO_RECOVERY;
}

void put_u16(unsigned char* at, uint16_t value) { std::memcpy(at, &value, 2); }

uint16_t get_u16(const unsigned char* at) {
    uint16_t value;
    std::memcpy(&value, at, 2);
    return value;
}

// A port number is at most 65535; Windows refuses a larger or negative number as a service it does
// not know, where the C library would keep only its low 16 bits. Names ("ftp") pass.
bool service_is_unusable_number(const char* service) {
    if (service == nullptr) return false;
    const char* digits = service[0] == '-' ? service + 1 : service;
    if (*digits < '0' || *digits > '9') return false;
    unsigned long value = 0;
    for (const char* at = digits; *at != '\0'; ++at) {
        if (*at < '0' || *at > '9') return false;
        value = value * 10 + static_cast<unsigned long>(*at - '0');
        if (value > 65535) return true;
    }
    return digits != service;
}

bool resolved_from(const addrinfo& entry, WsockResolved* out) {
    out->family = family_from_posix(entry.ai_family);
    if (out->family < 0) return false;
    out->socktype = entry.ai_socktype == SOCK_DGRAM ? WSOCK_SOCK_DGRAM : WSOCK_SOCK_STREAM;
    out->protocol = entry.ai_protocol;
    sockaddr_storage address = {};
    std::memcpy(&address, entry.ai_addr, entry.ai_addrlen);
    out->address_length = sizeof out->address;
    return address_from_posix(address, out->address, &out->address_length) == 0;
}

}  // namespace

int family_to_posix(int family) {
    if (family == WSOCK_AF_INET) return AF_INET;
    if (family == WSOCK_AF_INET6) return AF_INET6;
    if (family == WSOCK_AF_UNSPEC) return AF_UNSPEC;
    return -1;
}

int family_from_posix(int family) {
    if (family == AF_INET) return WSOCK_AF_INET;
    if (family == AF_INET6) return WSOCK_AF_INET6;
    if (family == AF_UNSPEC) return WSOCK_AF_UNSPEC;
    return -1;
}

int address_to_posix(const void* address, int length, sockaddr_storage* out, socklen_t* out_length) {
    if (!address || length < 2) return WSOCK_EFAULT;
    const auto* bytes = static_cast<const unsigned char*>(address);
    uint16_t family = get_u16(bytes);
    std::memset(out, 0, sizeof *out);
    if (family == WSOCK_AF_INET) {
        if (length < WSOCK_V4_LENGTH) return WSOCK_EFAULT;
        auto* v4 = reinterpret_cast<sockaddr_in*>(out);
        v4->sin_family = AF_INET;
        v4->sin_port = get_u16(bytes + WSOCK_PORT);
        std::memcpy(&v4->sin_addr, bytes + WSOCK_V4_ADDR, 4);
        *out_length = sizeof *v4;
        return 0;
    }
    if (family == WSOCK_AF_INET6) {
        if (length < WSOCK_V6_LENGTH) return WSOCK_EFAULT;
        auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = get_u16(bytes + WSOCK_PORT);
        std::memcpy(&v6->sin6_flowinfo, bytes + WSOCK_V6_FLOWINFO, 4);
        std::memcpy(&v6->sin6_addr, bytes + WSOCK_V6_ADDR, 16);
        std::memcpy(&v6->sin6_scope_id, bytes + WSOCK_V6_SCOPE, 4);
        *out_length = sizeof *v6;
        return 0;
    }
    return WSOCK_EAFNOSUPPORT;
}

int address_from_posix(const sockaddr_storage& in, void* address, int* length) {
    unsigned char bytes[WSOCK_V6_LENGTH] = {};
    int size;
    if (in.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(in);
        size = WSOCK_V4_LENGTH;
        put_u16(bytes, WSOCK_AF_INET);
        put_u16(bytes + WSOCK_PORT, v4.sin_port);
        std::memcpy(bytes + WSOCK_V4_ADDR, &v4.sin_addr, 4);
    } else if (in.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(in);
        size = WSOCK_V6_LENGTH;
        put_u16(bytes, WSOCK_AF_INET6);
        put_u16(bytes + WSOCK_PORT, v6.sin6_port);
        std::memcpy(bytes + WSOCK_V6_FLOWINFO, &v6.sin6_flowinfo, 4);
        std::memcpy(bytes + WSOCK_V6_ADDR, &v6.sin6_addr, 16);
        std::memcpy(bytes + WSOCK_V6_SCOPE, &v6.sin6_scope_id, 4);
    } else {
        return WSOCK_EAFNOSUPPORT;
    }
    if (!address || !length || *length < size) return WSOCK_EFAULT;
    std::memcpy(address, bytes, static_cast<size_t>(size));
    *length = size;
    return 0;
}

int wsock_resolve(const char* node, const char* service, int flags, int family, int socktype, int protocol,
                  std::vector<WsockResolved>* results) {
    if (service_is_unusable_number(service)) return WSOCK_TYPE_NOT_FOUND;
    addrinfo hints = {};
    hints.ai_flags = resolve_flags_to_posix(flags);
    hints.ai_family = family_to_posix(family);
    if (hints.ai_family < 0) return WSOCK_EAFNOSUPPORT;
    hints.ai_socktype = socktype == WSOCK_SOCK_DGRAM ? SOCK_DGRAM : socktype == WSOCK_SOCK_STREAM ? SOCK_STREAM : 0;
    hints.ai_protocol = protocol;
    addrinfo* list = nullptr;
    int code = ::getaddrinfo(node, service, &hints, &list);
    if (code != 0) return resolve_error(code);
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        WsockResolved resolved = {};
        if (!resolved_from(*entry, &resolved)) continue;
        if (entry->ai_canonname) resolved.canonical_name = entry->ai_canonname;
        results->push_back(std::move(resolved));
    }
    ::freeaddrinfo(list);
    return results->empty() ? WSOCK_HOST_NOT_FOUND : 0;
}

int wsock_inet_pton(int family, const char* text, void* address) {
    int posix_family = family_to_posix(family);
    if (posix_family != AF_INET && posix_family != AF_INET6) {
        SetLastError(WSOCK_EAFNOSUPPORT);
        return -1;
    }
    if (!text || !address) {
        SetLastError(WSOCK_EFAULT);
        return -1;
    }
    return ::inet_pton(posix_family, text, address);
}

const char* wsock_inet_ntop(int family, const void* address, char* text, size_t size) {
    int posix_family = family_to_posix(family);
    if (posix_family != AF_INET && posix_family != AF_INET6) {
        SetLastError(WSOCK_EAFNOSUPPORT);
        return nullptr;
    }
    if (!address || !text) {
        SetLastError(WSOCK_EFAULT);
        return nullptr;
    }
    const char* written = ::inet_ntop(posix_family, address, text, static_cast<socklen_t>(size));
    if (!written) SetLastError(ERROR_INVALID_PARAMETER);
    return written;
}
