#include "report_page.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "base/times.h"
#include "capture_json.h"
#include "escape.h"
#include "files.h"
#include "output_guard.h"
#include "record/record_facts.h"

namespace {

constexpr std::size_t kOutputShown = 16 * 1024;             // the tail of each output on the page
constexpr std::size_t kFiguresMost = 1 << 20;               // capture_inspect's JSON, read whole
constexpr std::size_t kPictureMost = std::size_t{4} << 20;  // its picture

const char* kStyle = R"(
body { font-family: "DejaVu Sans", Arial, sans-serif; margin: 1.5em auto; max-width: 1180px;
       color: #222; padding: 0 1em; overflow-wrap: break-word }
h1 { font-size: 1.3em; margin: 0 0 .6em }
h2 { font-size: 1.1em; margin: 1.6em 0 .4em; border-bottom: 2px solid #ccc }
.banner { padding: .6em 1em; border-radius: 6px; color: #fff; font-size: 1.7em;
          font-weight: bold; letter-spacing: .05em }
.verdict { padding: 0 .35em; border-radius: 3px; color: #fff; font-weight: bold; font-size: .85em }
.facts { display: grid; grid-template-columns: max-content 1fr; gap: .15em 1.2em; margin: .8em 0 }
.facts dt { color: #595959 } .facts dd { margin: 0; min-width: 0 }
.errors { border-left: 4px solid #6a1b9a; padding: .2em .8em; background: #f6f0fa }
.alarms { border-left: 4px solid #b26a00; padding: .2em .8em; background: #fff8e1 }
.scroll { overflow-x: auto; max-width: 100% }
table { border-collapse: collapse; width: 100% }
th, td { border-bottom: 1px solid #e2e2e2; padding: .2em .5em; text-align: left; vertical-align: top }
th { background: #f2f2f2 } td.n { text-align: right; font-variant-numeric: tabular-nums }
.capture { display: flex; gap: 1.5em; align-items: flex-start; flex-wrap: wrap }
.capture img { max-width: min(760px, 100%); width: 100%; border: 1px solid #ddd }
pre { background: #f6f6f6; padding: .5em; overflow-x: auto; max-height: 28em; font-size: .85em;
      white-space: pre-wrap }
summary { cursor: pointer; margin: .3em 0 }
.print-only { display: none }
@media (max-width: 600px) {
  body { padding: 0 .5em; margin: .8em auto }
  .banner { font-size: 1.3em }
  .facts { grid-template-columns: 1fr } .facts dd { margin-bottom: .3em }
}
@media print {
  body { margin: 0; max-width: none }
  .capture { display: block } .capture img { max-width: 100% }
  .scroll { overflow: visible }
  details { display: none } .print-only { display: block }
  pre { max-height: none; white-space: pre-wrap; overflow: visible }
  .banner, .verdict, th { print-color-adjust: exact; -webkit-print-color-adjust: exact }
  tr, .print-only pre { break-inside: avoid-page }
}
)";

std::string esc(const std::string& text) {
    return markup_escaped(text);
}

// A value as every writer shows it; an empty cell where there is none.
std::string number(const std::optional<double>& v) {
    return v ? number_text(v) : "";
}

std::string verdict_span(Verdict v) {
    const std::string name = verdict_name(v);
    return "<span class=\"verdict v-" + name + "\">" + name + "</span>";
}

// A file of the run, named by the record: a plain name inside the run
// folder only, never a link, and no more of it than `most` bytes.
FilePart run_file(const RunRecord& run, const std::string& name, std::size_t most, bool from_end) {
    FilePart part;
    if (!read_file_part(run.output, name, most, from_end, part)) part = FilePart{};
    return part;
}

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

std::string tail(const FilePart& part) {
    return part.size <= part.bytes.size()
               ? part.bytes
               : "[... the first " + std::to_string(part.size - part.bytes.size()) +
                     " bytes are in the file]\n" + part.bytes;
}

// Where a value lies between its limits and marginal bands: red outside,
// amber in a marginal band, green inside, the value a black mark.
std::string bar(const Measurement& m) {
    const Limits& l = m.limits;
    if (!l.low && !l.high) return "";
    const double v = m.value.value_or(l.low ? *l.low : *l.high);
    double a, b;
    if (l.low && l.high) {
        const double span = *l.high > *l.low ? *l.high - *l.low : 1.0;
        a = *l.low - span / 4;
        b = *l.high + span / 4;
    } else {
        const double limit = l.low ? *l.low : *l.high;
        const double span = std::max({std::fabs(v - limit), std::fabs(limit) * 0.1, 1.0});
        a = std::min(v, limit) - span * 0.6;
        b = std::max(v, limit) + span * 0.6;
    }
    constexpr double kWidth = 150, kHeight = 14;
    auto x = [&](double t) { return std::clamp((t - a) / (b - a), 0.0, 1.0) * kWidth; };
    std::string svg =
        "<svg width=\"150\" height=\"14\" viewBox=\"0 0 150 14\" role=\"img\" "
        "aria-label=\"" +
        esc(m.name) + " between its limits\">";
    auto rect = [&](double from, double to, const char* colour) {
        if (to <= from) return;
        char r[160];
        std::snprintf(r, sizeof r,
                      "<rect x=\"%.1f\" y=\"3\" width=\"%.1f\" height=\"8\" fill=\"%s\"/>", x(from),
                      x(to) - x(from), colour);
        svg += r;
    };
    const double lo = l.low.value_or(a), hi = l.high.value_or(b);
    rect(a, lo, "#e57373");
    rect(hi, b, "#e57373");
    const double mlo = l.marginal_low.value_or(lo), mhi = l.marginal_high.value_or(hi);
    rect(lo, mlo, "#ffb74d");
    rect(mhi, hi, "#ffb74d");
    rect(mlo, mhi, "#81c784");
    if (l.low && l.high && *l.low == *l.high) {  // one value passes: a narrow green band
        char band[120];
        std::snprintf(band, sizeof band,
                      "<rect x=\"%.1f\" y=\"3\" width=\"8\" height=\"8\" fill=\"#81c784\"/>",
                      x(*l.low) - 4);
        svg += band;
    }
    if (m.value) {
        char mark[120];
        std::snprintf(mark, sizeof mark,
                      "<rect x=\"%.1f\" y=\"0\" width=\"2.4\" height=\"%.0f\" fill=\"#111\"/>",
                      std::clamp(x(*m.value) - 1.2, 0.0, kWidth - 2.4), kHeight);
        svg += mark;
    }
    return svg + "</svg>";
}

std::string duration_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// A member of an object, or null: the JSON is a step's output, not ours to trust.
const nlohmann::json& field(const nlohmann::json& j, const char* key) {
    static const nlohmann::json none;
    if (!j.is_object()) return none;
    const auto found = j.find(key);
    return found == j.end() ? none : *found;
}

// The capture's figures from capture_inspect's JSON, as a table.
std::string figures_table(const nlohmann::json& j) {
    auto cell = [](const nlohmann::json& v) {
        if (!v.is_number()) return std::string("n/a");
        char text[32];
        std::snprintf(text, sizeof text, "%.6g", v.get<double>());
        return std::string(text);
    };
    std::string html =
        "<div class=\"scroll\" tabindex=\"0\" role=\"region\" aria-label=\"The capture's figures\">"
        "<table class=\"figures\"><tr><th scope=\"col\">figure</th>"
        "<th scope=\"col\">channel 0</th><th scope=\"col\">channel 1</th></tr>";
    const std::pair<const char*, const char*> rows[] = {
        {capture_json::tone_offset_hz, "tone offset (Hz)"},
        {capture_json::frequency_error_ppm, "frequency error (ppm)"},
        {capture_json::tone_dbfs, "tone (dBFS)"},
        {capture_json::tone_above_floor_db, "tone above floor (dB)"},
        {capture_json::snr_db, "SNR (dB)"},
        {capture_json::sinad_db, "SINAD (dB)"},
        {capture_json::enob_bits, "ENOB (bits)"},
        {capture_json::sfdr_dbc, "SFDR (dBc)"},
        {capture_json::thd_dbc, "THD (dBc)"},
        {capture_json::nsd_dbfs_hz, "noise density (dBFS/Hz)"},
        {capture_json::rms_dbfs, "RMS (dBFS)"},
        {capture_json::dc_dbfs, "DC (dBFS)"},
        {capture_json::lo_leakage_dbc, "LO leakage (dBc)"},
        {capture_json::image_dbc, "image (dBc)"},
        {capture_json::iq_gain_imbalance_db, "I/Q gain imbalance (dB)"},
        {capture_json::iq_phase_imbalance_deg, "I/Q phase imbalance (degrees)"},
        {capture_json::largest_phase_jump_deg, "largest phase jump (degrees)"},
        {capture_json::phase_jump_over_noise_deg, "phase jump over the noise's (degrees)"},
        {capture_json::clipped, "clipped samples"}};
    for (const auto& [key, label] : rows) {
        html += "<tr><th scope=\"row\">" + std::string(label) + "</th>";
        for (int c = 0; c < 2; ++c)
            html += "<td class=\"n\">" + cell(field(j[capture_json::channels][c], key)) + "</td>";
        html += "</tr>";
    }
    const std::pair<const char*, const char*> pair[] = {
        {capture_json::correlation, "correlation"},
        {capture_json::coherence, "coherence"},
        {capture_json::phase_deg, "phase (degrees)"},
        {capture_json::gain_match_db, "gain match (dB)"},
        {capture_json::frequency_difference_hz, "frequency difference (Hz)"}};
    for (const auto& [key, label] : pair) {
        html += "<tr><th scope=\"row\">" + std::string(label) +
                "</th><td class=\"n\" colspan=\"2\">" + cell(field(j[capture_json::pair], key)) +
                "</td></tr>";
    }
    return html + "</table></div>";
}

// The capture's picture and figures, where a capture_inspect step made them.
std::string capture_section(const RunRecord& run) {
    std::string html;
    for (const StepRecord& s : run.steps) {
        if (s.argv.empty() || s.attempts.empty()) continue;
        const std::string program = s.argv[0].substr(s.argv[0].rfind('/') + 1);
        if (program != "capture_inspect") continue;
        std::string picture;
        for (std::size_t i = 0; i + 1 < s.argv.size(); ++i) {
            if (s.argv[i] == "--plot") picture = s.argv[i + 1];
        }
        const FilePart png =
            picture.empty() ? FilePart{} : run_file(run, picture, kPictureMost, false);
        const FilePart output = run_file(run, s.attempts.back().stdout_file, kFiguresMost, false);
        const nlohmann::json j = output.size == output.bytes.size()
                                     ? nlohmann::json::parse(output.bytes, nullptr, false)
                                     : nlohmann::json(nullptr);
        const bool figures = j.is_object() && j.contains(capture_json::channels) &&
                             j[capture_json::channels].is_array() &&
                             j[capture_json::channels].size() == 2 &&
                             j.contains(capture_json::pair);
        const bool whole_png = !png.bytes.empty() && png.size == png.bytes.size() &&
                               png.bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0;
        if (!whole_png && !figures) continue;
        html += "<h2>Capture (" + esc(s.name) + ")</h2><div class=\"capture\">";
        if (whole_png) {
            html +=
                "<img alt=\"The capture's spectrum and first samples\" "
                "src=\"data:image/png;base64," +
                base64(png.bytes) + "\">";
        }
        if (figures) html += figures_table(j);
        html += "</div>";
    }
    return html;
}

}  // namespace

std::string report_page(const RunRecord& run) {
    const Verdict verdict = verdict_of(run);
    std::string html = std::string(kPageStart) +
                       "\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width\">"
                       "<title>" +
                       esc(run.serial) + ": " + verdict_name(verdict) + " (" +
                       esc(run.sequence_name) + ")</title><style>" + kStyle +
                       verdict_backgrounds() + "</style></head><body><main>\n";
    html += "<div class=\"banner v-" + std::string(verdict_name(verdict)) + "\" id=\"verdict\">" +
            verdict_name(verdict) + "</div>\n";
    html += "<h1>Board " + esc(run.serial) + ", " + esc(run.sequence_name) + " " +
            esc(run.sequence_version) + "</h1><dl class=\"facts\">";
    const std::pair<const char*, std::string> facts[] = {
        {"Serial", run.serial},
        {"Station", run.station},
        {"Socket", run.socket.empty() ? "none: a board alone"
                                      : run.socket + " (station file SHA-256 " +
                                            run.station_file_sha256.substr(0, 12) + "...)"},
        {"Operator", run.operator_name.empty() ? "not given" : run.operator_name},
        {"Device", run.device},
        {"Sequence", run.sequence_name + " " + run.sequence_version + " (SHA-256 " +
                         run.sequence_sha256.substr(0, 12) + "...)"},
        {"Suite", run.suite_version},
        {"Started", run.started},
        {"Duration", duration_text(seconds_between(run.started, run.ended))},
        {"Exit status", std::to_string(run.exit_status)},
        {"Resumed", run.resumed.empty() ? "no" : std::to_string(run.resumed.size()) + " time(s)"},
    };
    for (const auto& [name, value] : facts) {
        html += "<dt>" + std::string(name) + "</dt><dd>" + esc(value) + "</dd>";
    }
    html += "</dl>\n";
    if (!run.alarms.empty()) {
        html +=
            "<div class=\"alarms\" id=\"alarms\"><p>The history's run rules, broken by this "
            "board's figures (the process's news; the board's verdict stands):</p><ul>";
        for (const RunAlarm& a : run.alarms) {
            html += "<li>" + esc(a.step + "/" + a.measurement) + ": " + esc(a.rule) + "</li>";
        }
        html += "</ul></div>";
    }
    if (!run.errors.empty()) {
        html += "<div class=\"errors\" id=\"errors\"><p>Beyond the steps:</p><ul>";
        for (const std::string& e : run.errors) html += "<li>" + esc(e) + "</li>";
        html += "</ul></div>\n";
    }
    html +=
        "<h2>Steps</h2><div class=\"scroll\" tabindex=\"0\" role=\"region\" aria-label=\"Steps\">"
        "<table id=\"steps\"><tr><th scope=\"col\">verdict</th>"
        "<th scope=\"col\">step</th><th scope=\"col\">duration</th><th scope=\"col\">attempts</th>"
        "<th scope=\"col\">exit status or signal</th><th scope=\"col\">lock, waited</th>"
        "<th scope=\"col\">note</th></tr>";
    for (const StepRecord& s : run.steps) {
        std::string ended, note = step_note(s), lock = s.lock;
        double waited = 0;
        for (const Attempt& a : s.attempts) waited += a.lock_wait_s.value_or(0);
        if (!lock.empty() && !s.attempts.empty()) lock += ", " + duration_text(waited);
        if (const Attempt* last = deciding_attempt(s)) {
            ended = last->exit_status ? "exit " + std::to_string(*last->exit_status)
                    : last->signal    ? "signal " + std::to_string(*last->signal)
                                      : "";
            for (const auto& [cut, file] : {std::pair{last->stdout_cut, last->stdout_file},
                                            std::pair{last->stderr_cut, last->stderr_file}}) {
                if (cut) note += (note.empty() ? "" : "; ") + file + " stopped at its limit";
            }
        }
        html += "<tr><td>" + verdict_span(verdict_of(s)) + "</td><td>" + esc(s.name) +
                "</td><td class=\"n\">" + duration_text(step_duration(s)) +
                "</td><td class=\"n\">" + std::to_string(s.attempts.size()) + "</td><td>" + ended +
                "</td><td>" + esc(lock) + "</td><td>" + esc(note) + "</td></tr>";
    }
    html +=
        "</table></div>\n<h2>Measurements</h2><div class=\"scroll\" tabindex=\"0\" role=\"region\" "
        "aria-label=\"Measurements\"><table "
        "id=\"measurements\"><tr>";
    for (const char* column : {"step", "measurement", "value", "units", "low", "high", "margin",
                               "margin %", "verdict", "between the limits"}) {
        html += "<th scope=\"col\">" + std::string(column) + "</th>";
    }
    html += "</tr>";
    for (const StepRecord& s : run.steps) {
        const Attempt* last = deciding_attempt(s);
        if (last == nullptr) continue;
        for (const Measurement& m : last->measurements) {
            // An operator's text answer has no number: the text is what was measured.
            const std::string shown = m.value ? number(m.value)
                                      : last->answer && m.verdict != Verdict::skipped
                                          ? esc(*last->answer)
                                          : "missing";
            html += "<tr><td>" + esc(s.name) + "</td><td>" + esc(m.name) + "</td><td class=\"n\">" +
                    shown + "</td><td>" + esc(m.units) + "</td><td class=\"n\">" +
                    number(m.limits.low) + "</td><td class=\"n\">" + number(m.limits.high) +
                    "</td><td class=\"n\">" + number(m.margin) + "</td><td class=\"n\">" +
                    number(m.margin_percent) + "</td><td>" + verdict_span(m.verdict) + "</td><td>" +
                    bar(m) + "</td></tr>";
        }
    }
    html += "</table></div>\n" + capture_section(run) + "\n<h2>Output</h2>\n";
    for (const StepRecord& s : run.steps) {
        for (const Attempt& a : s.attempts) {
            if (a.asked) continue;  // the operator's: no program, no output
            for (const auto& [stream, file] : {std::pair{"standard output", a.stdout_file},
                                               std::pair{"standard error", a.stderr_file}}) {
                const std::string text = esc(tail(run_file(run, file, kOutputShown, true)));
                const std::string title = esc(s.name) + ", attempt " + std::to_string(a.number) +
                                          ": " + stream + " (" + esc(file) + ")";
                html += "<details><summary>" + title + "</summary><pre>" + text +
                        "</pre></details>"
                        "<div class=\"print-only\"><h3>" +
                        title + "</h3><pre>" + text + "</pre></div>\n";
            }
        }
    }
    return html + "</main></body></html>\n";
}
