// The keeper of a step: a process in a session of its own, so that no signal
// to station_run's process group reaches it, and the subreaper of the step,
// so that every process the step leaves behind, a daemon that called setsid
// included, becomes its child and goes with it.
#pragma once

#include <sys/types.h>

// What the keeper tells station_run, one record a write.
struct Report {
    char kind;  // 'P' the step's pid, 'E' exec's errno, 'F' fork's errno, 'X' wait status
    int value;
};

struct KeeperFds {
    int commands;  // from station_run: 'T' SIGTERM, 'K' SIGKILL, end of file: all gone
    int reports;   // to station_run
    int out, err, null;
};

// Runs the step `argv` in `folder` with `envp`, its streams on `fds`, and
// carries out station_run's commands until the step and all it left are
// gone; then reports the step's wait status and exits. It uses system calls
// only: station_run may have threads when it forks.
[[noreturn]] void keeper(const KeeperFds& fds, char* const* argv, char* const* envp,
                         const char* folder);

// The keeper does not answer (a step stopped it, or it is stuck): station_run
// kills the step's group, each process that came to the keeper, and the
// keeper, so that no deadline waits on it.
void kill_without_keeper(pid_t keeper, pid_t step_group);
