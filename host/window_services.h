// What the host's window and dialog services remember for the command line and for tests.
#pragma once

#include <string>

#include "sdk/sorrelwick_plugin.h"

namespace host {

// The window that owns the message box of a task dialog from now on; null: stderr only.
void host_set_dialog_owner(HWND owner);

// The caption, instruction and content of the last task dialog, one per line; empty when none was
// shown.
std::string host_last_dialog_text();

// Task dialogs shown since the process started.
int host_dialog_count();

}  // namespace host
