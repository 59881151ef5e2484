// A station of several boards at once: one process a board, each running the
// sequence in its own run folder as a board alone would, side by side. The
// station's process starts them, grants the shared instruments' locks, shows
// each board's lines under its socket's name, keeps station.json (which board
// runs where) and ends with the station's result.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "board/board_run.h"
#include "station_file.h"

struct NewStation {
    StationFile file;
    NewBoardRun run;  // what the boards share; the station file names their devices
    std::vector<std::pair<std::string, std::string>> serials;  // socket, serial
    std::map<std::string, std::string> started_from;           // by socket, in a loop
    std::string folder;  // the station's folder; empty: runs/STATION-YYYYMMDDTHHMMSSZ
};

// Each returns the station's exit status, the largest of its boards', or
// dies by the termination signal that aborted it.
int run_station(const NewStation& station, const RunSettings& settings);
int resume_station(const std::string& folder, const RunSettings& settings);
