// Everything one board's run needs while its steps run, shared by the run
// from start to end and by its steps.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "board_run.h"
#include "history/history.h"
#include "record/record_log.h"
#include "record/run_record.h"
#include "run_folder.h"
#include "sequence/sequence.h"

// Everything one run needs while its steps run.
struct BoardRunState {
    RunRecord record;
    Sequence sequence;
    RunSettings settings;
    FolderLock lock;
    RecordLog log;
    std::string history_target;  // as given, password included
    std::unique_ptr<History> history;
    std::string history_error;  // why there is none, when there is none
    bool logged = true;         // every event so far is on the disk
    std::string log_error;

    // Appends an event to record.jsonl; once one cannot be written, no
    // other is, and the run stops.
    void append(const nlohmann::ordered_json& event);
};

// How long the history may keep the run waiting, and what ends a wait.
HistoryLimits limits_of(const RunSettings& settings);
