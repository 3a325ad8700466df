// Where the host keeps its state on this machine.
#pragma once

#include <string>

namespace host {

// $XDG_STATE_HOME/swp-host, or ~/.local/state/swp-host when that is not set.
std::string local_app_data_folder();

}  // namespace host
