// A run of a sequence on one board, from start to end: a new run or a
// resumed one prepared, its steps run under supervision, the run concluded
// and its record, JUnit file and page published.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "supervisor.h"

// How a run is shown and how long the history may make it wait: not part of
// the run, so a resume may set them anew.
struct RunSettings {
    bool live = false;              // each step's output on standard output as it comes
    double history_timeout_s = 15;  // connecting, a statement, another station's lock
    int lock_fd = -1;               // a board's end of the station's locks; -1: a board alone
    // Where the operator's typed answers come from: standard input when it
    // is a terminal, or the station's relay of its terminal; -1: none.
    int terminal_fd = -1;
};

struct NewBoardRun {
    std::string device, image, serial = "unknown", station, operator_name;
    std::string output;  // the run folder; empty: PARENT/SERIAL-TIME
    std::string parent = "runs";
    std::string sequence;  // the sequence file; empty: the installed default
    std::string history = "station.sqlite";
    std::uint64_t output_limit = kDefaultOutputLimit;
    double expected_tone_hz = 20000;  // for {expected_tone}: the simulated device's tone
    // A board of a station of several: its socket, the environment its
    // steps get, and the station file's SHA-256.
    std::string socket, station_file_sha256;
    std::vector<std::pair<std::string, std::string>> socket_env;
    // Who started it, when an operator did: "terminal" or "view".
    std::string started_from;
};

// Each returns the run's exit status (0 passed, 1 failed, 2 trouble, 3 a
// timeout), or dies by the termination signal that aborted the run.
int run_board(const NewBoardRun& run, const RunSettings& settings);
int resume_board(const std::string& folder, const RunSettings& settings);
