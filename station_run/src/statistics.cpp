#include "statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "escape.h"
#include "record.h"

namespace {

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
    if (t.runs > 0) {
        s.marginal_fraction = static_cast<double>(t.marginal) / static_cast<double>(t.runs);
        s.fail_fraction = static_cast<double>(t.failed) / static_cast<double>(t.runs);
    }
    if (t.count == 0 || !t.origin) return s;
    const double n = static_cast<double>(t.count);
    const double mean = *t.origin + t.sum / n;
    s.mean = mean;
    if (t.count < 2) return s;
    const double sd = std::sqrt(std::max(0.0, (t.squares - t.sum * t.sum / n) / (n - 1)));
    s.sd = sd;
    if (sd <= 0) return s;
    if (s.low) s.cpl = (mean - *s.low) / (3 * sd);
    if (s.high) s.cpu = (*s.high - mean) / (3 * sd);
    if (s.cpl && s.cpu) {
        s.cpk = std::min(*s.cpl, *s.cpu);
    } else if (s.cpl || s.cpu) {
        s.cpk = s.cpl ? s.cpl : s.cpu;
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

std::vector<MeasurementSummary> summarize(const std::vector<MeasurementTotals>& totals) {
    std::vector<MeasurementSummary> out;
    for (const MeasurementTotals& t : totals) out.push_back(summary_of(t));
    return out;
}

std::string summary_text(const std::vector<MeasurementSummary>& summaries,
                         const std::vector<HistoryRun>& runs,
                         const std::vector<HistoryRun>& aborted) {
    std::string out;
    char line[512];
    std::string sequence;
    for (const MeasurementSummary& s : summaries) {
        if (s.sequence != sequence) {
            sequence = s.sequence;
            std::snprintf(line, sizeof line,
                          "Sequence %s\n  %-34s %-8s %6s %10s %10s %10s %10s %9s %9s %6s %6s %7s\n",
                          terminal_safe(sequence).c_str(), "step/measurement", "units", "count",
                          "mean", "sd", "min", "max", "low", "high", "marg%", "fail%", "Cpk");
            out += line;
        }
        const bool flagged = s.cpk && *s.cpk < kCapableCpk;
        std::snprintf(line, sizeof line,
                      "  %-34s %-8s %6zu %10s %10s %10s %10s %9s %9s %6.1f %6.1f %7s%s\n",
                      terminal_safe(s.step + "/" + s.measurement).c_str(),
                      terminal_safe(s.units).c_str(), s.count, cell(s.mean).c_str(),
                      cell(s.sd).c_str(), cell(s.min).c_str(), cell(s.max).c_str(),
                      cell(s.low).c_str(), cell(s.high).c_str(), 100 * s.marginal_fraction,
                      100 * s.fail_fraction, cell(s.cpk).c_str(), flagged ? "  below 1.33" : "");
        out += line;
    }
    if (summaries.empty()) out += "No measurements in the history for this choice.\n";
    auto list = [&](const std::vector<HistoryRun>& list) {
        for (const HistoryRun& r : list) {
            std::snprintf(line, sizeof line, "  %-24s %-16s %-9s %s\n",
                          terminal_safe(r.started).c_str(), terminal_safe(r.serial).c_str(),
                          terminal_safe(r.verdict).c_str(), terminal_safe(r.sequence).c_str());
            out += line;
        }
    };
    out += "Last runs:\n";
    list(runs);
    if (!aborted.empty()) {
        out += "Aborted runs, left out of the figures:\n";
        list(aborted);
    }
    return out;
}

std::string summary_json(const std::vector<MeasurementSummary>& summaries,
                         const std::vector<HistoryRun>& runs,
                         const std::vector<HistoryRun>& aborted) {
    nlohmann::ordered_json j;
    j["measurements"] = nlohmann::ordered_json::array();
    for (const MeasurementSummary& s : summaries) {
        j["measurements"].push_back(
            {{"sequence", s.sequence},
             {"step", s.step},
             {"measurement", s.measurement},
             {"units", s.units},
             {"count", s.count},
             {"runs", s.runs},
             {"mean", maybe(s.mean)},
             {"sd", maybe(s.sd)},
             {"min", maybe(s.min)},
             {"max", maybe(s.max)},
             {"low", maybe(s.low)},
             {"high", maybe(s.high)},
             {"cpk", maybe(s.cpk)},
             {"cpl", maybe(s.cpl)},
             {"cpu", maybe(s.cpu)},
             {"capable", s.cpk ? nlohmann::ordered_json(*s.cpk >= kCapableCpk)
                               : nlohmann::ordered_json(nullptr)},
             {"marginal_fraction", s.marginal_fraction},
             {"fail_fraction", s.fail_fraction}});
    }
    for (const auto& [key, list] :
         {std::pair{"runs", &runs}, std::pair{"aborted_runs", &aborted}}) {
        j[key] = nlohmann::ordered_json::array();
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
