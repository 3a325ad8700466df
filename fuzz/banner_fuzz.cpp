// The banner formatter: the measuring pass and the writing pass agree to the byte, the banner fits
// the room measured for it, and it is a well-formed 220 reply whatever the configured text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/plugin_fuzz_host.h"
#include "host/services.h"

using namespace fuzz_host;

namespace {

// Lines "220-..." then one "220 ...", each ending in CR LF, with no other CR or LF.
void check_reply_form(std::string_view banner) {
    while (!banner.empty()) {
        size_t end = banner.find("\r\n");
        if (end == std::string_view::npos) fuzz_fail("a banner line lacks its CR LF");
        std::string_view line = banner.substr(0, end);
        banner.remove_prefix(end + 2);
        if (line.find_first_of("\r\n") != std::string_view::npos) fuzz_fail("a banner line holds a CR or LF");
        std::string_view expected_start = banner.empty() ? "220 " : "220-";
        if (!line.starts_with(expected_start)) fuzz_fail("a banner line starts wrongly");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool bound = host_services_bind(&host::lookup_service) == 1;
    if (!bound) fuzz_fail("a host service is missing");
    // The welcome message is a setting: a text that ends at its first NUL.
    std::string text(reinterpret_cast<const char*>(data), size);

    size_t length = welcome_format(nullptr, text.c_str());
    // Exactly the measured room and its terminator, so that a longer write is caught.
    std::vector<char> output(length + 1);
    welcome_format(output.data(), text.c_str());
    std::string_view banner(output.data());
    if (banner.size() != length) fuzz_fail("the banner's length differs from the measured one");
    if (banner.empty()) fuzz_fail("an empty banner");
    check_reply_form(banner);
    return 0;
}
