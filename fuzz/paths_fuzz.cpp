// Path resolution and display: an FTP path argument, taken from a current directory that was
// itself resolved from the input, always gives an index path in canonical form (backslashes only,
// no empty, "." or ".." segment), and the form shown to the client resolves back to it.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <string_view>

#include "ftp/dispatcher.h"
#include "ftp/paths.h"
#include "fuzz/plugin_fuzz_host.h"

using namespace fuzz_host;

namespace {

constexpr char NUL = '\0';

std::string resolve(FtpClient* client, const std::string& argument) {
    ScopedUtf8Buf index_path;
    path_resolve(client, argument.c_str(), index_path.get());
    return std::string(index_path.text(), index_path.length());
}

std::string display(const std::string& index_path) {
    ScopedUtf8Buf shown;
    path_display(shown.get(), index_path.c_str());
    return std::string(shown.text(), shown.length());
}

void check_canonical(std::string_view path) {
    if (path.find('/') != std::string_view::npos) fuzz_fail("a resolved path holds a slash");
    if (path.starts_with("\\\\")) path.remove_prefix(2);  // a network share keeps its two separators
    if (path.empty()) return;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view segment = path.substr(start, end - start);
        if (segment.empty() || segment == "." || segment == "..") fuzz_fail("a resolved path is not canonical");
        start = end + 1;
    }
}

// The shown form starts with "/", keeps the length, and shows no backslash after its leading run.
void check_display(const std::string& index_path, const std::string& shown) {
    if (shown.size() != index_path.size() + 1 || shown[0] != '/') fuzz_fail("the display form lost or gained bytes");
    size_t after_run = shown.find_first_not_of('\\', 1);
    if (after_run != std::string::npos && shown.find('\\', after_run) != std::string::npos) {
        fuzz_fail("the display form kept a backslash");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    // Texts end at their first NUL, as the command line that carries them does.
    std::string directory_text = input.ConsumeRandomLengthString(256);
    directory_text.resize(directory_text.find(NUL) == std::string::npos ? directory_text.size()
                                                                        : directory_text.find(NUL));
    std::string argument = input.ConsumeRemainingBytesAsString();
    argument.resize(argument.find(NUL) == std::string::npos ? argument.size() : argument.find(NUL));

    fuzz_host_setup();
    FtpClient client{};
    client.current_directory = utf8_string_alloc_utf8_string("");
    std::string directory = resolve(&client, directory_text);
    check_canonical(directory);
    client.current_directory = utf8_string_realloc_utf8_string(client.current_directory, directory.c_str());

    std::string resolved = resolve(&client, argument);
    check_canonical(resolved);
    std::string shown = display(resolved);
    check_display(resolved, shown);

    // What PWD shows, sent back from anywhere, names the same folder.
    if (resolve(&client, shown) != resolved) fuzz_fail("the display form does not resolve to its path");
    mem_free(client.current_directory);

    // Any index path, canonical or not, shows in full.
    std::string raw = argument;
    check_display(raw, display(raw));
    return 0;
}
