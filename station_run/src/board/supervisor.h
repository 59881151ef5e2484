// One attempt of a step as a supervised process: its own process group under
// a keeper that outlives nothing of it, standard input from /dev/null, its
// output in files that stop growing at a limit, and a deadline.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

constexpr std::uint64_t kDefaultOutputLimit = std::uint64_t{64} << 20;

struct Supervision {
    std::vector<std::string> argv;  // argv[0] is the program's absolute path
    std::vector<std::string> env;   // NAME=value entries added to the environment
    std::string folder;             // the working folder
    std::string stdout_path, stderr_path;
    double timeout_s = 300;
    double grace_s = 5;
    std::uint64_t output_limit = kDefaultOutputLimit;  // bytes kept of each stream
    bool live = false;  // copy the output to standard output as it comes
    int stop_fd = -1;   // readable when a termination signal came
    // The termination signals station_run got so far: the second one stops
    // the step at once.
    const volatile sig_atomic_t* signals = nullptr;
};

// What a stream printed, and whether its file stopped at the limit.
struct StreamCount {
    std::uint64_t bytes = 0;
    bool cut = false;
};

struct Outcome {
    std::optional<int> exit_status;  // when it exited
    std::optional<int> signal;       // when a signal ended it
    bool timed_out = false;          // the deadline came first
    bool stopped = false;            // station_run was told to stop meanwhile
    bool stopped_at_once = false;    // and told again: SIGKILL without grace
    std::string started, ended;      // UTC, ISO 8601 with milliseconds
    double duration_s = 0;
    std::chrono::steady_clock::time_point begun;  // when it started, for its deadline
    std::string failure;                          // why it could not be started
    StreamCount out, err;
};

// Runs the attempt to its end. At the deadline, or when stop_fd becomes
// readable, the step's processes get SIGTERM and, after the grace period,
// SIGKILL. Every process the step started, daemons included, is gone when
// this returns, and also when station_run dies however it dies.
Outcome supervise(const Supervision& s);
