#include "record_facts.h"

#include "decimal.h"

std::string number_text(const std::optional<double>& v) {
    return v ? decimal_text(*v) : "none";
}

std::string measurement_text(const Measurement& m) {
    if (!m.value) return m.name + ": " + (m.note.empty() ? "no value" : m.note);
    return m.name + " = " + number_text(m.value) + (m.units.empty() ? "" : " " + m.units) +
           ", low " + number_text(m.limits.low) + ", high " + number_text(m.limits.high);
}

double step_duration(const StepRecord& s) {
    double time = 0;
    for (const Attempt& a : s.attempts) time += a.duration_s;
    return time;
}

const Attempt* deciding_attempt(const StepRecord& s) {
    return s.attempts.empty() ? nullptr : &s.attempts.back();
}

std::string attempt_reason(const Attempt& a) {
    if (!a.note.empty()) return a.note;
    if (a.timed_out) return "the deadline passed";
    // A figure out of its limits says more than the exit status it caused;
    // a figure missing says less than the exit status that explains it.
    const Measurement* first = nullptr;
    for (const Measurement& m : a.measurements) {
        if (passed(m.verdict) || m.verdict == Verdict::skipped) continue;
        if (m.value && m.name != "exit_status") return measurement_text(m);
        if (first == nullptr) first = &m;
    }
    return first ? measurement_text(*first) : "";
}

std::string step_note(const StepRecord& s) {
    if (s.verdict == Verdict::aborted) return "the run was aborted";
    if (s.verdict == Verdict::skipped) return s.skip_reason;
    const Attempt* last = deciding_attempt(s);
    if (last == nullptr) return s.skip_reason;
    if (s.passed_on_retry) return "passed on retry, attempt " + std::to_string(last->number);
    return attempt_reason(*last);
}

std::map<std::string, int> tally_of(const RunRecord& run) {
    std::map<std::string, int> t = {{"steps", 0}, {"passed_on_retry", 0}};
    for (const VerdictFacts& f : kVerdicts) t[f.count] = 0;
    for (const StepRecord& s : run.steps) {
        ++t["steps"];
        ++t[facts_of(verdict_of(s)).count];
        t["passed_on_retry"] += s.passed_on_retry;
    }
    return t;
}
