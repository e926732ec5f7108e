// Signals during a play: SIGINT, SIGTERM, SIGHUP and SIGQUIT give the terminal back and end it.
//
// Signals are caught for the whole of a play. While the player's own loop runs, a signal is
// passed to it through a pipe, so that it ends cleanly (summary line, viewer closed) and then
// ends itself by the same signal. Anywhere else (a log reader waiting for input, say) the
// handler gives the terminal back and lets the signal take its default course at once.
#pragma once

// Installs the handlers and makes the pipe they report to. False with errno set on failure.
bool catchSignals();
// The read end of that pipe: readable once a signal has come in while in the player's loop.
int signalPipe();
// Whether a signal arriving now is passed to the loop (true) or ends the process at once.
void setSignalsToLoop(bool toLoop);
// The signal that came in (0: none yet); reading it empties the pipe.
int takeCaughtSignal();
// Ends the process by `signal`, with its default action, as if it had never been caught.
[[noreturn]] void endBySignal(int signal);
