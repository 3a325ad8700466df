// The dialog services' platform part without a window system: texts are measured with a fixed
// advance per character (or a measure the tests set), tooltips and fonts exist only as records, and
// the save-file dialog answers what it was told to.
#include <mutex>
#include <optional>

#include "host/dialog_platform.h"
#include "host/dialog_services.h"
#include "host/services.h"

namespace host {
namespace {

constexpr int LOGICAL_PER_INCH = 96;

// What the tests and the preview steer. Controls are touched on one thread, but the tests read
// this from wherever they run, so one lock guards it.
struct DialogModel {
    std::mutex lock;
    DialogTextMeasure measure = nullptr;
    std::optional<std::string> save_file_answer;
    SaveFileRequest last_request;
};

DialogModel& dialog_model() {
    static DialogModel model;
    return model;
}

int count_code_points(const char* text) {
    int count = 0;
    for (const char* at = text; *at; at++)
        if ((static_cast<unsigned char>(*at) & 0xC0) != 0x80) count++;
    return count;
}

}  // namespace

int dialog_logical_per_inch(bool) { return LOGICAL_PER_INCH; }

void dialog_control_created(HWND, HWND) {}

int dialog_text_width(HWND, const char* text) {
    DialogTextMeasure measure;
    {
        DialogModel& model = dialog_model();
        std::lock_guard<std::mutex> guard(model.lock);
        measure = model.measure;
    }
    return measure ? measure(text) : count_code_points(text) * DIALOG_TEXT_ADVANCE;
}

void dialog_tooltip_attach(HWND, HWND, HWND, const char*) {}

int dialog_save_file_name(HWND owner, const char* title, const char* start_file, const char* filter,
                          size_t filter_length, int filter_index, const char* default_extension, uint32_t flags,
                          Utf8Buf* chosen_file) {
    DialogModel& model = dialog_model();
    std::lock_guard<std::mutex> guard(model.lock);
    SaveFileRequest& request = model.last_request;
    request.calls++;
    request.owner = owner;
    request.title = title ? title : "";
    request.start_file = start_file ? start_file : "";
    request.filter = filter ? std::string(filter, filter_length) : std::string();
    request.filter_length = filter_length;
    request.filter_index = filter_index;
    request.default_extension = default_extension ? default_extension : "";
    request.flags = flags;
    if (!model.save_file_answer) return 0;
    utf8_buf_copy_utf8_string(chosen_file, model.save_file_answer->c_str());
    return 1;
}

void dialog_show_message(HWND, const char*, const char*) {}

void dialog_set_text_measure(DialogTextMeasure measure) {
    DialogModel& model = dialog_model();
    std::lock_guard<std::mutex> guard(model.lock);
    model.measure = measure;
}

SaveFileRequest dialog_last_save_file_request() {
    DialogModel& model = dialog_model();
    std::lock_guard<std::mutex> guard(model.lock);
    return model.last_request;
}

void dialog_set_save_file_answer(const char* chosen_file_or_null) {
    DialogModel& model = dialog_model();
    std::lock_guard<std::mutex> guard(model.lock);
    if (chosen_file_or_null)
        model.save_file_answer = chosen_file_or_null;
    else
        model.save_file_answer.reset();
}

}  // namespace host
