// The daemon's life on the ConfigD socket.
#pragma once

namespace uc {

// Raises the soft limit of open descriptors to the hard one (clients each take
// one), builds the application object on the inherited ConfigD descriptor and runs
// it until its event loop ends; exceptions (including nv::ErrorCode values and
// need_restart_t) pass through to the caller.
void run_daemon(int descriptor);

}  // namespace uc
