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

#include "escape.h"
#include "events.h"
#include "files.h"
#include "guard.h"
#include "history.h"
#include "junit.h"
#include "locks.h"
#include "measure.h"
#include "record_facts.h"
#include "record_files.h"
#include "record_log.h"
#include "report_page.h"
#include "run_folder.h"
#include "sequence.h"
#include "signal_wake.h"
#include "times.h"

namespace {

constexpr int kTrouble = 2;

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string working_folder() {
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) ? cwd : ".";
}

// This program's own folder: its sibling programs and its data are found from it.
std::string own_folder() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    return folder_of(path);
}

// A program named with a folder, from the working folder; a bare name beside
// station_run first, then on PATH. An absolute path, or empty when nowhere.
std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        const std::string path =
            std::filesystem::path(name[0] == '/' ? name : working_folder() + "/" + name)
                .lexically_normal();
        return access(path.c_str(), F_OK) == 0 ? path : "";
    }
    const std::string beside = own_folder() + "/" + name;
    if (access(beside.c_str(), X_OK) == 0) return beside;
    const std::string found = find_on_path(name);
    return found.empty() || found[0] == '/' ? found : working_folder() + "/" + found;
}

std::string substituted(std::string arg, const RunRecord& run, const std::string& expected_tone) {
    const std::pair<const char*, const std::string*> fields[] = {
        {"{device}", &run.device},
        {"{image}", &run.image},
        {"{output}", &run.output},
        {"{expected_tone}", &expected_tone}};
    for (const auto& [name, value] : fields) {
        for (size_t at = arg.find(name); at != std::string::npos; at = arg.find(name, at)) {
            arg.replace(at, strlen(name), *value);
            at += value->size();
        }
    }
    return arg;
}

// One line a step: its verdict, name, time and what its note says.
void print_step(const StepRecord& s) {
    const std::string note = step_note(s);
    printf("%-9s %-24s %7.1f s%s%s\n", verdict_name(s.verdict.value_or(Verdict::aborted)),
           terminal_safe(s.name).c_str(), step_duration(s), note.empty() ? "" : "  ",
           terminal_safe(note).c_str());
}

// A test control: ORLIX_STATION_HOLD=EVENT[@N] holds the station for a
// minute after the N-th (default first) such event is on the disk, so that
// a test can kill it exactly there.
struct HoldRule {
    std::string event;
    long nth = 1;
};

std::optional<HoldRule> hold_rule() {
    const char* text = std::getenv("ORLIX_STATION_HOLD");
    if (text == nullptr) return {};
    const std::string r = text;
    const std::size_t at = r.find('@');
    HoldRule rule{r.substr(0, at), 1};
    if (rule.event.empty() ||
        rule.event.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") != std::string::npos) {
        return HoldRule{};
    }
    if (at != std::string::npos) {
        const std::string n = r.substr(at + 1);
        if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos ||
            std::stol(n) < 1) {
            return HoldRule{};
        }
        rule.nth = std::stol(n);
    }
    return rule;
}

void hold_after(const std::string& event) {
    static long seen = 0;
    static const std::optional<HoldRule> rule = hold_rule();
    if (!rule || rule->event != event || ++seen != rule->nth) return;
    for (int i = 0; i < 600 && termination_signal == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// Everything one run needs while its steps run.
struct Run {
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

    void append(const nlohmann::ordered_json& event) {
        if (!logged) return;
        logged = log.append(event, log_error);
        if (!logged) trouble(log_error);
        hold_after(event.value("event", ""));
    }
};

HistoryLimits limits_of(const RunSettings& settings) {
    return {settings.history_timeout_s, signal_wake_fd(), &signals_caught};
}

// Opens the history before anything touches the device: one that is no
// history refuses the run; one that cannot be reached now is reported, and
// the run goes on without it.
bool open_history(Run& run) {
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

// Every step's program is there: named in the sequence, or for a resumed
// run as its record names it.
bool programs_found(const Sequence& sequence, const RunRecord* resumed) {
    for (std::size_t i = 0; i < sequence.steps.size(); ++i) {
        const Step& step = sequence.steps[i];
        const std::string& program = resumed ? resumed->steps[i].argv[0] : step.run[0];
        if (find_program(program).empty()) {
            trouble(sequence.path + ": step " + step.name + ": program not found: " + program);
            return false;
        }
    }
    return true;
}

// Waits for the step's lock, when it names one on a station of several
// boards: an attempt starts once it holds it, and the record says at once
// that it waits. The wait ends at the step's lock_timeout_s (its timeout_s
// when unset), so that a board stopped while it holds the lock holds no
// other for good.
LockWait wait_for_lock(Run& run, const Step& step, const StepRecord& rec,
                       std::optional<double>& waited_s) {
    if (rec.lock.empty()) return LockWait::granted;
    const auto asked = std::chrono::steady_clock::now();
    LockWait wait = LockWait::granted;
    if (run.settings.lock_fd >= 0) {
        const int attempt = static_cast<int>(rec.attempts.size()) + 1;
        run.append(lock_wait_event(rec.name, attempt, rec.lock, utc_now()));
        if (!run.logged) return LockWait::stopped;
        wait =
            take_lock(run.settings.lock_fd, rec.lock, step.lock_timeout_s.value_or(step.timeout_s),
                      signal_wake_fd(), &signals_caught);
    }
    waited_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    return wait;
}

// An attempt whose lock never came: its deadline passed before it could run.
Attempt lock_timed_out(const Step& step, const StepRecord& rec, int number, double waited_s,
                       const std::string& asked) {
    Attempt a;
    a.number = number;
    a.started = asked;
    a.ended = utc_now();
    a.lock_wait_s = waited_s;
    a.timed_out = true;
    a.verdict = Verdict::timeout;
    a.note = "no " + rec.lock + " within " +
             number_text(step.lock_timeout_s.value_or(step.timeout_s)) +
             " s: another board held it";
    a.measurements = not_measured(step, "not taken: the step's lock never came");
    return a;
}

// Runs one attempt of a step and measures it.
Attempt run_attempt(Run& run, const Step& step, const StepRecord& rec, int number,
                    std::optional<double> lock_wait_s) {
    Attempt a;
    a.number = number;
    a.lock_wait_s = lock_wait_s;
    a.stdout_file = step.name + "." + std::to_string(number) + ".stdout";
    a.stderr_file = step.name + "." + std::to_string(number) + ".stderr";
    run.append(step_started_event(step.name, number, utc_now(), step.timeout_s, step.grace_s));
    std::vector<std::string> argv = rec.argv;
    const std::string program = find_program(argv[0]);
    if (!program.empty()) argv[0] = program;
    const RunRecord& r = run.record;
    std::vector<std::string> env;
    for (const auto& [name, value] : r.socket_env) env.push_back(name + "=" + value);
    // Every program of the step talks to this board, also one that takes no
    // device on its command line.
    env.push_back("ORLIX_DEVICE=" + r.device);
    const Outcome out =
        supervise({argv, env, r.output, r.output + "/" + a.stdout_file,
                   r.output + "/" + a.stderr_file, step.timeout_s, step.grace_s, r.output_limit,
                   run.settings.live, signal_wake_fd(), &signals_caught});
    if (!rec.lock.empty() && run.settings.lock_fd >= 0) {
        give_back_lock(run.settings.lock_fd, rec.lock);
    }
    if (out.stopped_at_once) {
        trouble("a second signal: the step was stopped at once");
    }
    a.started = out.started;
    a.ended = out.ended;
    a.duration_s = out.duration_s;
    a.exit_status = out.exit_status;
    a.signal = out.signal;
    a.timed_out = out.timed_out;
    a.note = out.failure;
    a.stdout_bytes = out.out.bytes;
    a.stderr_bytes = out.err.bytes;
    a.stdout_cut = out.out.cut;
    a.stderr_cut = out.err.cut;
    if (!out.failure.empty()) {
        a.verdict = Verdict::error;
        a.measurements = not_measured(step, "not taken: the step could not run");
    } else if (out.stopped) {
        a.verdict = Verdict::aborted;
        a.measurements = not_measured(step, "not taken: the run was aborted");
    } else if (out.timed_out) {
        a.verdict = Verdict::timeout;
        a.measurements = not_measured(step, "not taken: the deadline passed");
    } else {
        FilePart output;
        if (!step.measures.empty() && !out.out.cut) {
            read_file_part(r.output, a.stdout_file, static_cast<std::size_t>(r.output_limit), false,
                           output);
        }
        const auto deadline =
            out.begun + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(step.timeout_s + step.grace_s));
        a.measurements = measure_step(step, out.exit_status, {output.bytes, out.out.cut}, deadline);
        a.verdict = Verdict::pass;
        for (const Measurement& m : a.measurements) a.verdict = worse(a.verdict, m.verdict);
    }
    return a;
}

// Runs the attempts of a step until one passes or its retries are spent; a
// resumed step whose attempts are complete only ends. False when a
// termination signal stopped it.
bool run_step(Run& run, const Step& step, StepRecord& rec) {
    for (;;) {
        if (!rec.attempts.empty()) {
            const Attempt& last = rec.attempts.back();
            if (passed(last.verdict) || static_cast<int>(rec.attempts.size()) > step.retries) break;
        }
        if (termination_signal != 0 || !run.logged) return false;
        std::optional<double> waited;
        const int number = static_cast<int>(rec.attempts.size()) + 1;
        const std::string asked = utc_now();
        const LockWait wait = wait_for_lock(run, step, rec, waited);
        if (wait == LockWait::stopped || wait == LockWait::station_gone) return false;
        Attempt a = wait == LockWait::timed_out
                        ? lock_timed_out(step, rec, number, waited.value_or(0), asked)
                        : run_attempt(run, step, rec, number, waited);
        rec.attempts.push_back(a);
        run.append(attempt_ended_event(step.name, a));
        if (a.verdict == Verdict::aborted) {
            rec.verdict = Verdict::aborted;
            return false;
        }
    }
    rec.verdict = rec.attempts.back().verdict;
    rec.passed_on_retry = passed(*rec.verdict) && rec.attempts.size() > 1;
    return true;
}

// Runs every step that has no verdict yet; false when the run was aborted.
bool run_steps(Run& run) {
    bool aborted = false;
    bool stopping = false;  // a failed step that stops the run
    for (std::size_t i = 0; i < run.sequence.steps.size(); ++i) {
        const Step& step = run.sequence.steps[i];
        StepRecord& rec = run.record.steps[i];
        if (!rec.verdict) {
            if (aborted || termination_signal != 0 || !run.logged) {
                aborted = true;
                continue;
            }
            if (stopping) {
                rec.verdict = Verdict::skipped;
                rec.skip_reason = "an earlier step failed and stops the run";
            } else if (step.requires_image && run.record.image.empty()) {
                rec.verdict = Verdict::skipped;
                rec.skip_reason = "no image given (-i)";
            } else if (!run_step(run, step, rec)) {
                aborted = true;
            }
            if (rec.verdict) run.append(step_ended_event(rec));
        }
        if (rec.verdict) print_step(rec);
        if (rec.verdict && !passed(*rec.verdict) && *rec.verdict != Verdict::skipped &&
            step.stop_on_fail) {
            stopping = true;
        }
    }
    return !aborted;
}

// The verdict line, and the files that exist.
void print_end(const RunRecord& run, bool published) {
    std::map<std::string, int> t = tally_of(run);
    printf("Run %s: %d of %d steps passed, %d skipped, %d on retry (exit status %d)\n",
           verdict_name(run.verdict.value_or(Verdict::aborted)), t["passed"] + t["marginal"],
           t["steps"], t["skipped"], t["passed_on_retry"], run.exit_status);
    if (!published) return;
    const std::string folder = terminal_safe(run.output);
    printf("Record: %s/record.json\nJUnit: %s/junit.xml\n", folder.c_str(), folder.c_str());
}

// The history written, or the reason it was not.
std::vector<std::string> write_history(Run& run) {
    if (!run.history) {
        HistoryFault fault;
        std::string error;
        run.history =
            History::open(run.history_target, false, limits_of(run.settings), error, fault);
        if (!run.history) return {"history: " + error};
    }
    std::string error;
    if (!run.history->end_run(run.record, error)) {
        run.history.reset();
        return {"history: " + error};
    }
    return {};
}

// Ends the run: its files written, then the history, then the last event,
// and at the end the files named; then the verdict on the console. Whatever
// can change the exit status is known before the history row and the last
// event, which carry it: files that cannot be written whole, a history that
// cannot keep the run, a record that cannot take its last event.
int conclude_and_publish(Run& run, bool aborted) {
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
    if (!finish_output("station_run")) r.exit_status = std::max(r.exit_status, kTrouble);
    if (termination_signal != 0) die_by_signal(termination_signal);
    return r.exit_status;
}

// A resumed run that ended already: said again as it stands. One whose
// history could not be written then has it written now, with the verdict
// the record then takes (its history's trouble gone), the same in both.
int restate(Run& run) {
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
    return finish_output("station_run") && published ? r.exit_status : kTrouble;
}

}  // namespace

bool hold_control_valid(std::string& error) {
    const std::optional<HoldRule> rule = hold_rule();
    if (rule && rule->event.empty()) {
        error = "ORLIX_STATION_HOLD: \"" + std::string(std::getenv("ORLIX_STATION_HOLD")) +
                "\" is no EVENT[@N]";
        return false;
    }
    return true;
}

int trouble(const std::string& what) {
    fprintf(stderr, "station_run: %s\n", terminal_safe(what).c_str());
    return kTrouble;
}

std::string sequence_file_of(const NewRun& run) {
    const std::string path = run.sequence.empty()
                                 ? own_folder() + "/../share/orlix-suite/board-acceptance.toml"
                                 : run.sequence;
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : path;
}

int run_new(const NewRun& o, const RunSettings& settings) {
    Run run;
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
    if (!make_run_folder(r.output, o.serial, run.lock, error)) return trouble(error);
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
        if (argv[0].find('/') != std::string::npos) argv[0] = find_program(argv[0]);
        r.steps.push_back({step.name, argv, {}, {}, "", false, false, step.lock});
    }
    if (!catch_signals_to_pipe()) return trouble(strerror(errno));
    if (!run.log.open(r.output + "/record.jsonl", error)) return trouble(error);
    run.append(run_started_event(r));
    if (!run.logged) return kTrouble;
    if (run.history && !run.history->begin_run(r, error)) {
        trouble("history: " + error);
        run.history.reset();
    }
    const bool finished = run_steps(run);
    return conclude_and_publish(run, !finished);
}

int run_resumed(const std::string& folder, const RunSettings& settings) {
    Run run;
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
        same_steps = run.sequence.steps[i].name == r.steps[i].name && !r.steps[i].argv.empty();
    }
    if (!same_steps) return trouble(folder + ": the record's steps are not the sequence's");
    if (!programs_found(run.sequence, &r)) return kTrouble;
    // Records from before the history was named in them kept it here.
    run.history_target = r.history.empty() ? "station.sqlite" : r.history;
    if (r.output_limit == 0) r.output_limit = kDefaultOutputLimit;
    if (!catch_signals_to_pipe()) return trouble(strerror(errno));
    if (!run.log.open(r.output + "/record.jsonl", error)) return trouble(error);
    if (r.verdict && *r.verdict != Verdict::aborted) return restate(run);
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
    const bool finished = run_steps(run);
    return conclude_and_publish(run, !finished);
}
