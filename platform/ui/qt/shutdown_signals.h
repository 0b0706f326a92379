// The signals that ask a process to end (SIGTERM from a logout or a service
// manager, SIGINT from Ctrl+C, SIGHUP when the terminal goes) take the way
// out a user takes: message boxes go as Escape takes them away, then every
// dialog gets its Cancel command, so whatever a dialog does on the way out
// (closing the board) happens once, and the process ends normally.
#pragma once

namespace qtwin {

// Installs the handlers; the application object must exist. The handler only
// writes to a pipe; the event loop does the rest. A signal the process was
// started ignoring (SIGHUP under nohup, SIGINT in a background job) stays
// ignored.
void CancelOnShutdownSignals();

}  // namespace qtwin
