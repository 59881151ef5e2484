#include "fleet_page.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "escape.h"
#include "output_guard.h"
#include "record/record_facts.h"

namespace {

const char* kStyle = R"(
body { font-family: "DejaVu Sans", Arial, sans-serif; margin: 1.5em auto; max-width: 1180px;
       color: #222; padding: 0 1em; overflow-wrap: break-word }
h1 { font-size: 1.3em } h2 { font-size: 1.05em; margin: 1.8em 0 .4em; border-bottom: 2px solid #ccc }
.scroll { overflow-x: auto; max-width: 100% }
table { border-collapse: collapse } th, td { border-bottom: 1px solid #e2e2e2; padding: .2em .6em;
  text-align: left } th { background: #f2f2f2 } td.n { text-align: right;
  font-variant-numeric: tabular-nums }
.flag { font-weight: bold } .not-capable { color: #b71c1c } .capable { color: #1b5e20 }
.not-yet-shown { color: #6d4c00 }
svg.chart { width: 100%; max-width: 760px; height: auto; border: 1px solid #ddd; margin-top: .5em }
.legend { font-size: .85em; color: #444 }
@media print { .scroll { overflow: visible } }
)";

std::string esc(const std::string& text) {
    return markup_escaped(text);
}

// Figures to five digits, as the text summary gives them.
std::string num(const std::optional<double>& v) {
    if (!v) return "";
    char text[32];
    std::snprintf(text, sizeof text, "%.5g", *v);
    return text;
}

// Past this many points a chart draws each pixel column's range.
constexpr std::size_t kDensePoints = 600;

std::string fixed(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

// The chart of one measurement: its points in time order, the centre and
// control limits of its baseline, its limits and marginal bands, and the
// points where a rule fired.
std::string chart_svg(const MeasurementSummary& m, const std::vector<Point>& points, const Chart& c,
                      const std::string& id) {
    constexpr double kWidth = 760, kHeight = 240, kLeft = 60, kRight = 12, kTop = 12, kBottom = 28;
    double lo = c.lcl, hi = c.ucl;
    for (const Point& p : points) lo = std::min(lo, p.value), hi = std::max(hi, p.value);
    for (const auto& limit : {m.low, m.high}) {
        if (limit) lo = std::min(lo, *limit), hi = std::max(hi, *limit);
    }
    const double pad = (hi - lo) * 0.05 + 1e-12;
    lo -= pad;
    hi += pad;
    const double n = static_cast<double>(std::max<std::size_t>(points.size(), 2) - 1);
    auto x = [&](double i) { return kLeft + (kWidth - kLeft - kRight) * i / n; };
    auto y = [&](double v) {
        return kTop + (kHeight - kTop - kBottom) * (1 - std::clamp((v - lo) / (hi - lo), 0.0, 1.0));
    };
    auto line = [&](double v, const char* colour, const char* dash, const std::string& label) {
        return "<line x1=\"" + fixed(kLeft) + "\" x2=\"" + fixed(kWidth - kRight) + "\" y1=\"" +
               fixed(y(v)) + "\" y2=\"" + fixed(y(v)) + "\" stroke=\"" + colour +
               "\" stroke-width=\"1.2\"" +
               (*dash ? std::string(" stroke-dasharray=\"") + dash + "\"" : "") + "><title>" +
               esc(label) + "</title></line>";
    };
    auto band = [&](double from, double to, const char* colour) {
        const double top = y(std::max(from, to)), bottom = y(std::min(from, to));
        return "<rect x=\"" + fixed(kLeft) + "\" y=\"" + fixed(top) + "\" width=\"" +
               fixed(kWidth - kLeft - kRight) + "\" height=\"" + fixed(bottom - top) +
               "\" fill=\"" + colour + "\"/>";
    };
    std::string svg = "<svg class=\"chart\" id=\"" + esc(id) + "\" viewBox=\"0 0 760 240\" " +
                      "role=\"img\" aria-label=\"" +
                      esc("Control chart of " + m.step + "/" + m.measurement) + "\">";
    // The baseline, shaded; the marginal bands inside the limits.
    svg += "<rect x=\"" + fixed(kLeft) + "\" y=\"" + fixed(kTop) + "\" width=\"" +
           fixed(x(static_cast<double>(c.baseline) - 1) - kLeft) + "\" height=\"" +
           fixed(kHeight - kTop - kBottom) + "\" fill=\"#f0f0f0\"/>";
    if (m.low && m.marginal_low) svg += band(*m.low, *m.marginal_low, "#ffe0b2");
    if (m.high && m.marginal_high) svg += band(*m.marginal_high, *m.high, "#ffe0b2");
    if (m.low) svg += line(*m.low, "#c62828", "", "low limit " + num(m.low));
    if (m.high) svg += line(*m.high, "#c62828", "", "high limit " + num(m.high));
    svg += line(c.ucl, "#1565c0", "6 4", "upper control limit " + num(c.ucl));
    svg += line(c.lcl, "#1565c0", "6 4", "lower control limit " + num(c.lcl));
    svg += line(c.centre, "#2e7d32", "", "centre " + num(c.centre));
    // The axis values at the control limits and the centre, a line apart at
    // least where the limits lie close together on the chart.
    constexpr double kLabelGap = 12;
    double label_y[3] = {y(c.ucl) + 4, y(c.centre) + 4, y(c.lcl) + 4};
    for (int i = 1; i < 3; ++i) label_y[i] = std::max(label_y[i], label_y[i - 1] + kLabelGap);
    const double past = label_y[2] - (kHeight - kBottom);
    if (past > 0) {
        for (double& at : label_y) at -= past;
    }
    const double values[3] = {c.ucl, c.centre, c.lcl};
    for (int i = 0; i < 3; ++i) {
        svg += "<text x=\"" + fixed(kLeft - 4) + "\" y=\"" + fixed(label_y[i]) +
               "\" font-size=\"11\" text-anchor=\"end\" fill=\"#333\">" + esc(num(values[i])) +
               "</text>";
    }
    // A long history is drawn as the range of its values under each pixel
    // column, with only the points where a rule fired marked one by one.
    const bool dense = points.size() > kDensePoints;
    std::string path;
    if (dense) {
        const double per_column = static_cast<double>(points.size()) / (kWidth - kLeft - kRight);
        auto column = [&](std::size_t i) {
            return std::floor(static_cast<double>(i) / per_column);
        };
        for (std::size_t i = 0, end; i < points.size(); i = end) {
            double low = points[i].value, high = low;
            for (end = i; end < points.size() && column(end) == column(i); ++end) {
                low = std::min(low, points[end].value), high = std::max(high, points[end].value);
            }
            path += 'M';
            path += fixed(x(static_cast<double>(i))) + " " + fixed(y(low)) + " V";
            path += fixed(y(high) - 0.5) + " ";
        }
    } else {
        for (std::size_t i = 0; i < points.size(); ++i) {
            path += i == 0 ? "M" : " L";
            path += fixed(x(static_cast<double>(i))) + " " + fixed(y(points[i].value));
        }
    }
    svg += "<path d=\"" + path + "\" fill=\"none\" stroke=\"#555\" stroke-width=\"1\"/>";
    std::vector<std::set<std::string>> fired(points.size());
    for (const Alarm& a : c.alarms) fired[a.points.back()].insert(rule_name(a.rule));
    for (std::size_t i = 0; i < points.size(); ++i) {
        const bool alarm = !fired[i].empty();
        if (dense && !alarm) continue;
        std::string title =
            points[i].serial + ", " + points[i].started + ": " + number_text(points[i].value);
        for (const std::string& rule : fired[i]) title += ", " + rule;
        svg += "<circle class=\"" + std::string(alarm ? "point alarm" : "point") + "\" cx=\"" +
               fixed(x(static_cast<double>(i))) + "\" cy=\"" + fixed(y(points[i].value)) +
               "\" r=\"" + (alarm ? "4.5" : "2.5") + "\" fill=\"" + (alarm ? "#c62828" : "#222") +
               "\"><title>" + esc(title) + "</title></circle>";
    }
    svg += "<text x=\"" + fixed(kLeft) + "\" y=\"" + fixed(kHeight - 8) +
           "\" font-size=\"11\" fill=\"#333\">runs in the order they started, the first " +
           std::to_string(c.baseline) + " the baseline</text>";
    return svg + "</svg>";
}

}  // namespace

std::string fleet_page(const Summary& summary) {
    std::string html =
        std::string(kPageStart) +
        "\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width\"><title>Fleet: " +
        std::to_string(summary.measurements.size()) + " measurements</title><style>" + kStyle +
        "</style></head><body><main>\n<h1>Fleet: capability and control of " +
        std::to_string(summary.measurements.size()) +
        " measurements</h1>\n"
        "<p class=\"legend\">Cpk: the spread within (the mean moving range between boards "
        "/ 1.128); Ppk: the overall spread; each with its one-sided 95 % lower bound. Charts: "
        "individuals from the baseline, control limits at the centre &#177; 3 &#963; with &#963; "
        "the "
        "mean moving range / 1.128, that is &#177; 2.6596 times it (dashed blue), the limits (red) "
        "and marginal bands (amber); the latest " +
        std::to_string(kChartPoints) +
        " points at most, or those since the date asked; a red point is where a run rule fired. "
        "A process with an alarm of the Western Electric rules 1 to 4 among its latest " +
        std::to_string(kControlPoints) + " points is not in control, whatever its Cpk.</p>\n";
    for (std::size_t i = 0; i < summary.measurements.size(); ++i) {
        const MeasurementSummary& m = summary.measurements[i];
        std::string id = "m";
        id += std::to_string(i);
        html += "<section id=\"" + id + "\" class=\"measurement\"><h2>" + esc(m.sequence) + ": " +
                esc(m.step + "/" + m.measurement) +
                (m.units.empty() ? "" : " (" + esc(m.units).append(")")) +
                "</h2><div class=\"scroll\" tabindex=\"0\" role=\"region\" aria-label=\"" +
                esc("Figures of " + m.step + "/" + m.measurement) +
                "\"><table class=\"figures\"><tr>";
        const std::pair<const char*, std::string> figures[] = {
            {"count", std::to_string(m.count)},
            {"mean", num(m.mean)},
            {"sd", num(m.sd)},
            {"sd within", num(m.sd_within)},
            {"low", num(m.low)},
            {"high", num(m.high)},
            {"Cpk", num(m.cpk)},
            {"Cpk, 95 % lower", num(m.cpk_lower_95)},
            {"Ppk", num(m.ppk)},
            {"Ppk, 95 % lower", num(m.ppk_lower_95)},
            {"marginal %", fixed(100 * m.marginal_fraction)},
            {"failed %", fixed(100 * m.fail_fraction)}};
        for (const auto& [name, value] : figures)
            html += "<th scope=\"col\">" + std::string(name) + "</th>";
        html += "</tr><tr>";
        for (const auto& [name, value] : figures) html += "<td class=\"n\">" + esc(value) + "</td>";
        html += "</tr></table></div>";
        if (!m.capability.empty()) {
            std::string kind = m.capability;
            std::replace(kind.begin(), kind.end(), ' ', '-');
            html += "<p class=\"flag " + kind + "\">" + esc(m.capability) + "</p>";
        }
        if (m.standing) {
            html += "<p class=\"legend\">Not in control: " + esc(m.standing->rule) + " on " +
                    esc(m.standing->serial) + ", " + esc(m.standing->started) + ".</p>";
        }
        if (m.drifts) html += "<p class=\"legend\">Ppk far below Cpk: a sign of drift.</p>";
        if (m.not_finite) {
            html +=
                "<p class=\"legend\">The values lie too far apart for figures that are "
                "finite.</p>";
        }
        const MeasurementChart& mc = summary.charts.at(i);
        if (mc.chart) {
            html += chart_svg(m, mc.points, *mc.chart, "chart-" + id);
            std::uint64_t all = 0;
            std::string counts;
            for (const auto& [rule, n] : mc.counts) {
                all += n;
                counts += (counts.empty() ? " (" : ", ") + rule + " " + std::to_string(n);
            }
            if (all > 0) {
                html += "<p class=\"legend\">" + std::to_string(all) +
                        (all == 1 ? " alarm" : " alarms") +
                        esc(counts + (counts.empty() ? "" : ")")) +
                        (mc.latest.size() < all ? ", the latest " + std::to_string(mc.latest.size())
                                                : std::string()) +
                        ":</p><ul class=\"alarms\">";
                for (const SeriesAlarm& a : mc.latest) {
                    html += "<li>" + esc(a.rule) + " on " + esc(a.serial) + ", " + esc(a.started) +
                            "</li>";
                }
                html += "</ul>";
            }
        } else {
            html += "<p>No chart: too few values, or no spread.</p>";
        }
        html += "</section>\n";
    }
    html +=
        "<h2>Last runs</h2><div class=\"scroll\" tabindex=\"0\" role=\"region\" "
        "aria-label=\"Last runs\"><table id=\"runs\"><tr><th scope=\"col\">"
        "started</th><th scope=\"col\">serial</th><th scope=\"col\">verdict</th>"
        "<th scope=\"col\">sequence</th><th scope=\"col\">station</th></tr>";
    for (const HistoryRun& r : summary.runs) {
        html += "<tr><td>" + esc(r.started) + "</td><td>" + esc(r.serial) + "</td><td>" +
                esc(r.verdict) + "</td><td>" + esc(r.sequence) + "</td><td>" + esc(r.station) +
                "</td></tr>";
    }
    return html + "</table></div></main></body></html>\n";
}
