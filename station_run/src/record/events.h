// The record as JSON: record.jsonl, one event a line, each on the disk before
// the next step starts, so that a killed station leaves exactly what it did,
// and read back; record.json, the whole record in one document at the end.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "run_record.h"

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
// A question put to the operator, with what it takes; `reason` says why the
// last answer was not taken, when it is asked again.
nlohmann::ordered_json operator_asked_event(const std::string& step, int attempt,
                                            const std::string& question, const Prompt& prompt,
                                            const RunRecord& run, const std::string& reason);
nlohmann::ordered_json operator_action_event(const OperatorAction& action);
// A run rule its history says a measurement of the run broke.
nlohmann::ordered_json alarm_event(const RunAlarm& alarm);
nlohmann::ordered_json run_ended_event(const RunRecord& run);

// The whole record in one document.
nlohmann::ordered_json record_document(const RunRecord& run);
// The record read back from a document; false with a reason.
bool record_from_document(const nlohmann::json& doc, RunRecord& run, std::string& error);

// Reads record.jsonl back: the run as far as it went. A last line cut short by
// a kill is left out (and reported in `cut`). False with a reason.
bool replay(const std::string& path, RunRecord& run, bool& cut, std::string& error);
