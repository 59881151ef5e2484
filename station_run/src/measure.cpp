#include "measure.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>

namespace {

int rank(Verdict v) {
    switch (v) {
        case Verdict::pass:
        case Verdict::skipped:
            return 0;
        case Verdict::marginal:
            return 1;
        case Verdict::fail:
            return 2;
        case Verdict::error:
            return 3;
        case Verdict::timeout:
            return 4;
        case Verdict::aborted:
            return 5;
    }
    return 5;
}

// A whole text that is a finite number.
std::optional<double> number(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v)) return {};
    return v;
}

Measurement from_pattern(const Measure& m, const std::string& output) {
    const std::regex pattern(m.stdout_pattern);
    std::smatch last;
    for (auto it = std::sregex_iterator(output.begin(), output.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        last = *it;
    }
    if (last.empty()) return judge(m.name, m.units, {}, m.limits, "no match in the output");
    const std::string text = last[1].str();
    const std::optional<double> v = number(text);
    return judge(m.name, m.units, v, m.limits, v ? "" : "\"" + text + "\" is no number");
}

Measurement from_pointer(const Measure& m, const std::string& output) {
    const nlohmann::json j = nlohmann::json::parse(output, nullptr, false);
    if (j.is_discarded()) return judge(m.name, m.units, {}, m.limits, "the output is no JSON");
    const nlohmann::json::json_pointer pointer(m.json_pointer);
    if (!j.contains(pointer)) {
        return judge(m.name, m.units, {}, m.limits, "no value at " + m.json_pointer);
    }
    const nlohmann::json& value = j.at(pointer);
    if (!value.is_number()) {
        return judge(
            m.name, m.units, {}, m.limits,
            "the value at " + m.json_pointer + " is " + (value.is_null() ? "null" : "no number"));
    }
    return judge(m.name, m.units, value.get<double>(), m.limits);
}

}  // namespace

const char* verdict_name(Verdict v) {
    switch (v) {
        case Verdict::pass:
            return "PASS";
        case Verdict::marginal:
            return "MARGINAL";
        case Verdict::fail:
            return "FAIL";
        case Verdict::error:
            return "ERROR";
        case Verdict::timeout:
            return "TIMEOUT";
        case Verdict::skipped:
            return "SKIPPED";
        case Verdict::aborted:
            return "ABORTED";
    }
    return "ERROR";
}

bool verdict_from_name(const std::string& name, Verdict& v) {
    for (Verdict candidate : {Verdict::pass, Verdict::marginal, Verdict::fail, Verdict::error,
                              Verdict::timeout, Verdict::skipped, Verdict::aborted}) {
        if (name == verdict_name(candidate)) {
            v = candidate;
            return true;
        }
    }
    return false;
}

bool passed(Verdict v) {
    return v == Verdict::pass || v == Verdict::marginal;
}

Verdict worse(Verdict a, Verdict b) {
    return rank(b) > rank(a) ? b : a;
}

int exit_status_of(Verdict v) {
    switch (v) {
        case Verdict::fail:
            return 1;
        case Verdict::error:
        case Verdict::aborted:
            return 2;
        case Verdict::timeout:
            return 3;
        default:
            return 0;
    }
}

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
                                      const std::string& output) {
    std::vector<Measurement> out;
    const Limits expected{step.expect_status, step.expect_status, {}, {}};
    out.push_back(judge("exit_status", "",
                        exit_status ? std::optional<double>(*exit_status) : std::optional<double>(),
                        expected, exit_status ? "" : "ended by a signal"));
    for (const Measure& m : step.measures) {
        out.push_back(m.stdout_pattern.empty() ? from_pointer(m, output) : from_pattern(m, output));
    }
    return out;
}
