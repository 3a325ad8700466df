// The host's settings-file reader. A file it accepts is saved with one value changed as the
// plug-in would change it, and the saved file must read back with that value and every other
// value of the plug-in's section unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include "host/settings_store.h"

namespace {

namespace fs = std::filesystem;

fs::path folder;

void folder_remove() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

const fs::path& folder_get() {
    if (folder.empty()) {
        std::random_device seed;
        folder = fs::temp_directory_path() / ("swp-fuzz-settings-" + std::to_string(seed()) + std::to_string(seed()));
        fs::create_directories(folder);
        std::atexit(folder_remove);
    }
    return folder;
}

[[noreturn]] void fail(const char* what, const std::string& key) {
    std::fprintf(stderr, "settings round trip: %s (key %s)\n", what, key.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const host::SettingsKey& changed = host::SETTINGS_KEYS[input.ConsumeIntegralInRange<size_t>(0, 13)];
    // The plug-in stores whole numbers in decimal and texts without NUL bytes.
    std::string value = changed.is_integer ? std::to_string(input.ConsumeIntegral<int32_t>())
                                           : input.ConsumeRandomLengthString(64);
    value.resize(value.find('\0') == std::string::npos ? value.size() : value.find('\0'));
    std::string content = input.ConsumeRemainingBytesAsString();

    std::string path = (folder_get() / "settings.ini").string();
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    host::SettingsStore store;
    std::string error;
    if (!store.load(path, &error)) {
        if (error.empty()) fail("a refused file without a reason", "");
        return 0;
    }
    // A value the reader would refuse is not taken: the key keeps what it had.
    std::optional<std::string> stored =
        host::settings_value_problem(changed, value).empty() ? std::optional<std::string>(value) : store.get(changed.name);
    store.set(changed.name, value);
    if (!store.save(&error)) fail("saving failed", error);

    host::SettingsStore again;
    if (!again.load(path, &error)) fail("the saved file does not read back", error);
    for (const host::SettingsKey& key : host::SETTINGS_KEYS) {
        std::optional<std::string> expected = &key == &changed ? stored : store.get(key.name);
        if (again.get(key.name) != expected) fail("a value changed on the way through the file", key.name);
    }
    return 0;
}
