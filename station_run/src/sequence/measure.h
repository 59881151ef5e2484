// Measurements, their limits, margins and verdicts, and the verdicts of steps
// and runs.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sequence.h"
#include "verdict.h"

struct Measurement {
    std::string name;
    std::string units;
    std::optional<double> value;  // empty when missing or no number
    Limits limits;
    // Distance to the nearest limit in the units, negative outside; and that
    // as a percentage of the band where both limits are given.
    std::optional<double> margin, margin_percent;
    Verdict verdict = Verdict::error;
    std::string note;  // why the value is missing
};

// Judges a value against its limits.
Measurement judge(const std::string& name, const std::string& units, std::optional<double> value,
                  const Limits& limits, const std::string& note = "");

// A step's measurements: its exit status (or the signal that ended it), then
// each measure read from its standard output. A measure not done by
// `deadline` is ERROR.
struct StepOutput {
    std::string_view text;  // the standard output as saved
    bool cut = false;       // the saved output stopped at its limit
};
std::vector<Measurement> measure_step(const Step& step, std::optional<int> exit_status,
                                      const StepOutput& output,
                                      std::chrono::steady_clock::time_point deadline);

// Measurements not taken because the attempt ended early (`why`): SKIPPED.
std::vector<Measurement> not_measured(const Step& step, const std::string& why);
