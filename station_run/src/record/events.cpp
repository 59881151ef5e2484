#include "events.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "escape.h"
#include "files.h"
#include "record_facts.h"

using ordered_json = nlohmann::ordered_json;
using json = nlohmann::json;

namespace {

// A whole number reads as one (an exit status of 0, not 0.0).
ordered_json optional_number(const std::optional<double>& v) {
    if (!v) return nullptr;
    if (std::trunc(*v) == *v && std::fabs(*v) < 1e15) return static_cast<std::int64_t>(*v);
    return *v;
}

ordered_json optional_int(const std::optional<int>& v) {
    return v ? ordered_json(*v) : ordered_json(nullptr);
}

ordered_json optional_text(const std::string& text) {
    return text.empty() ? ordered_json(nullptr) : ordered_json(text);
}

ordered_json measurement_json(const Measurement& m) {
    ordered_json j = {{"name", m.name},
                      {"value", optional_number(m.value)},
                      {"units", m.units},
                      {"low", optional_number(m.limits.low)},
                      {"high", optional_number(m.limits.high)},
                      {"marginal_low", optional_number(m.limits.marginal_low)},
                      {"marginal_high", optional_number(m.limits.marginal_high)},
                      {"margin", optional_number(m.margin)},
                      {"margin_percent", optional_number(m.margin_percent)},
                      {"verdict", verdict_name(m.verdict)}};
    if (!m.note.empty()) j["note"] = m.note;
    return j;
}

ordered_json attempt_json(const Attempt& a) {
    ordered_json j = {{"number", a.number},
                      {"verdict", verdict_name(a.verdict)},
                      {"started", a.started},
                      {"ended", a.ended},
                      {"duration_s", a.duration_s},
                      {"exit_status", optional_int(a.exit_status)},
                      {"signal", optional_int(a.signal)},
                      {"timed_out", a.timed_out},
                      {"stdout", a.stdout_file},
                      {"stderr", a.stderr_file},
                      {"stdout_bytes", a.stdout_bytes},
                      {"stderr_bytes", a.stderr_bytes},
                      {"stdout_cut", a.stdout_cut},
                      {"stderr_cut", a.stderr_cut}};
    if (!a.note.empty()) j["note"] = a.note;
    if (a.lock_wait_s) j["lock_wait_s"] = *a.lock_wait_s;
    if (a.asked) {
        j["answer"] = a.answer ? ordered_json(*a.answer) : ordered_json(nullptr);
        j["answered_by"] = optional_text(a.answered_by);
        j["answer_source"] = optional_text(a.answer_source);
        j["answered_at"] = optional_text(a.answered_at);
    }
    j["measurements"] = ordered_json::array();
    for (const Measurement& m : a.measurements) j["measurements"].push_back(measurement_json(m));
    return j;
}

// Reading back: a key of the wrong type makes the record unreadable.
std::optional<double> number_at(const json& j, const char* key) {
    if (!j.contains(key) || j[key].is_null()) return {};
    return j.at(key).get<double>();
}

std::optional<int> int_at(const json& j, const char* key) {
    if (!j.contains(key) || j[key].is_null()) return {};
    return j.at(key).get<int>();
}

std::string text_at(const json& j, const char* key) {
    if (!j.contains(key) || j[key].is_null()) return "";
    return j.at(key).get<std::string>();
}

Verdict verdict_at(const json& j, const char* key) {
    Verdict v;
    if (!verdict_from_name(j.at(key).get<std::string>(), v)) {
        throw std::runtime_error("unknown verdict " + j.at(key).dump());
    }
    return v;
}

Measurement measurement_from(const json& j) {
    Measurement m;
    m.name = text_at(j, "name");
    m.units = text_at(j, "units");
    m.value = number_at(j, "value");
    m.limits = {number_at(j, "low"), number_at(j, "high"), number_at(j, "marginal_low"),
                number_at(j, "marginal_high")};
    m.margin = number_at(j, "margin");
    m.margin_percent = number_at(j, "margin_percent");
    m.verdict = verdict_at(j, "verdict");
    m.note = text_at(j, "note");
    return m;
}

Attempt attempt_from(const json& j) {
    Attempt a;
    a.number = j.at("number").get<int>();
    a.verdict = verdict_at(j, "verdict");
    a.started = text_at(j, "started");
    a.ended = text_at(j, "ended");
    a.duration_s = j.at("duration_s").get<double>();
    a.exit_status = int_at(j, "exit_status");
    a.signal = int_at(j, "signal");
    a.timed_out = j.value("timed_out", false);
    a.stdout_file = text_at(j, "stdout");
    a.stderr_file = text_at(j, "stderr");
    a.stdout_bytes = j.value("stdout_bytes", std::uint64_t{0});
    a.stderr_bytes = j.value("stderr_bytes", std::uint64_t{0});
    a.stdout_cut = j.value("stdout_cut", false);
    a.stderr_cut = j.value("stderr_cut", false);
    a.note = text_at(j, "note");
    a.lock_wait_s = number_at(j, "lock_wait_s");
    a.asked = j.contains("answer_source");
    if (j.contains("answer") && !j["answer"].is_null()) a.answer = j["answer"].get<std::string>();
    a.answered_by = text_at(j, "answered_by");
    a.answer_source = text_at(j, "answer_source");
    a.answered_at = text_at(j, "answered_at");
    for (const json& m : j.at("measurements")) a.measurements.push_back(measurement_from(m));
    return a;
}

void run_fields_from(const json& j, RunRecord& run) {
    run.station = text_at(j, "station");
    run.operator_name = text_at(j, "operator");
    run.serial = text_at(j, "serial");
    run.device = text_at(j, "device");
    run.image = text_at(j, "image");
    const json& seq = j.at("sequence");
    run.sequence_name = text_at(seq, "name");
    run.sequence_version = text_at(seq, "version");
    run.sequence_path = text_at(seq, "path");
    run.sequence_sha256 = text_at(seq, "sha256");
    run.suite_version = text_at(j, "suite_version");
    run.output = text_at(j, "output");
    run.history = text_at(j, "history");
    run.output_limit = j.value("output_limit", std::uint64_t{0});
    run.started = text_at(j, "started");
    run.socket = text_at(j, "socket");
    run.station_file_sha256 = text_at(j, "station_file_sha256");
    if (j.contains("socket_env") && j["socket_env"].is_object()) {
        for (const auto& [name, value] : j["socket_env"].items()) {
            run.socket_env.emplace_back(name, value.get<std::string>());
        }
    }
}

// A step as the record names it before it runs.
StepRecord step_from(const json& j) {
    StepRecord step;
    step.name = text_at(j, "name");
    step.argv = j.at("argv").get<std::vector<std::string>>();
    step.lock = text_at(j, "lock");
    step.prompt = text_at(j, "prompt");
    return step;
}

std::vector<std::string> errors_at(const json& j) {
    if (!j.contains("errors") || j["errors"].is_null()) return {};
    return j.at("errors").get<std::vector<std::string>>();
}

StepRecord* find_step(RunRecord& run, const std::string& name) {
    for (StepRecord& s : run.steps) {
        if (s.name == name) return &s;
    }
    throw std::runtime_error("an event names the unknown step \"" + name + "\"");
}

}  // namespace

namespace {

// The same repair everywhere: the record, the history and the page replace
// a broken byte alike.
void repair_strings(ordered_json& j) {
    if (j.is_string()) {
        j = utf8_repaired(j.get_ref<const std::string&>());
    } else if (j.is_array()) {
        for (ordered_json& item : j) repair_strings(item);
    } else if (j.is_object()) {
        ordered_json repaired = ordered_json::object();
        for (auto& [key, value] : j.items()) {
            repair_strings(value);
            repaired[utf8_repaired(key)] = std::move(value);
        }
        j = std::move(repaired);
    }
}

}  // namespace

std::string json_text(const ordered_json& j, int indent) {
    ordered_json repaired = j;
    repair_strings(repaired);
    return repaired.dump(indent);
}

namespace {

// The sequence a run followed, as the record names it.
ordered_json sequence_of(const RunRecord& run) {
    return {{"name", run.sequence_name},
            {"version", run.sequence_version},
            {"path", run.sequence_path},
            {"sha256", run.sequence_sha256}};
}

// A board of a station of several: its socket, its environment, the station
// file; nothing for a station of one board.
void add_socket(const RunRecord& run, ordered_json& j) {
    if (run.socket.empty()) return;
    j["socket"] = run.socket;
    ordered_json env = ordered_json::object();
    for (const auto& [name, value] : run.socket_env) env[name] = value;
    j["socket_env"] = env;
    j["station_file_sha256"] = run.station_file_sha256;
}

ordered_json step_json(const StepRecord& s) {
    ordered_json j = {{"name", s.name}, {"argv", s.argv}};
    if (!s.lock.empty()) j["lock"] = s.lock;
    if (!s.prompt.empty()) j["prompt"] = s.prompt;
    return j;
}

// What the run is, said once for its first event and its whole record.
void add_header(const RunRecord& run, ordered_json& j) {
    j["station"] = run.station;
    j["operator"] = optional_text(run.operator_name);
    j["serial"] = run.serial;
    j["device"] = run.device;
    j["image"] = optional_text(run.image);
    j["sequence"] = sequence_of(run);
    j["suite_version"] = run.suite_version;
    j["started"] = run.started;
    j["output"] = run.output;
    j["history"] = optional_text(run.history);
    j["output_limit"] = run.output_limit;
    add_socket(run, j);
}

}  // namespace

ordered_json run_started_event(const RunRecord& run) {
    ordered_json j = {{"event", "run_started"}, {"record_version", kRecordVersion}};
    add_header(run, j);
    j["steps"] = ordered_json::array();
    for (const StepRecord& s : run.steps) j["steps"].push_back(step_json(s));
    return j;
}

ordered_json step_started_event(const std::string& step, int attempt, const std::string& started,
                                std::optional<double> timeout_s, std::optional<double> grace_s) {
    ordered_json j = {
        {"event", "step_started"}, {"step", step}, {"attempt", attempt}, {"started", started}};
    if (timeout_s) j["timeout_s"] = *timeout_s;
    if (grace_s) j["grace_s"] = *grace_s;
    return j;
}

ordered_json lock_wait_event(const std::string& step, int attempt, const std::string& lock,
                             const std::string& since) {
    return {{"event", "lock_wait"},
            {"step", step},
            {"attempt", attempt},
            {"lock", lock},
            {"since", since}};
}

ordered_json attempt_ended_event(const std::string& step, const Attempt& attempt) {
    ordered_json j = {{"event", "attempt_ended"}, {"step", step}};
    const ordered_json fields = attempt_json(attempt);
    for (const auto& [key, value] : fields.items()) j[key] = value;
    return j;
}

ordered_json step_ended_event(const StepRecord& step) {
    ordered_json j = {{"event", "step_ended"},
                      {"step", step.name},
                      {"verdict", verdict_name(verdict_of(step))},
                      {"passed_on_retry", step.passed_on_retry},
                      {"duration_s", step_duration(step)}};
    if (!step.skip_reason.empty()) j["skip_reason"] = step.skip_reason;
    // Why it did not pass, word for word as the console, JUnit and the page
    // say it, for a reader of the record as it grows.
    const std::string note = step_note(step);
    if (!note.empty()) j["note"] = note;
    return j;
}

ordered_json run_resumed_event(const std::string& at, const std::vector<std::string>& interrupted) {
    return {{"event", "run_resumed"}, {"at", at}, {"interrupted", interrupted}};
}

ordered_json operator_asked_event(const std::string& step, int attempt, const std::string& question,
                                  const Prompt& prompt, const RunRecord& run,
                                  const std::string& reason) {
    ordered_json j = {{"event", "operator_asked"}, {"step", step},
                      {"attempt", attempt},        {"question", question},
                      {"prompt", prompt.text},     {"answer", answer_kind_name(prompt.kind)},
                      {"serial", run.serial},      {"socket", optional_text(run.socket)}};
    if (prompt.kind == AnswerKind::yes_no) j["expect"] = prompt.expect_yes ? "yes" : "no";
    if (prompt.kind == AnswerKind::number) {
        j["units"] = prompt.units;
        j["low"] = optional_number(prompt.limits.low);
        j["high"] = optional_number(prompt.limits.high);
    }
    if (prompt.kind == AnswerKind::text) j["pattern"] = prompt.pattern;
    if (!reason.empty()) j["reason"] = reason;
    return j;
}

ordered_json operator_action_event(const OperatorAction& a) {
    return {{"event", "operator_action"}, {"action", a.action}, {"source", a.source}, {"at", a.at}};
}

ordered_json alarm_event(const RunAlarm& a) {
    return {{"event", "alarm"}, {"step", a.step}, {"measurement", a.measurement}, {"rule", a.rule}};
}

namespace {

ordered_json alarms_json(const std::vector<RunAlarm>& alarms) {
    ordered_json out = ordered_json::array();
    for (const RunAlarm& a : alarms) {
        out.push_back({{"step", a.step}, {"measurement", a.measurement}, {"rule", a.rule}});
    }
    return out;
}

RunAlarm alarm_from(const json& j) {
    return {text_at(j, "step"), text_at(j, "measurement"), text_at(j, "rule")};
}

}  // namespace

ordered_json run_ended_event(const RunRecord& run) {
    return {{"event", "run_ended"},
            {"verdict", verdict_name(verdict_of(run))},
            {"exit_status", run.exit_status},
            {"ended", run.ended},
            {"errors", run.errors}};
}

ordered_json record_document(const RunRecord& run) {
    ordered_json j = {
        {"record_version", kRecordVersion},
        {"verdict", run.verdict ? ordered_json(verdict_name(*run.verdict)) : ordered_json(nullptr)},
        {"exit_status", run.exit_status}};
    add_header(run, j);
    j["ended"] = optional_text(run.ended);
    j["resumed"] = run.resumed;
    j["errors"] = run.errors;
    j["alarms"] = alarms_json(run.alarms);
    if (!run.actions.empty()) {
        j["operator_actions"] = ordered_json::array();
        for (const OperatorAction& a : run.actions) {
            j["operator_actions"].push_back(
                {{"action", a.action}, {"source", a.source}, {"at", a.at}});
        }
    }
    j["steps"] = ordered_json::array();
    for (const StepRecord& s : run.steps) {
        ordered_json step = step_json(s);
        step["verdict"] =
            s.verdict ? ordered_json(verdict_name(*s.verdict)) : ordered_json(nullptr);
        step["passed_on_retry"] = s.passed_on_retry;
        step["skip_reason"] = optional_text(s.skip_reason);
        step["attempts"] = ordered_json::array();
        for (const Attempt& a : s.attempts) step["attempts"].push_back(attempt_json(a));
        j["steps"].push_back(step);
    }
    j["counts"] = tally_of(run);
    return j;
}

bool record_from_document(const json& doc, RunRecord& run, std::string& error) {
    try {
        if (doc.at("record_version").get<int>() != kRecordVersion) {
            error = "record version " + doc.at("record_version").dump() + " is not " +
                    std::to_string(kRecordVersion);
            return false;
        }
        run = RunRecord{};
        run_fields_from(doc, run);
        run.ended = text_at(doc, "ended");
        if (!doc.at("verdict").is_null()) run.verdict = verdict_at(doc, "verdict");
        run.exit_status = doc.at("exit_status").get<int>();
        run.errors = errors_at(doc);
        // Records from before alarms were kept have none.
        if (doc.contains("alarms")) {
            for (const json& a : doc.at("alarms")) run.alarms.push_back(alarm_from(a));
        }
        if (doc.contains("operator_actions")) {
            for (const json& a : doc.at("operator_actions")) {
                run.actions.push_back(
                    {text_at(a, "action"), text_at(a, "source"), text_at(a, "at")});
            }
        }
        for (const json& r : doc.at("resumed")) run.resumed.push_back(r.get<std::string>());
        for (const json& s : doc.at("steps")) {
            StepRecord step = step_from(s);
            if (!s.at("verdict").is_null()) step.verdict = verdict_at(s, "verdict");
            step.passed_on_retry = s.value("passed_on_retry", false);
            step.skip_reason = text_at(s, "skip_reason");
            for (const json& a : s.at("attempts")) step.attempts.push_back(attempt_from(a));
            run.steps.push_back(std::move(step));
        }
    } catch (const std::exception& e) {
        error = std::string("not a record: ") + e.what();
        return false;
    }
    return true;
}

bool replay(const std::string& path, RunRecord& run, bool& cut, std::string& error) {
    std::string text;
    if (!read_whole_file(path, text)) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    cut = !text.empty() && text.back() != '\n';
    run = RunRecord{};
    bool started = false;
    std::size_t at = 0;
    int line_number = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) break;  // cut short by a kill
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        ++line_number;
        try {
            const json e = json::parse(line);
            const std::string event = e.at("event").get<std::string>();
            if (event == "run_started") {
                run_fields_from(e, run);
                for (const json& s : e.at("steps")) run.steps.push_back(step_from(s));
                started = true;
            } else if (!started) {
                throw std::runtime_error("an event before the run started");
            } else if (event == "lock_wait") {
                find_step(run, text_at(e, "step"));  // a wait leaves the step as it was
            } else if (event == "step_started") {
                find_step(run, text_at(e, "step"))->begun = true;
            } else if (event == "attempt_ended") {
                find_step(run, text_at(e, "step"))->attempts.push_back(attempt_from(e));
            } else if (event == "step_ended") {
                StepRecord* step = find_step(run, text_at(e, "step"));
                step->verdict = verdict_at(e, "verdict");
                step->passed_on_retry = e.value("passed_on_retry", false);
                step->skip_reason = text_at(e, "skip_reason");
                step->begun = false;
            } else if (event == "run_resumed") {
                take_up(run, text_at(e, "at"));
            } else if (event == "alarm") {
                run.alarms.push_back(alarm_from(e));
            } else if (event == "operator_asked") {
                find_step(run, text_at(e, "step"));  // a question leaves the step as it was
            } else if (event == "operator_action") {
                run.actions.push_back(
                    {text_at(e, "action"), text_at(e, "source"), text_at(e, "at")});
            } else if (event == "run_ended") {
                run.verdict = verdict_at(e, "verdict");
                run.exit_status = e.at("exit_status").get<int>();
                run.ended = text_at(e, "ended");
                run.errors = errors_at(e);
            } else {
                throw std::runtime_error("unknown event \"" + event + "\"");
            }
        } catch (const std::exception& e) {
            error = path + ":" + std::to_string(line_number) + ": " + e.what();
            return false;
        }
    }
    if (!started) {
        error = path + ": no run started in it";
        return false;
    }
    return true;
}
