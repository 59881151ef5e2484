// What station.json keeps of a station of several boards: which board runs
// where, what the boards share, and the station's result once it ended.
// The process plumbing of a running station is not here.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/trouble.h"
#include "board/board_run.h"
#include "verdict.h"

constexpr const char* kStationJson = "station.json";

// One board as station.json keeps it: where it runs, and its result.
struct StationBoard {
    std::string socket, serial, device;
    std::vector<std::pair<std::string, std::string>> env;
    std::string folder;  // absolute; station.json names it from the station's folder
    std::optional<Verdict> verdict;
    int exit_status = kTrouble;
    std::vector<std::string> failed;  // the steps that count as failed
    std::string note;                 // why there is no verdict, or what else went wrong
    // Read back: the exit status an earlier station's process had of it.
    std::optional<int> kept_exit_status;
    std::string started_from;  // who gave its serial, in a loop: its run records it
};

struct StationRecord {
    std::string name, file_path, file_sha256, folder, started, ended;
    NewBoardRun run;  // what the boards share
    std::vector<StationBoard> boards;
    std::vector<std::pair<std::string, std::string>> not_run;  // socket, why
    std::optional<Verdict> verdict;
    std::optional<int> exit_status;
};

// Writes the station's folder/station.json whole; false after a message.
bool write_station_json(const StationRecord& station);

// Reads `station.folder`/station.json back; false with a reason.
bool read_station_json(StationRecord& station, std::string& error);

// True when `folder` holds a station's run (its station.json).
bool is_station_folder(const std::string& folder);
