// What every program does the same way so that whatever the environment does
// to it (closed descriptors, closed pipes, full disks, termination signals)
// never loses work and never passes for success.
#pragma once

#include <signal.h>

// Opens "/dev/null" on each of descriptors 0, 1 and 2 that is closed, so that no
// file opened later (a capture, a trace) can land on one of them. False, with
// errno, when one stays closed.
bool fill_standard_descriptors(void);

// The same for a program: when a closed descriptor cannot be filled, says so on
// whichever of standard error and standard output is open and exits with 1.
void guard_standard_descriptors(const char* prog);

// Line-buffers standard output through a stream that remembers why its first
// write failed, and ignores SIGPIPE and SIGXFSZ, so that a failed write comes
// back as an error instead of killing the program half-way.
void guard_output(void);

// Notes a failed write to standard output made past its stream, so that
// finish_output reports it.
void note_stdout_error(int error);

// True once a write to standard output has failed.
bool output_failed(void);

// Flushes standard output. On any write error, now or earlier, reports it once
// as "<prog>: error writing standard output: <reason>" and returns false.
bool finish_output(const char* prog);

// Installs `handler` for SIGINT, SIGTERM and SIGHUP, except for one that was
// ignored when the program started (as under nohup). The handler runs with the
// other two blocked, and the signal it caught is back at its default action,
// unless `every_time`: then the handler takes every one that comes.
void catch_termination_signals(void (*handler)(int), bool every_time = false);

// Async-signal-safe: a second one of the signals caught above ends the program
// at once, removing the file named to remove_on_signal first.
void release_termination_signals(void);

// A handler for catch_termination_signals: notes the first signal and releases
// the others.
void note_termination(int sig);

// The signal note_termination noted, or 0.
extern volatile sig_atomic_t termination_signal;

// A file that a signal ending the program must not leave behind: removed
// before a second termination signal, or SIGQUIT, SIGUSR1, SIGUSR2 or SIGALRM,
// ends it. Null forgets it. One at a time.
void remove_on_signal(const char* path);

// Ends the program by `sig`, so that a shell or rig sees death by that signal.
[[noreturn]] void die_by_signal(int sig);

// Prints "Interrupted" on standard error, then dies by `sig`.
[[noreturn]] void end_by_signal(int sig);

// In a child about to exec: SIGPIPE and SIGXFSZ back at their default actions.
void restore_output_signals(void);
