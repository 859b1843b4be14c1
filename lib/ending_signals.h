// The signals whose default action ends the process without a fault of its own:
// Ctrl-C, kill, a closed terminal, Ctrl-\, a closed pipe on the console, the file
// size and CPU limits, timers and the user signals, abort. The programs that write
// under temporary names remove them on these signals before they end.
#ifndef ENDING_SIGNALS_H
#define ENDING_SIGNALS_H

#include <csignal>

// The set of those signals.
sigset_t ending_signals();

// Installs `handler` for each of them, except those the process ignores (nohup
// and the like), with the others blocked while it runs. It runs once: the signal
// then has its default action again, so a handler that raises it again ends the
// process with the usual status.
void on_ending_signals(void (*handler)(int));

// The same, only for the signals whose action is still the default one: a library
// inside a host that handles some of them itself (Python turns Ctrl-C into
// KeyboardInterrupt) leaves those to the host.
void on_default_ending_signals(void (*handler)(int));

// The renames that publish a run's results must not be cut short: between
// hold_ending_signals() and release_ending_signals() these signals are blocked on
// the calling thread, and one that reaches another thread is only noted by the
// handler (which calls ending_signal_held first and returns when it is true). The
// release raises it again on the calling thread, once the results are all in
// place or all put back. Holds may nest and come from several threads.
void hold_ending_signals();
void release_ending_signals();
bool ending_signal_held(int sig);

#endif
