// The requests to stop that a user or the system sends a running program: SIGINT, SIGTERM and
// SIGHUP on POSIX (a reader that went away, SIGPIPE, is ignored meanwhile), Ctrl-C and Ctrl-Break
// on a Windows console.
#pragma once

namespace qx::platform {

// `note` is called (with SIGINT's number for a console's requests) instead of the default action
// until restore_stop_handlers(); calls do not nest.
void install_stop_handlers(void (*note)(int)) noexcept;
void restore_stop_handlers() noexcept;

}  // namespace qx::platform
