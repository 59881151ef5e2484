#include "statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "escape.h"
#include "history/series_state.h"
#include "record/events.h"

namespace {

constexpr double kD2 = 1.128;  // the mean range of two normal values, in sigmas
constexpr double kZ95 = 1.645;
// Ppk below this share of Cpk names the process's drift.
constexpr double kDriftShare = 0.75;

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
    const Stretch& v = t.stretch;
    s.runs = v.runs;
    s.count = v.values.n;
    s.low = t.low;
    s.high = t.high;
    s.marginal_low = t.marginal_low;
    s.marginal_high = t.marginal_high;
    if (v.runs > 0) {
        s.marginal_fraction = static_cast<double>(v.marginal) / static_cast<double>(v.runs);
        s.fail_fraction = static_cast<double>(v.failed) / static_cast<double>(v.runs);
    }
    if (v.values.n == 0) return s;
    s.min = v.values.min;
    s.max = v.values.max;
    s.mean = v.values.mean;
    s.sd = v.values.sd();
    if (v.mr_count > 0) s.sd_within = v.mr_mean / kD2;
    // Values too far apart for a double have no spread to speak of.
    for (std::optional<double>* f : {&s.mean, &s.sd, &s.sd_within}) {
        if (*f && !std::isfinite(**f)) s.not_finite = true;
    }
    if (s.not_finite || v.values.n < 2) {
        if (s.not_finite) s.sd = s.sd_within = {};
        return s;
    }
    const double mean = *s.mean;
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
    if (s.ppk) s.ppk_lower_95 = lower_bound_95(*s.ppk, s.count);
    if (s.cpk) s.cpk_lower_95 = lower_bound_95(*s.cpk, s.count);
    return s;
}

// The flag, once it is known whether an alarm stands: capability means
// nothing for a process out of control.
void judge_capability(MeasurementSummary& s) {
    if (!s.cpk) return;
    s.capability = s.standing                       ? "not in control"
                   : *s.cpk < kCapableCpk           ? "not capable"
                   : *s.cpk_lower_95 >= kCapableCpk ? "capable"
                                                    : "not yet shown";
    // Spread overall well beyond the spread within: the mean moves.
    s.drifts = s.ppk && *s.ppk < kDriftShare * *s.cpk;
}

nlohmann::ordered_json maybe(const std::optional<double>& v) {
    return v && std::isfinite(*v) ? nlohmann::ordered_json(*v) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json alarm_json(const SeriesAlarm& a) {
    return {{"rule", a.rule}, {"serial", a.serial}, {"started", a.started}, {"runs", a.span}};
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
    for (const MeasurementTotals& t : totals) {
        out.push_back(summary_of(t));
        judge_capability(out.back());
    }
    return out;
}

std::optional<Chart> kept_chart(const std::string& state) {
    const nlohmann::json j = nlohmann::json::parse(state, nullptr, false);
    if (!j.is_object() || !j.contains("watch")) return {};
    Chart c;
    c.baseline = kept_settings().baseline_runs;
    c.centre = j["watch"].value("centre", 0.0);
    c.sigma = j["watch"].value("sigma", 0.0);
    if (!(c.sigma > 0)) return {};
    c.mr_bar = c.sigma * kD2;
    c.ucl = c.centre + 3 * c.sigma;
    c.lcl = c.centre - 3 * c.sigma;
    c.mr_ucl = 3.267 * c.mr_bar;
    return c;
}

namespace {

// The alarms raised by rule, from a series' kept state.
std::vector<std::pair<std::string, std::uint64_t>> alarm_counts(const std::string& state) {
    std::vector<std::pair<std::string, std::uint64_t>> out;
    const SeriesState s = SeriesState::restored(state);
    for (std::size_t i = 0; i < kRuleCount; ++i) {
        if (s.alarms[i] > 0) out.emplace_back(rule_name(static_cast<Rule>(i)), s.alarms[i]);
    }
    return out;
}

bool same_settings(const SpcSettings& a, const SpcSettings& b) {
    return a.baseline_runs == b.baseline_runs && a.ewma_lambda == b.ewma_lambda &&
           a.ewma_l == b.ewma_l;
}

// The chart of the points shown: the books', its alarms placed among the
// points; or, with other settings, the rules run again over them.
bool chart_of(History& history, const MeasurementTotals& t, const SpcSettings& settings, bool again,
              MeasurementChart& m, std::string& error) {
    if (again) {
        m.chart = control_chart(m.points, settings);
        if (!m.chart) return true;
        // The EWMA the settings make, from the chart's centre.
        double ewma = m.chart->centre;
        for (Point& p : m.points) {
            ewma = settings.ewma_lambda * p.value + (1 - settings.ewma_lambda) * ewma;
            p.ewma = ewma;
        }
        return true;
    }
    m.chart = kept_chart(t.state);
    if (!m.chart || m.points.empty()) return true;
    std::vector<SeriesAlarm> shown;
    if (!history.alarms(t.series_id, kRuleCount * m.points.size(), m.points.front().landed, false,
                        shown, error)) {
        return false;
    }
    std::map<std::uint64_t, std::size_t> at;
    for (std::size_t i = 0; i < m.points.size(); ++i) at[m.points[i].landed] = i;
    for (auto it = shown.rbegin(); it != shown.rend(); ++it) {
        const auto found = at.find(it->landed);
        Rule rule;
        if (found == at.end() || !rule_from_name(it->rule, rule)) continue;
        Alarm a{rule, {}};
        const std::size_t n = std::min(it->span, found->second + 1);
        for (std::size_t k = found->second + 1 - n; k <= found->second; ++k) a.points.push_back(k);
        m.chart->alarms.push_back(std::move(a));
    }
    return true;
}

}  // namespace

bool read_summary(History& history, const SummaryFilter& filter, bool charts,
                  const std::string& baseline_since, Summary& summary, std::string& error) {
    std::vector<MeasurementTotals> totals;
    if (!history.totals(filter, totals, error) ||
        !history.last_runs(filter, 20, "", summary.runs, error) ||
        !history.last_runs(filter, 20, "ABORTED", summary.aborted, error)) {
        return false;
    }
    summary.measurements = summarize(totals);
    summary.charts.clear();
    const bool again = !same_settings(summary.settings, kept_settings()) || !baseline_since.empty();
    for (std::size_t i = 0; i < totals.size(); ++i) {
        MeasurementSummary& s = summary.measurements[i];
        // An alarm of the rules that decide control among the latest points.
        std::vector<Point> latest;
        std::vector<SeriesAlarm> standing;
        if (!history.points(filter, totals[i].series_id, "", kControlPoints, latest, error) ||
            (!latest.empty() && !history.alarms(totals[i].series_id, 1, latest.front().landed, true,
                                                standing, error))) {
            return false;
        }
        if (!standing.empty()) s.standing = standing.front();
        judge_capability(s);
        if (!charts) continue;
        MeasurementChart m;
        const std::string since = !baseline_since.empty() ? baseline_since : filter.since;
        if (!history.points(filter, totals[i].series_id, since, kChartPoints, m.points, error) ||
            !chart_of(history, totals[i], summary.settings, again, m, error) ||
            !history.alarms(totals[i].series_id, kListedAlarms, std::nullopt, false, m.latest,
                            error)) {
            return false;
        }
        m.counts = alarm_counts(totals[i].state);
        if (again) {
            // The alarms are the rules' run again, not the books'.
            std::map<std::string, std::uint64_t> counted;
            m.latest.clear();
            if (m.chart) {
                for (auto it = m.chart->alarms.rbegin(); it != m.chart->alarms.rend(); ++it) {
                    const Point& p = m.points[it->points.back()];
                    ++counted[rule_name(it->rule)];
                    if (m.latest.size() < kListedAlarms) {
                        m.latest.push_back({rule_name(it->rule), p.serial, p.started, p.landed,
                                            it->points.size()});
                    }
                }
            }
            m.counts.assign(counted.begin(), counted.end());
        }
        summary.charts.push_back(std::move(m));
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
    for (const MeasurementSummary& s : summary.measurements) {
        const std::string name = terminal_safe(s.step + "/" + s.measurement);
        if (s.not_finite) {
            out += "  " + name + ": the values lie too far apart for its figures to be finite\n";
        }
        if (s.standing) {
            std::snprintf(line, sizeof line, "  %s: not in control: %s at %s %s\n", name.c_str(),
                          s.standing->rule.c_str(), terminal_safe(s.standing->serial).c_str(),
                          terminal_safe(s.standing->started).c_str());
            out += line;
        }
        if (s.drifts) out += "  " + name + ": Ppk far below Cpk, a sign of drift\n";
    }
    if (summary.spc) {
        std::snprintf(line, sizeof line,
                      "Control charts: individuals, centre from a baseline of the first %zu runs, "
                      "limits centre +- 3 sigma with sigma = MR/1.128 (+- 2.6596 MR); "
                      "EWMA lambda %.3g, L %.3g\n",
                      summary.settings.baseline_runs, summary.settings.ewma_lambda,
                      summary.settings.ewma_l);
        out += line;
        for (std::size_t i = 0; i < summary.measurements.size(); ++i) {
            const MeasurementSummary& s = summary.measurements[i];
            const std::string name = terminal_safe(s.step + "/" + s.measurement);
            const MeasurementChart& m = summary.charts[i];
            std::string counts;
            std::uint64_t all = 0;
            for (const auto& [rule, n] : m.counts) {
                counts += (counts.empty() ? " (" : ", ") + rule + " " + std::to_string(n);
                all += n;
            }
            if (!counts.empty()) counts += ")";
            if (!m.chart) {
                std::snprintf(line, sizeof line, "  %s: no chart (%zu values, or no spread)\n",
                              name.c_str(), m.points.size());
                out += line;
                continue;
            }
            const Chart& c = *m.chart;
            std::snprintf(line, sizeof line,
                          "  %s: centre %s, limits %s .. %s, mean moving range %s (limit %s), "
                          "%zu baseline runs, %zu points shown, %llu alarms%s\n",
                          name.c_str(), cell(c.centre).c_str(), cell(c.lcl).c_str(),
                          cell(c.ucl).c_str(), cell(c.mr_bar).c_str(), cell(c.mr_ucl).c_str(),
                          c.baseline, m.points.size(), static_cast<unsigned long long>(all),
                          counts.c_str());
            out += line;
            for (const SeriesAlarm& a : m.latest) {
                std::snprintf(line, sizeof line, "    %-8s %-16s %s (%zu run%s)\n", a.rule.c_str(),
                              terminal_safe(a.serial).c_str(), terminal_safe(a.started).c_str(),
                              a.span, a.span == 1 ? "" : "s");
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
        m["not_finite"] = s.not_finite;
        m["drifts"] = s.drifts;
        m["standing_alarm"] = s.standing ? alarm_json(*s.standing) : json(nullptr);
        if (summary.spc) {
            const MeasurementChart& mc = summary.charts[i];
            if (!mc.chart) {
                m["spc"] = nullptr;
            } else {
                const Chart& c = *mc.chart;
                json points = json::array(), latest = json::array(), counts = json::object();
                for (const Point& p : mc.points) {
                    points.push_back({{"value", p.value},
                                      {"moving_range", maybe(p.moving_range)},
                                      {"ewma", maybe(p.ewma)},
                                      {"serial", p.serial},
                                      {"started", p.started}});
                }
                for (const SeriesAlarm& a : mc.latest) latest.push_back(alarm_json(a));
                for (const auto& [rule, n] : mc.counts) counts[rule] = n;
                m["spc"] = {{"centre", c.centre},          {"ucl", c.ucl},       {"lcl", c.lcl},
                            {"mr_bar", c.mr_bar},          {"mr_ucl", c.mr_ucl}, {"sigma", c.sigma},
                            {"baseline_runs", c.baseline}, {"points", points},   {"alarms", latest},
                            {"alarm_counts", counts}};
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
