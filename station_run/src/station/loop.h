// Board after board: the operator's station asks each board's serial, as a
// scanner types it or as a view that may start one gives it, runs the board
// (or the station's boards), shows the verdict large, and asks for the next.
#pragma once

#include <string>

#include "board/board_run.h"

struct LoopOptions {
    NewBoardRun run;           // what every board shares; serial and folder are each board's
    std::string station_file;  // the station's boards a round; empty: one board
    std::string folder;        // the loop's folder, where each run's folder is made
};

// Each board's run in a process of its own, so that an abort ends that run
// and not the loop. Returns the worst exit status of the loop's boards once
// its input ends (or Ctrl-C between boards); dies by the signal that aborted
// a run.
int run_loop(const LoopOptions& loop, const RunSettings& settings);

// Why `serial` is not taken: empty, `last` (the serial just tested in its
// socket), or not matched whole by `pattern` (an RE2, when not empty); an
// empty text when it is taken.
std::string serial_refusal(const std::string& serial, const std::string& last,
                           const std::string& pattern);
