// Termination signals that wake a poll loop: each one noted (the first in
// termination_signal), counted and written to a pipe the loop watches.
#pragma once

#include <csignal>

// Takes every SIGINT, SIGTERM and SIGHUP that comes; the pipe is made once.
// False, errno set, when it cannot be made.
bool catch_signals_to_pipe();

// Takes `sig` as if it had come: for a request to stop that comes another
// way, which an ignored signal must not lose.
void take_termination(int sig);

// The pipe's read end: readable once a signal came.
int signal_wake_fd();

// How many signals came.
extern volatile sig_atomic_t signals_caught;

// In a child forked after catch_signals_to_pipe: the signals back at their
// default, the parent's pipe closed and nothing counted, so that the child
// catches its own.
void forget_caught_signals();
