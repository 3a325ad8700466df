// LIST's argument filter: the path text it leaves is the end of the argument, after nothing but
// blanks and words that begin with '-', less one pair of double quotes round it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ftp/listing.h"
#include "fuzz/plugin_fuzz_host.h"
#include "host/services.h"

using namespace fuzz_host;

namespace {

bool is_blank(char byte) { return unicode_is_ascii_ws(static_cast<unsigned char>(byte)) != 0; }

// True when `prefix` holds only blanks and whole words that begin with '-', and `rest` does not
// start with either, so that the filter stopped at the first word of the path.
bool only_option_words(const std::string& prefix, const std::string& rest) {
    bool in_word = false;
    for (char byte : prefix) {
        if (is_blank(byte)) {
            in_word = false;
        } else if (!in_word) {
            if (byte != '-') return false;
            in_word = true;
        }
    }
    if (rest.empty()) return true;
    if (in_word || is_blank(rest[0]) || rest[0] == '-') return false;
    return true;
}

// True when `argument` is `rest` after only leading option words.
bool ends_after_options(const std::string& argument, const std::string& rest) {
    if (argument.size() < rest.size()) return false;
    if (argument.compare(argument.size() - rest.size(), rest.size(), rest) != 0) return false;
    return only_option_words(argument.substr(0, argument.size() - rest.size()), rest);
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

    // Either the rest of the argument came through whole (and is no quoted pair), or its pair of
    // quotes was taken off.
    std::string quoted = "\"" + kept + "\"";
    bool kept_is_pair = kept.size() >= 2 && kept.front() == '"' && kept.back() == '"';
    if (!(ends_after_options(argument, kept) && !kept_is_pair) && !ends_after_options(argument, quoted)) {
        fuzz_fail("the filter dropped more or less than the leading option words and one pair of quotes");
    }
    return 0;
}
