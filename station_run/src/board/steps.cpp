#include "steps.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/signal_wake.h"
#include "base/times.h"
#include "base/trouble.h"
#include "escape.h"
#include "files.h"
#include "guard.h"
#include "locks.h"
#include "operator.h"
#include "programs.h"
#include "record/events.h"
#include "record/record_facts.h"
#include "sequence/measure.h"
#include "supervisor.h"

namespace {

// Waits for the step's lock, when it names one on a station of several
// boards: an attempt starts once it holds it, and the record says at once
// that it waits. The wait ends at the step's lock_timeout_s (its timeout_s
// when unset), so that a board stopped while it holds the lock holds no
// other for good.
LockWait wait_for_lock(BoardRunState& run, const Step& step, const StepRecord& rec,
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
Attempt run_attempt(BoardRunState& run, const Step& step, const StepRecord& rec, int number,
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
bool run_step(BoardRunState& run, const Step& step, StepRecord& rec) {
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
                    : step.prompt ? ask_operator(run, step, number, waited)
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

}  // namespace

void print_step(const StepRecord& s) {
    const std::string note = step_note(s);
    printf("%-9s %-24s %7.1f s%s%s\n", verdict_name(verdict_of(s)), terminal_safe(s.name).c_str(),
           step_duration(s), note.empty() ? "" : "  ", terminal_safe(note).c_str());
}

bool run_steps(BoardRunState& run) {
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
        if (counts_as_failed(rec) && step.stop_on_fail) {
            stopping = true;
        }
    }
    return !aborted;
}
