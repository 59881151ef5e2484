// The record of a run: record.jsonl, one event a line, each on the disk before
// the next step starts, so that a killed station leaves exactly what it did;
// and record.json, the whole record in one document at the end.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "measure.h"

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
};

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

// An event or document as text: valid UTF-8 whatever went into it.
std::string json_text(const nlohmann::ordered_json& j, int indent = -1);

// Events, each one line of record.jsonl.
nlohmann::ordered_json run_started_event(const RunRecord& run);
// With the attempt's deadline and grace, so that a live view can count down.
nlohmann::ordered_json step_started_event(const std::string& step, int attempt,
                                          const std::string& started,
                                          std::optional<double> timeout_s = {},
                                          std::optional<double> grace_s = {});
// An attempt begins to wait for its step's lock, at `since`.
nlohmann::ordered_json lock_wait_event(const std::string& step, int attempt,
                                       const std::string& lock, const std::string& since);
nlohmann::ordered_json attempt_ended_event(const std::string& step, const Attempt& attempt);
nlohmann::ordered_json step_ended_event(const StepRecord& step);
nlohmann::ordered_json run_resumed_event(const std::string& at,
                                         const std::vector<std::string>& interrupted);
nlohmann::ordered_json run_ended_event(const RunRecord& run);

// The whole record in one document.
nlohmann::ordered_json record_document(const RunRecord& run);
// The record read back from a document; false with a reason.
bool record_from_document(const nlohmann::json& doc, RunRecord& run, std::string& error);

// Reads record.jsonl back: the run as far as it went. A last line cut short by
// a kill is left out (and reported in `cut`). False with a reason.
bool replay(const std::string& path, RunRecord& run, bool& cut, std::string& error);

// record.jsonl, opened to append.
class RecordLog {
public:
    RecordLog() = default;
    ~RecordLog();
    RecordLog(const RecordLog&) = delete;
    RecordLog& operator=(const RecordLog&) = delete;

    // Opens (creating) the log; a line cut short at its end is cut off.
    bool open(const std::string& path, std::string& error);
    // Writes the event as one line and flushes it to the disk.
    bool append(const nlohmann::ordered_json& event, std::string& error);

private:
    int fd_ = -1;
};
