#include "run_record.h"

#include <algorithm>

Verdict verdict_of(const StepRecord& step) {
    return step.verdict.value_or(Verdict::aborted);
}

Verdict verdict_of(const RunRecord& run) {
    return run.verdict.value_or(Verdict::aborted);
}

bool counts_as_failed(const StepRecord& step) {
    return step.verdict && !passed(*step.verdict) && *step.verdict != Verdict::skipped;
}

bool finished(const RunRecord& run) {
    return run.verdict && *run.verdict != Verdict::aborted;
}

void conclude(RunRecord& run, bool aborted, const std::vector<std::string>& station_errors) {
    Verdict verdict = Verdict::pass;
    int status = 0;
    bool ran = false;
    for (const StepRecord& s : run.steps) {
        ran = ran || !s.attempts.empty();
        if (!s.verdict) continue;
        verdict = worse(verdict, *s.verdict);
        status = std::max(status, exit_status_of(*s.verdict));
    }
    run.errors.clear();
    if (!ran && !aborted) run.errors.push_back("no step ran");
    run.errors.insert(run.errors.end(), station_errors.begin(), station_errors.end());
    if (!run.errors.empty()) {
        verdict = worse(verdict, Verdict::error);
        status = std::max(status, exit_status_of(Verdict::error));
    }
    if (aborted) {
        verdict = Verdict::aborted;
        status = std::max(status, exit_status_of(Verdict::aborted));
    }
    run.verdict = verdict;
    run.exit_status = status;
}

std::vector<std::string> interrupted_steps(const RunRecord& run) {
    std::vector<std::string> out;
    for (const StepRecord& s : run.steps) {
        const bool unfinished = !s.verdict && (s.begun || !s.attempts.empty());
        if (unfinished || s.verdict == Verdict::aborted) out.push_back(s.name);
    }
    return out;
}

void take_up(RunRecord& run, const std::string& at) {
    for (StepRecord& s : run.steps) {
        if (s.verdict == Verdict::aborted) s.verdict.reset();
        std::erase_if(s.attempts, [](const Attempt& a) { return a.verdict == Verdict::aborted; });
        s.begun = false;
    }
    run.resumed.push_back(at);
    run.verdict.reset();
    run.ended.clear();
    run.errors.clear();
    run.exit_status = 0;
}
