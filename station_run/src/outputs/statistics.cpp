#include "statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "escape.h"
#include "record/events.h"

namespace {

constexpr double kD2 = 1.128;  // the mean range of two normal values, in sigmas
constexpr double kZ95 = 1.645;

// An index from both one-sided ones, or the one there is.
std::optional<double> smaller(const std::optional<double>& a, const std::optional<double>& b) {
    if (a && b) return std::min(*a, *b);
    return a ? a : b;
}

MeasurementSummary summary_of(const MeasurementTotals& t) {
    MeasurementSummary s;
    s.sequence = t.sequence;
    s.step = t.step;
    s.measurement = t.name;
    s.units = t.units;
    s.runs = t.runs;
    s.count = t.count;
    s.min = t.min;
    s.max = t.max;
    s.low = t.low;
    s.high = t.high;
    s.marginal_low = t.marginal_low;
    s.marginal_high = t.marginal_high;
    if (t.runs > 0) {
        s.marginal_fraction = static_cast<double>(t.marginal) / static_cast<double>(t.runs);
        s.fail_fraction = static_cast<double>(t.failed) / static_cast<double>(t.runs);
    }
    if (t.count == 0 || !t.origin) return s;
    const double n = static_cast<double>(t.count);
    const double mean = *t.origin + t.sum / n;
    s.mean = mean;
    if (t.count < 2) return s;
    s.sd = std::sqrt(std::max(0.0, (t.squares - t.sum * t.sum / n) / (n - 1)));
    if (t.moving_ranges > 0) {
        s.sd_within = t.moving_range_sum / static_cast<double>(t.moving_ranges) / kD2;
    }
    // Each index from the spread it is defined on: 3 sigmas to each limit.
    auto index = [&](const std::optional<double>& sigma, std::optional<double>& lower,
                     std::optional<double>& upper) {
        if (!sigma || !(*sigma > 0)) return std::optional<double>();
        if (s.low) lower = (mean - *s.low) / (3 * *sigma);
        if (s.high) upper = (*s.high - mean) / (3 * *sigma);
        return smaller(lower, upper);
    };
    s.ppk = index(s.sd, s.ppl, s.ppu);
    s.cpk = index(s.sd_within, s.cpl, s.cpu);
    if (s.ppk) s.ppk_lower_95 = lower_bound_95(*s.ppk, t.count);
    if (s.cpk) {
        s.cpk_lower_95 = lower_bound_95(*s.cpk, t.count);
        s.capability = *s.cpk < kCapableCpk             ? "not capable"
                       : *s.cpk_lower_95 >= kCapableCpk ? "capable"
                                                        : "not yet shown";
    }
    return s;
}

nlohmann::ordered_json maybe(const std::optional<double>& v) {
    return v ? nlohmann::ordered_json(*v) : nlohmann::ordered_json(nullptr);
}

std::string cell(const std::optional<double>& v) {
    if (!v) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.5g", *v);
    return text;
}

}  // namespace

double lower_bound_95(double index, std::size_t n) {
    const double count = static_cast<double>(n);
    return index - kZ95 * std::sqrt(1 / (9 * count) + index * index / (2 * (count - 1)));
}

std::vector<MeasurementSummary> summarize(const std::vector<MeasurementTotals>& totals) {
    std::vector<MeasurementSummary> out;
    for (const MeasurementTotals& t : totals) out.push_back(summary_of(t));
    return out;
}

bool read_summary(History& history, const SummaryFilter& filter, bool charts,
                  const std::string& chart_since, Summary& summary, std::string& error) {
    std::vector<MeasurementTotals> totals;
    if (!history.totals(filter, totals, error) ||
        !history.last_runs(filter, 20, "", summary.runs, error) ||
        !history.last_runs(filter, 20, "ABORTED", summary.aborted, error)) {
        return false;
    }
    summary.measurements = summarize(totals);
    summary.series.clear();
    summary.charts.clear();
    for (std::size_t i = 0; charts && i < summary.measurements.size(); ++i) {
        const MeasurementSummary& m = summary.measurements[i];
        summary.series.emplace_back();
        if (!history.series(filter, m.sequence, m.step, m.measurement, chart_since,
                            summary.series.back(), error)) {
            return false;
        }
        summary.charts.push_back(control_chart(summary.series.back(), summary.settings));
    }
    return true;
}

std::string summary_text(const Summary& summary) {
    std::string out;
    char line[640];
    std::string sequence;
    for (const MeasurementSummary& s : summary.measurements) {
        if (s.sequence != sequence) {
            sequence = s.sequence;
            std::snprintf(line, sizeof line,
                          "Sequence %s\n  %-34s %-8s %6s %10s %10s %10s %10s %9s %9s %6s %6s %7s "
                          "%7s %7s\n",
                          terminal_safe(sequence).c_str(), "step/measurement", "units", "count",
                          "mean", "sd", "min", "max", "low", "high", "marg%", "fail%", "Cpk",
                          "Cpk95", "Ppk");
            out += line;
        }
        std::snprintf(line, sizeof line,
                      "  %-34s %-8s %6zu %10s %10s %10s %10s %9s %9s %6.1f %6.1f %7s %7s %7s%s%s\n",
                      terminal_safe(s.step + "/" + s.measurement).c_str(),
                      terminal_safe(s.units).c_str(), s.count, cell(s.mean).c_str(),
                      cell(s.sd).c_str(), cell(s.min).c_str(), cell(s.max).c_str(),
                      cell(s.low).c_str(), cell(s.high).c_str(), 100 * s.marginal_fraction,
                      100 * s.fail_fraction, cell(s.cpk).c_str(), cell(s.cpk_lower_95).c_str(),
                      cell(s.ppk).c_str(), s.capability.empty() ? "" : "  ", s.capability.c_str());
        out += line;
    }
    if (summary.measurements.empty()) out += "No measurements in the history for this choice.\n";
    if (summary.spc) {
        std::snprintf(line, sizeof line,
                      "Control charts: individuals, from a baseline of the first %zu runs; "
                      "EWMA lambda %.3g, L %.3g\n",
                      summary.settings.baseline_runs, summary.settings.ewma_lambda,
                      summary.settings.ewma_l);
        out += line;
        for (std::size_t i = 0; i < summary.measurements.size(); ++i) {
            const MeasurementSummary& s = summary.measurements[i];
            const std::string name = terminal_safe(s.step + "/" + s.measurement);
            const std::optional<Chart>& c = summary.charts[i];
            if (!c) {
                std::snprintf(line, sizeof line, "  %s: no chart (%zu values, or no spread)\n",
                              name.c_str(), summary.series[i].size());
                out += line;
                continue;
            }
            std::snprintf(line, sizeof line,
                          "  %s: centre %s, limits %s .. %s, mean moving range %s (limit %s), "
                          "%zu baseline runs, %zu alarms\n",
                          name.c_str(), cell(c->centre).c_str(), cell(c->lcl).c_str(),
                          cell(c->ucl).c_str(), cell(c->mr_bar).c_str(), cell(c->mr_ucl).c_str(),
                          c->baseline, c->alarms.size());
            out += line;
            for (const Alarm& a : c->alarms) {
                const Point& p = summary.series[i][a.points.back()];
                std::snprintf(line, sizeof line, "    %-8s %-16s %s (%zu run%s)\n",
                              rule_name(a.rule), terminal_safe(p.serial).c_str(),
                              terminal_safe(p.started).c_str(), a.points.size(),
                              a.points.size() == 1 ? "" : "s");
                out += line;
            }
        }
    }
    auto list = [&](const std::vector<HistoryRun>& list) {
        for (const HistoryRun& r : list) {
            std::snprintf(line, sizeof line, "  %-24s %-16s %-9s %s\n",
                          terminal_safe(r.started).c_str(), terminal_safe(r.serial).c_str(),
                          terminal_safe(r.verdict).c_str(), terminal_safe(r.sequence).c_str());
            out += line;
        }
    };
    out += "Last runs:\n";
    list(summary.runs);
    if (!summary.aborted.empty()) {
        out += "Aborted runs, left out of the figures:\n";
        list(summary.aborted);
    }
    return out;
}

std::string summary_json(const Summary& summary) {
    using json = nlohmann::ordered_json;
    json j;
    j["measurements"] = json::array();
    for (std::size_t i = 0; i < summary.measurements.size(); ++i) {
        const MeasurementSummary& s = summary.measurements[i];
        json m = {
            {"sequence", s.sequence},
            {"step", s.step},
            {"measurement", s.measurement},
            {"units", s.units},
            {"count", s.count},
            {"runs", s.runs},
            {"mean", maybe(s.mean)},
            {"sd", maybe(s.sd)},
            {"sd_within", maybe(s.sd_within)},
            {"min", maybe(s.min)},
            {"max", maybe(s.max)},
            {"low", maybe(s.low)},
            {"high", maybe(s.high)},
            {"cpk", maybe(s.cpk)},
            {"cpl", maybe(s.cpl)},
            {"cpu", maybe(s.cpu)},
            {"cpk_lower_95", maybe(s.cpk_lower_95)},
            {"ppk", maybe(s.ppk)},
            {"ppl", maybe(s.ppl)},
            {"ppu", maybe(s.ppu)},
            {"ppk_lower_95", maybe(s.ppk_lower_95)},
            {"capability", s.capability.empty() ? json(nullptr) : json(s.capability)},
            {"capable", s.capability.empty() ? json(nullptr) : json(s.capability == "capable")},
            {"marginal_fraction", s.marginal_fraction},
            {"fail_fraction", s.fail_fraction}};
        if (summary.spc) {
            const std::optional<Chart>& c = summary.charts[i];
            if (!c) {
                m["spc"] = nullptr;
            } else {
                json alarms = json::array();
                for (const Alarm& a : c->alarms) {
                    const Point& p = summary.series[i][a.points.back()];
                    json runs = json::array();
                    for (std::size_t k : a.points) {
                        runs.push_back({{"serial", summary.series[i][k].serial},
                                        {"started", summary.series[i][k].started}});
                    }
                    alarms.push_back({{"rule", rule_name(a.rule)},
                                      {"serial", p.serial},
                                      {"started", p.started},
                                      {"runs", runs}});
                }
                m["spc"] = {{"centre", c->centre},
                            {"ucl", c->ucl},
                            {"lcl", c->lcl},
                            {"mr_bar", c->mr_bar},
                            {"mr_ucl", c->mr_ucl},
                            {"sigma", c->sigma},
                            {"baseline_runs", c->baseline},
                            {"points", summary.series[i].size()},
                            {"alarms", alarms}};
            }
        }
        j["measurements"].push_back(std::move(m));
    }
    for (const auto& [key, list] :
         {std::pair{"runs", &summary.runs}, std::pair{"aborted_runs", &summary.aborted}}) {
        j[key] = json::array();
        for (const HistoryRun& r : *list) {
            j[key].push_back({{"serial", r.serial},
                              {"started", r.started},
                              {"verdict", r.verdict},
                              {"station", r.station},
                              {"sequence", r.sequence},
                              {"folder", r.folder}});
        }
    }
    return json_text(j, 2) + "\n";
}
