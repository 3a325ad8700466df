// LIST's argument filter: the path text it leaves is the argument with bytes taken out, never
// added or reordered, and holds neither a double quote nor an option's dash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ftp/transfer.h"
#include "fuzz/plugin_fuzz_host.h"
#include "host/services.h"

using namespace fuzz_host;

namespace {

bool is_subsequence(const std::string& part, const std::string& whole) {
    size_t at = 0;
    for (char byte : part) {
        at = whole.find(byte, at);
        if (at == std::string::npos) return false;
        at++;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool bound = host_services_bind(&host::lookup_service) == 1;
    if (!bound) fuzz_fail("a host service is missing");
    // The argument comes from a command line, which ends at its first NUL.
    std::string argument(reinterpret_cast<const char*>(data), size);
    argument.resize(argument.find('\0') == std::string::npos ? argument.size() : argument.find('\0'));

    ScopedUtf8Buf path;
    list_filter_argument(argument.c_str(), path.get());
    std::string kept(path.text(), path.length());
    if (kept.size() != std::char_traits<char>::length(path.text())) fuzz_fail("the path text holds a NUL");
    if (!is_subsequence(kept, argument)) fuzz_fail("the filter added or reordered bytes");
    if (kept.find_first_of("\"-") != std::string::npos) fuzz_fail("a quote or an option survived the filter");
    return 0;
}
