// What a run's record holds: the run, its steps and their attempts, and
// the verdict they come to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sequence/measure.h"

constexpr int kRecordVersion = 1;

struct Attempt {
    int number = 1;
    std::string started, ended;
    double duration_s = 0;
    std::optional<int> exit_status, signal;
    bool timed_out = false;
    Verdict verdict = Verdict::error;
    std::string stdout_file, stderr_file;  // names in the run folder
    std::string note;                      // why it could not run
    // What each stream printed, and whether its file stopped at the limit.
    std::uint64_t stdout_bytes = 0, stderr_bytes = 0;
    bool stdout_cut = false, stderr_cut = false;
    // How long it waited for its step's lock before it started.
    std::optional<double> lock_wait_s;
    // An operator's step: the answer as given (none when none came), who
    // gave it, from where ("terminal" or "view") and when.
    bool asked = false;
    std::optional<std::string> answer;
    std::string answered_by, answer_source, answered_at;
    std::vector<Measurement> measurements;
};

struct StepRecord {
    std::string name;
    std::vector<std::string> argv;
    std::vector<Attempt> attempts;
    std::optional<Verdict> verdict;  // set once the step is over
    std::string skip_reason;
    bool passed_on_retry = false;
    bool begun = false;  // replayed: an attempt started (not in the record)
    std::string lock;    // the shared instrument it holds while it runs
    std::string prompt;  // an operator's step: its question (and no argv)
};

// A run rule broken by a measurement of this run, as its history said when
// the run was written: news for the operator, not a verdict.
struct RunAlarm {
    std::string step, measurement, rule;
};

// What the operator did to the run besides answering: started it, aborted
// it; and from where ("terminal" or "view").
struct OperatorAction {
    std::string action, source, at;
};

struct RunRecord {
    std::string station, operator_name, serial, device, image;  // empty: not given
    std::string sequence_name, sequence_version, sequence_path, sequence_sha256;
    std::string suite_version;
    // On a station of several boards: the board's socket, the environment
    // its steps get, and the station file they came from.
    std::string socket, station_file_sha256;
    std::vector<std::pair<std::string, std::string>> socket_env;
    std::string output;              // the run folder
    std::string history;             // where the run is kept, without a password
    std::uint64_t output_limit = 0;  // bytes kept of each stream of a step
    std::string started, ended;
    std::vector<std::string> resumed;  // when the run was taken up again
    std::vector<StepRecord> steps;
    std::optional<Verdict> verdict;
    int exit_status = 0;
    std::vector<std::string> errors;  // what went wrong beyond the steps
    std::vector<RunAlarm> alarms;     // the run rules its measurements broke
    std::vector<OperatorAction> actions;
};

// The verdict a step or a run stands at: ABORTED while it has none, cut
// short; every writer shows a step or run so.
Verdict verdict_of(const StepRecord& step);
Verdict verdict_of(const RunRecord& run);

// A step that did not pass and was not skipped: what stops a run that asks
// so, and what a station names of a board.
bool counts_as_failed(const StepRecord& step);

// A run that came to its end, not by an abort: resumed, it is only said again.
bool finished(const RunRecord& run);

// The run's verdict and exit status from its steps: ABORTED when `aborted`;
// ERROR when no step ran or `station_errors` (the history's trouble) says
// what else went wrong, which the record keeps in `errors`.
void conclude(RunRecord& run, bool aborted, const std::vector<std::string>& station_errors = {});

// The steps an earlier station left unfinished: begun but not ended, or
// ABORTED.
std::vector<std::string> interrupted_steps(const RunRecord& run);

// Takes up a run again as --resume does: aborted attempts and verdicts are
// dropped so that those steps run anew, and the run is open again. Replaying
// a run_resumed event does the same, so a record reads back as it was left.
void take_up(RunRecord& run, const std::string& at);
