// What the host's window and dialog services remember for the command line and for tests.
#pragma once

#include <string>

namespace host {

// The caption, instruction and content of the last task dialog, one per line; empty when none was
// shown.
std::string host_last_dialog_text();

// Task dialogs shown since the process started.
int host_dialog_count();

}  // namespace host
