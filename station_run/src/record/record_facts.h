// Facts about a run decided once, on its record: how long a step took, the
// attempt that decided it, what its line says beside its verdict, a
// measurement or number as text, and the run's tally. The console, JUnit and
// the page only format them, so that they agree word for word.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "run_record.h"

// A value as every writer shows it ("none" when there is none).
std::string number_text(const std::optional<double>& v);

// "NAME = VALUE UNITS, low L, high H", or "NAME: why it has no value".
std::string measurement_text(const Measurement& m);

// The time of all its attempts.
double step_duration(const StepRecord& s);

// The attempt whose verdict is the step's: its last; none before one ran.
const Attempt* deciding_attempt(const StepRecord& s);

// Why an attempt did not pass: its deadline, why it could not run, or its
// first failing measurement; empty when it passed.
std::string attempt_reason(const Attempt& a);

// What a step's line says beside its verdict: why it did not pass, why it
// was skipped, or that it passed on retry; empty when it simply passed.
std::string step_note(const StepRecord& s);

// The steps of a run by verdict, as record.json counts them: "steps", each
// verdict's count key (every one present), and "passed_on_retry".
std::map<std::string, int> tally_of(const RunRecord& run);
