#include "board_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "base/signal_wake.h"
#include "base/times.h"
#include "base/trouble.h"
#include "control_channel.h"
#include "escape.h"
#include "files.h"
#include "guard.h"
#include "operator.h"
#include "outputs/record_files.h"
#include "programs.h"
#include "record/events.h"
#include "record/record_facts.h"
#include "run_state.h"
#include "steps.h"

namespace {

// Opens the history before anything touches the device: one that is no
// history refuses the run; one that cannot be reached now is reported, and
// the run goes on without it.
bool open_history(BoardRunState& run) {
    HistoryFault fault;
    run.history =
        History::open(run.history_target, false, limits_of(run.settings), run.history_error, fault);
    if (run.history) return true;
    if (fault == HistoryFault::configuration) {
        trouble("history: " + run.history_error);
        return false;
    }
    trouble("history: " + run.history_error + " (the run goes on; --resume writes it later)");
    return true;
}

// The verdict line, and the files that exist.
void print_end(const RunRecord& run, bool published) {
    std::map<std::string, int> t = tally_of(run);
    // The process's news, not the board's: its verdict stands.
    for (const RunAlarm& a : run.alarms) {
        printf("Alarm: %s/%s broke run rule %s (the board's verdict stands)\n",
               terminal_safe(a.step).c_str(), terminal_safe(a.measurement).c_str(), a.rule.c_str());
    }
    printf("Run %s: %d of %d steps passed, %d skipped, %d on retry (exit status %d)\n",
           verdict_name(verdict_of(run)), t["passed"] + t["marginal"], t["steps"], t["skipped"],
           t["passed_on_retry"], run.exit_status);
    if (!published) return;
    const std::string folder = terminal_safe(run.output);
    printf("Record: %s/record.json\nJUnit: %s/junit.xml\n", folder.c_str(), folder.c_str());
}

// The history written, or the reason it was not.
std::vector<std::string> write_history(BoardRunState& run) {
    if (!run.history) {
        HistoryFault fault;
        std::string error;
        run.history =
            History::open(run.history_target, false, limits_of(run.settings), error, fault);
        if (!run.history) return {"history: " + error};
    }
    std::string error;
    std::vector<RunAlarm> raised;
    if (!run.history->end_run(run.record, error, &raised)) {
        run.history.reset();
        return {"history: " + error};
    }
    run.record.alarms = std::move(raised);
    return {};
}

// Ends the run: its files written, then the history, then the last event,
// and at the end the files named; then the verdict on the console. Whatever
// can change the exit status is known before the history row and the last
// event, which carry it: files that cannot be written whole, a history that
// cannot keep the run, a record that cannot take its last event.
int conclude_and_publish(BoardRunState& run, bool aborted) {
    RunRecord& r = run.record;
    for (StepRecord& s : r.steps) {
        if (!s.verdict) s.verdict = Verdict::aborted;
    }
    r.ended = utc_now();
    std::vector<std::string> station_errors;
    if (!run.logged) station_errors.push_back("record.jsonl: " + run.log_error);
    conclude(r, aborted, station_errors);
    RecordFiles files;
    std::string error;
    if (!files.write(r, error)) {
        station_errors.push_back("the record cannot be written whole: " + error);
        trouble(station_errors.back());
        conclude(r, aborted, station_errors);
    }
    for (const std::string& e : write_history(run)) {
        trouble(e);
        station_errors.push_back(e);
    }
    const bool logged_before = run.logged;
    conclude(r, aborted, station_errors);
    for (const RunAlarm& a : r.alarms) run.append(alarm_event(a));
    run.append(run_ended_event(r));
    if (logged_before && !run.logged) {
        station_errors.push_back("record.jsonl: " + run.log_error);
        conclude(r, aborted, station_errors);
    }
    // The files as the run ended, named; a failure this late is the exit
    // status's alone, which a station reads above the record's.
    bool published = false;
    if (files.written()) {
        published = files.write(r, error) && files.commit(error);
        if (!published) {
            trouble("the record cannot be written whole: " + error);
            r.exit_status = std::max(r.exit_status, kTrouble);
        }
    }
    print_end(r, published);
    r.exit_status = end_run(r.exit_status);
    return r.exit_status;
}

// A resumed run that ended already: said again as it stands. One whose
// history could not be written then has it written now, with the verdict
// the record then takes (its history's trouble gone), the same in both.
int restate(BoardRunState& run) {
    RunRecord& r = run.record;
    const bool history_missing = std::any_of(r.errors.begin(), r.errors.end(), [](const auto& e) {
        return e.rfind("history: ", 0) == 0;
    });
    if (history_missing) {
        const RunRecord before = r;
        std::vector<std::string> kept;
        for (const std::string& e : r.errors) {
            if (e.rfind("history: ", 0) != 0 && e != "no step ran") kept.push_back(e);
        }
        conclude(r, r.verdict == Verdict::aborted, kept);
        r.ended = before.ended;
        const std::vector<std::string> left = write_history(run);
        if (left.empty()) {
            const std::string now = utc_now();
            run.append(run_resumed_event(now, {}));
            for (const RunAlarm& a : r.alarms) run.append(alarm_event(a));
            run.append(run_ended_event(r));
            r.resumed.push_back(now);
        } else {
            r = before;  // the history still cannot keep it: the run stays as it was
        }
        for (const std::string& e : left) trouble(e);
    }
    RecordFiles files;
    std::string error;
    const bool published = files.write(r, error) && files.commit(error);
    if (!published) trouble("the record cannot be written whole: " + error);
    for (const StepRecord& s : r.steps) print_step(s);
    printf("Run %s (ended %s, exit status %d)\n", verdict_name(*r.verdict), r.ended.c_str(),
           r.exit_status);
    if (!published) printf("The record could not be written\n");
    return end_run(published ? r.exit_status : kTrouble);
}

void record_action(BoardRunState& run, const char* action, const std::string& source,
                   const std::string& at) {
    const OperatorAction a{action, source, at};
    run.record.actions.push_back(a);
    run.append(operator_action_event(a));
}

// The steps run, a view's request to abort them watched for (one that
// cannot make the run's control folder runs without), and the run ended.
int run_and_conclude(BoardRunState& run) {
    bool finished = false;
    std::optional<std::string> abort_asked;
    if (make_control_folder(run.record.output)) {
        const AbortWatch watch(run.record.output);
        finished = run_steps(run);
        abort_asked = watch.asked();
    } else {
        finished = run_steps(run);
    }
    if (abort_asked) record_action(run, "abort", "view", *abort_asked);
    return conclude_and_publish(run, !finished);
}

}  // namespace

int run_board(const NewBoardRun& o, const RunSettings& settings) {
    BoardRunState run;
    run.settings = settings;
    if (o.device.empty()) return trouble("-d DEVICE is required");
    std::string error;
    if (!load_sequence(sequence_file_of(o), run.sequence, error)) return trouble(error);
    char resolved[PATH_MAX];
    if (!programs_found(run.sequence, nullptr)) return kTrouble;
    RunRecord& r = run.record;
    // The steps run in the run folder: the image is named from anywhere.
    if (!o.image.empty()) {
        if (realpath(o.image.c_str(), resolved) == nullptr) {
            return trouble(o.image + ": " + strerror(errno));
        }
        r.image = resolved;
    }
    run.history_target = o.history;
    if (!open_history(run)) return kTrouble;
    r.output = o.output;
    if (!make_run_folder(r.output, o.serial, run.lock, error, o.parent)) return trouble(error);
    r.station = o.station;
    r.operator_name = o.operator_name;
    r.serial = o.serial;
    r.device = o.device;
    r.sequence_name = run.sequence.name;
    r.sequence_version = run.sequence.version;
    r.sequence_path = run.sequence.path;
    r.sequence_sha256 = run.sequence.sha256;
    r.suite_version = ORLIX_SUITE_VERSION;
    r.history = History::shown_target(o.history);
    r.output_limit = o.output_limit;
    r.socket = o.socket;
    r.socket_env = o.socket_env;
    r.station_file_sha256 = o.station_file_sha256;
    r.started = utc_now();
    for (const Step& step : run.sequence.steps) {
        std::vector<std::string> argv;
        for (const std::string& arg : step.run) {
            argv.push_back(substituted(arg, r, number_text(o.expected_tone_hz)));
        }
        // A program named from the working folder is found from anywhere later.
        if (!argv.empty() && argv[0].find('/') != std::string::npos) {
            argv[0] = find_program(argv[0]);
        }
        r.steps.push_back({step.name,
                           argv,
                           {},
                           {},
                           "",
                           false,
                           false,
                           step.lock,
                           step.prompt ? step.prompt->text : ""});
    }
    if (!catch_signals_to_pipe()) return trouble(strerror(errno));
    if (!run.log.open(r.output + "/record.jsonl", error)) return trouble(error);
    run.append(run_started_event(r));
    if (!run.logged) return kTrouble;
    if (!o.started_from.empty()) record_action(run, "start", o.started_from, r.started);
    if (run.history && !run.history->begin_run(r, error)) {
        trouble("history: " + error);
        run.history.reset();
    }
    return run_and_conclude(run);
}

int resume_board(const std::string& folder, const RunSettings& settings) {
    BoardRunState run;
    run.settings = settings;
    std::string error;
    char resolved[PATH_MAX];
    if (realpath(folder.c_str(), resolved) == nullptr) {
        return trouble(folder + ": " + strerror(errno));
    }
    if (!run.lock.take(resolved, error)) return trouble(error);
    RunRecord& r = run.record;
    bool cut = false;
    if (!replay(std::string(resolved) + "/record.jsonl", r, cut, error)) return trouble(error);
    r.output = resolved;  // the folder may have moved since
    if (!load_sequence(r.sequence_path, run.sequence, error)) return trouble(error);
    if (run.sequence.sha256 != r.sequence_sha256) {
        return trouble(r.sequence_path + " changed since the run started");
    }
    bool same_steps = run.sequence.steps.size() == r.steps.size();
    for (std::size_t i = 0; same_steps && i < r.steps.size(); ++i) {
        const Step& step = run.sequence.steps[i];
        same_steps = step.name == r.steps[i].name && r.steps[i].argv.empty() == !!step.prompt;
    }
    if (!same_steps) return trouble(folder + ": the record's steps are not the sequence's");
    if (!programs_found(run.sequence, &r)) return kTrouble;
    // Records from before the history was named in them kept it here.
    run.history_target = r.history.empty() ? "station.sqlite" : r.history;
    if (r.output_limit == 0) r.output_limit = kDefaultOutputLimit;
    if (!catch_signals_to_pipe()) return trouble(strerror(errno));
    if (!run.log.open(r.output + "/record.jsonl", error)) return trouble(error);
    if (finished(r)) return restate(run);
    if (!open_history(run)) return kTrouble;
    // What an earlier run left unfinished runs again: a step it was in, and
    // any step an abort cut short.
    const std::vector<std::string> interrupted = interrupted_steps(r);
    const std::string now = utc_now();
    take_up(r, now);
    run.append(run_resumed_event(now, interrupted));
    if (!run.logged) return kTrouble;
    printf("Resuming %s\n", terminal_safe(r.output).c_str());
    if (run.history && !run.history->begin_run(r, error)) {
        trouble("history: " + error);
        run.history.reset();
    }
    return run_and_conclude(run);
}
