// The argument readers of PORT and EPRT, followed by a listing through the target they accepted.
// Whatever the text, the reply is one of the command's own, and with the data-peer rule on no
// target other than the control peer's address is ever accepted.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>

#include "ftp/data_connection.h"
#include "ftp/listing.h"
#include "fuzz/plugin_fuzz_host.h"

using namespace fuzz_host;

namespace {

constexpr const char* ACCEPTED = "200 Port command successful.\r\n";
constexpr const char* REFUSED = "500 Failed to connect to IP.\r\n";
constexpr const char* UNKNOWN_PROTOCOL =
    "522 Extended Port Failure - unknown network protocol. Supported protocols: (1,2)\r\n";

// The control peer's address as the fake network gives it: 127.0.0.1 or ::1.
bool is_control_peer(const FtpClient* client) {
    const DataAddress& target = client->data_address;
    bool ipv6 = fuzz_script().peer_ipv6;
    if (client->data_mode == DATA_MODE_PORT) {
        const uint8_t loopback[4] = {127, 0, 0, 1};
        return !ipv6 && std::memcmp(target.port_target.address, loopback, 4) == 0;
    }
    if (target.eprt.ss_family == AF_INET) {
        const uint8_t loopback[4] = {127, 0, 0, 1};
        return !ipv6 && std::memcmp(&reinterpret_cast<const SOCKADDR_IN*>(&target.eprt)->sin_addr, loopback, 4) == 0;
    }
    uint8_t loopback6[16] = {};
    loopback6[15] = 1;
    return ipv6 && std::memcmp(&reinterpret_cast<const SOCKADDR_IN6*>(&target.eprt)->sin6_addr, loopback6, 16) == 0;
}

void check_reply(const FtpClient* client, bool eprt, bool check_peer) {
    const std::string& reply = fuzz_script().sent;
    DataMode accepted_mode = eprt ? DATA_MODE_EPRT : DATA_MODE_PORT;
    if (reply == ACCEPTED) {
        if (client->data_mode != accepted_mode) fuzz_fail("accepted without entering the mode");
        if (eprt && client->data_address.eprt.ss_family != AF_INET &&
            client->data_address.eprt.ss_family != AF_INET6) {
            fuzz_fail("EPRT accepted an address of no family");
        }
        if (check_peer && !is_control_peer(client)) fuzz_fail("a data target other than the control peer passed");
        return;
    }
    bool known = reply == REFUSED || (eprt && reply == UNKNOWN_PROTOCOL);
    if (!known) fuzz_fail("an unexpected reply");
    if (client->data_mode != DATA_MODE_NONE) fuzz_fail("refused but left in a data mode");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    unsigned flags = input.ConsumeIntegral<uint8_t>();
    bool eprt = input.ConsumeBool();
    std::string argument = input.ConsumeRemainingBytesAsString();
    // The dispatcher hands over a terminated line: the text ends at its first NUL.
    argument.resize(std::strlen(argument.c_str()));

    fuzz_host_setup();
    fuzz_host_begin((flags & (FUZZ_CHECK_DATA_PEER | FUZZ_PEER_IPV6 | FUZZ_CONNECT_REFUSED)) | FUZZ_PORT_ALLOWED);
    FtpClient* client = fuzz_host_connect();
    fuzz_script().sent.clear();

    if (eprt) {
        cmd_eprt(client, argument.c_str());
    } else {
        cmd_port(client, argument.c_str());
    }
    fuzz_host_pump();
    check_reply(client, eprt, flags & FUZZ_CHECK_DATA_PEER);

    // Whatever was accepted is where the next listing goes.
    if (client->data_mode != DATA_MODE_NONE) {
        client->login_state = LOGIN_LOGGED_ON;
        cmd_list(client, "");
        fuzz_host_pump();
    }
    fuzz_host_end();
    return 0;
}
