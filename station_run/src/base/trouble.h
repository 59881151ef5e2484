// What station_run says when something keeps it from its work.
#pragma once

#include <string>

// station_run's exit status for trouble: an error, an abort, a usage error.
constexpr int kTrouble = 2;

// The message "station_run: <what>" on standard error, its control
// characters escaped; returns kTrouble.
int trouble(const std::string& what);

// How a run of either level ends: standard output flushed, a loss of it
// trouble; a run aborted by a termination signal dies by it. The exit
// status otherwise.
int end_run(int status);
