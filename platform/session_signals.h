// The signals that end a desktop session (SIGTERM from a log-out or `kill`,
// SIGINT from a terminal, SIGHUP from a terminal that went away), turned
// into something a program's event loop can wait for: the handler only
// writes the signal's number into a pipe (all it may safely do), and the
// loop reads it from there and ends the session its own way.
//
// A second signal while the first is still being handled is a person who
// wants the program gone now: it ends the process as the signal would have
// without our handler, once the files registered to go on a signal
// (RemovedOnSignal, signals.h) are removed.
#pragma once

namespace platform {

// Installs the handlers (once per process; later calls return the same
// descriptor). Returns the read end of the pipe, which becomes readable
// when a signal has come; -1 when the pipe or a handler could not be set up
// (the signals then keep their default action).
int watch_session_signals();

// The next signal that came (SIGTERM, SIGINT or SIGHUP), 0 when none is
// waiting. Never blocks.
int take_session_signal();

}  // namespace platform
