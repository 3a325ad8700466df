#include "client/output_stream.h"

#include "client/console.h"

namespace client {
namespace {

constexpr size_t OUTPUT_BUFFER_BYTES = 64 * 1024;
constexpr DWORD WIN32_ERROR_BROKEN_PIPE = 109;
constexpr DWORD WIN32_ERROR_NO_DATA = 232;

}  // namespace

void output_write(OutputStream* out, std::string_view text) {
    if (out->failed) return;
    out->buffer.append(text);
    if (out->buffer.size() >= OUTPUT_BUFFER_BYTES) output_flush(out);
}

bool output_flush(OutputStream* out) {
    if (out->failed) return false;
    if (!out->buffer.empty() && !console_write(STD_OUTPUT_HANDLE, out->buffer, &out->error)) out->failed = true;
    out->buffer.clear();
    return !out->failed;
}

bool output_reader_gone(const OutputStream& out) {
    return out.error == WIN32_ERROR_BROKEN_PIPE || out.error == WIN32_ERROR_NO_DATA;
}

}  // namespace client
