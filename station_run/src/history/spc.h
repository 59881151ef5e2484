// Statistical process control of one measurement across boards, in time
// order: an individuals and moving-range chart from a baseline, the Western
// Electric and Nelson run rules, and an EWMA drift alarm.
#pragma once

#include <cstddef>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "history.h"

using Point = SeriesPoint;

// The run rules, each by its name in the JSON; the first four decide
// whether a process is in control.
enum class Rule {
    we1,
    we2,
    we3,
    we4,
    nelson1,
    nelson2,
    nelson3,
    nelson4,
    nelson5,
    nelson6,
    nelson7,
    nelson8,
    ewma
};
const char* rule_name(Rule r);
// The rule a name names; false for another name.
bool rule_from_name(const std::string& name, Rule& r);
constexpr std::size_t kRuleCount = 13;
bool decides_control(Rule r);

// What fires a rule: the points (indices into the series) that make it fire,
// the last being the point where it fires.
struct Alarm {
    Rule rule;
    std::vector<std::size_t> points;
};

struct SpcSettings {
    std::size_t baseline_runs = 25;  // the first this many points set the chart
    double ewma_lambda = 0.2;
    double ewma_l = 3;
};

struct Chart {
    std::size_t baseline = 0;  // points in the baseline
    double centre = 0, mr_bar = 0, sigma = 0;
    double ucl = 0, lcl = 0;  // centre +- 3 sigma, 2.6596 mr_bar
    double mr_ucl = 0;        // the moving-range chart's limit, 3.267 mr_bar
    std::vector<Alarm> alarms;
};

// Evaluates the run rules point by point against a centre and sigma known
// beforehand; a rule fires where its pattern is complete and was not at the
// point before (one alarm an episode). Used by the chart, and on its own to
// measure the rules' average run lengths.
class RuleWatch {
public:
    RuleWatch(double centre, double sigma, const SpcSettings& settings);
    // The rules that fire at the next point.
    std::vector<Rule> add(double value);
    // The points back from the last that made `rule` fire.
    std::size_t span(Rule rule) const;
    double centre() const { return centre_; }
    double sigma() const { return sigma_; }
    double ewma() const { return ewma_; }
    // Its state as JSON, and a watch that goes on from such a state (none
    // where it is not one).
    nlohmann::json saved() const;
    static std::optional<RuleWatch> restored(const nlohmann::json& state,
                                             const SpcSettings& settings);

private:
    bool holds(Rule rule) const;
    double centre_, sigma_;
    SpcSettings settings_;
    std::vector<double> z_;  // the points in sigmas from the centre, the last 15
    double ewma_;
    std::size_t count_ = 0;
    std::vector<bool> held_;  // each rule at the point before
};

// The chart of a series; none when the baseline has fewer than two points or
// no spread.
std::optional<Chart> control_chart(const std::vector<Point>& series, const SpcSettings& settings);
