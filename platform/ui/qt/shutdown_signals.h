// The signals that ask a process to end (SIGTERM from a logout or a service
// manager, SIGINT from Ctrl+C, SIGHUP when the terminal goes) take the way
// out a user takes: message boxes go as Escape takes them away, then every
// dialog gets its Cancel command, so whatever a dialog does on the way out
// (closing the board) happens once, and the process ends normally.
//
// From the first such signal on, nobody is taken to be at the screen: a
// message box writes its text to stderr instead of waiting, and work posted
// to the dialogs before the Cancel is dropped rather than done first.
//
// Signals that come together (within half a second of the first, as a logout
// or a closing terminal sends them) are one request. A later one, while the
// dialog is still up (the UI thread stuck in a card call, say), ends the
// process at once: the handler can do nothing else safely. The kernel then
// closes the card's devices with the process.
//
// A process that exits from elsewhere while a dialog is up (the toolkit ends
// it when the X server goes away) closes its dialogs first, once.
#pragma once

#include "platform/ui/qt/winapi_qt.h"

namespace qtwin {

// Writing to a closed pipe (stdout or stderr whose reader has gone) fails
// with EPIPE instead of ending the process. Call it first thing in main.
void SurviveBrokenPipes();

// Installs the handlers; the application object must exist. The handler only
// notes the signal and writes to a pipe; the event loop does the rest. A
// signal the process was started ignoring (SIGHUP under nohup, SIGINT in a
// background job) stays ignored.
void CancelOnShutdownSignals();

// A signal came in while the UI thread was busy: act on it now. Called
// before each posted message is delivered, so the Cancel goes ahead of work
// already queued.
void ActOnShutdownSignal();

// True once the process is on its way out (a shutdown signal taken, or an
// exit from inside a dialog's run): nobody is taken to be at the screen.
bool ShuttingDown();

// A message box while ShuttingDown(): "caption: text" on stderr, and the
// button Escape would give, at once.
int ShutdownMessageBox(LPCSTR lpText, LPCSTR lpCaption, UINT uType);

// A top-level dialog has gone (WM_DESTROY): once the last has, the way out
// is past the card, and further signals are left to the ending process.
void NoteDialogGone(HWND hDlg);

}  // namespace qtwin
