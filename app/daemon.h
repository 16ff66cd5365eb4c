// The daemon's life on the ConfigD socket.
#pragma once

namespace uc {

// Builds the application object on the inherited ConfigD descriptor and runs
// it until its event loop ends; exceptions (including nv::ErrorCode values and
// need_restart_t) pass through to the caller.
void run_daemon(int descriptor);

}  // namespace uc
