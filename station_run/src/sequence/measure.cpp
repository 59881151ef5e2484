#include "measure.h"

#include <re2/re2.h>

#include <algorithm>
#include <cmath>

#include "decimal.h"
#include "json_pointer.h"

namespace {

Measurement from_pattern(const Measure& m, std::string_view output,
                         std::chrono::steady_clock::time_point deadline) {
    RE2::Options options;
    options.set_log_errors(false);
    const RE2 pattern(m.stdout_pattern, options);
    if (!pattern.ok() || pattern.NumberOfCapturingGroups() < 1) {
        return judge(m.name, m.units, {}, m.limits, "the pattern does not parse");
    }
    // The last match, found going forward; the search is linear in the text,
    // and the deadline is looked at between matches.
    re2::StringPiece whole[2];
    std::optional<std::string> group;
    std::size_t at = 0, count = 0;
    while (at <= output.size() && pattern.Match(re2::StringPiece(output.data(), output.size()), at,
                                                output.size(), RE2::UNANCHORED, whole, 2)) {
        group = std::string(whole[1].data() ? whole[1].data() : "", whole[1].size());
        const std::size_t end =
            static_cast<std::size_t>(whole[0].data() - output.data()) + whole[0].size();
        at = whole[0].empty() ? end + 1 : end;
        if (++count % 1024 == 0 && std::chrono::steady_clock::now() > deadline) {
            return judge(m.name, m.units, {}, m.limits, "measuring ran past the step's deadline");
        }
    }
    if (!group) return judge(m.name, m.units, {}, m.limits, "no match in the output");
    const std::optional<double> v = decimal_number(*group);
    std::string note;
    if (!v) {
        note = '"';
        note += group->substr(0, 64);
        note += "\" is no number";
    }
    return judge(m.name, m.units, v, m.limits, note);
}

Measurement from_pointer(const Measure& m, std::string_view output) {
    const PointerValue found = json_pointer_value(output, m.json_pointer);
    switch (found.kind) {
        case PointerValue::no_json:
            return judge(m.name, m.units, {}, m.limits, "the output is no JSON");
        case PointerValue::absent:
            return judge(m.name, m.units, {}, m.limits, "no value at " + m.json_pointer);
        case PointerValue::null:
            return judge(m.name, m.units, {}, m.limits,
                         "the value at " + m.json_pointer + " is null");
        case PointerValue::not_number:
            return judge(m.name, m.units, {}, m.limits,
                         "the value at " + m.json_pointer + " is no number");
        case PointerValue::number:
            break;
    }
    if (!std::isfinite(found.value)) {
        return judge(m.name, m.units, {}, m.limits,
                     "the value at " + m.json_pointer + " is no finite number");
    }
    return judge(m.name, m.units, found.value, m.limits);
}

}  // namespace

Measurement judge(const std::string& name, const std::string& units, std::optional<double> value,
                  const Limits& limits, const std::string& note) {
    Measurement m;
    m.name = name;
    m.units = units;
    m.value = value;
    m.limits = limits;
    m.note = note;
    if (!value) {
        m.verdict = Verdict::error;
        return m;
    }
    const double v = *value;
    if (limits.low || limits.high) {
        double margin = INFINITY;
        if (limits.low) margin = std::min(margin, v - *limits.low);
        if (limits.high) margin = std::min(margin, *limits.high - v);
        m.margin = margin == 0 ? 0.0 : margin;
        if (limits.low && limits.high && *limits.high > *limits.low) {
            m.margin_percent = 100.0 * margin / (*limits.high - *limits.low);
        }
    }
    const bool outside = (limits.low && v < *limits.low) || (limits.high && v > *limits.high);
    const bool marginal = (limits.marginal_low && v < *limits.marginal_low) ||
                          (limits.marginal_high && v > *limits.marginal_high);
    m.verdict = outside ? Verdict::fail : marginal ? Verdict::marginal : Verdict::pass;
    return m;
}

std::vector<Measurement> measure_step(const Step& step, std::optional<int> exit_status,
                                      const StepOutput& output,
                                      std::chrono::steady_clock::time_point deadline) {
    std::vector<Measurement> out;
    const Limits expected{step.expect_status, step.expect_status, {}, {}};
    out.push_back(judge("exit_status", "",
                        exit_status ? std::optional<double>(*exit_status) : std::optional<double>(),
                        expected, exit_status ? "" : "ended by a signal"));
    for (const Measure& m : step.measures) {
        if (output.cut) {
            // What was dropped may hold the last match, or end the JSON.
            out.push_back(judge(m.name, m.units, {}, m.limits,
                                "the standard output passed its limit and was cut"));
        } else if (std::chrono::steady_clock::now() > deadline) {
            out.push_back(
                judge(m.name, m.units, {}, m.limits, "measuring ran past the step's deadline"));
        } else {
            out.push_back(m.stdout_pattern.empty() ? from_pointer(m, output.text)
                                                   : from_pattern(m, output.text, deadline));
        }
    }
    return out;
}

std::vector<Measurement> not_measured(const Step& step, const std::string& why) {
    std::vector<Measurement> out;
    if (step.prompt) {
        // An operator's step has no exit status: its answer is its measure.
        out.push_back(judge("answer", step.prompt->units, {}, step.prompt->limits, why));
        out.back().verdict = Verdict::skipped;
        return out;
    }
    const Limits expected{step.expect_status, step.expect_status, {}, {}};
    out.push_back(judge("exit_status", "", {}, expected, why));
    for (const Measure& m : step.measures) out.push_back(judge(m.name, m.units, {}, m.limits, why));
    for (Measurement& m : out) m.verdict = Verdict::skipped;
    return out;
}
