// One attempt of a step as a supervised process: its own process group,
// standard input from /dev/null, its output in files, a deadline, and nothing
// of it left behind, even when station_run itself is killed.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct Supervision {
    std::vector<std::string> argv;  // argv[0] is the program's path
    std::string folder;             // the working folder
    std::string stdout_path, stderr_path;
    double timeout_s = 300;
    double grace_s = 5;
    bool live = false;  // copy the output to standard output as it comes
    int stop_fd = -1;   // readable once station_run is told to stop
};

struct Outcome {
    std::optional<int> exit_status;  // when it exited
    std::optional<int> signal;       // when a signal ended it
    bool timed_out = false;          // the deadline came first
    bool stopped = false;            // station_run was told to stop meanwhile
    std::string started, ended;      // UTC, ISO 8601 with milliseconds
    double duration_s = 0;
    std::string failure;  // why it could not be started
};

// Runs the attempt to its end. At the deadline, or when stop_fd becomes
// readable, the whole group gets SIGTERM and, after the grace period, SIGKILL.
Outcome supervise(const Supervision& s);

// The current time, UTC, ISO 8601 with milliseconds ("2026-12-09T08:15:30.123Z").
std::string utc_now();
