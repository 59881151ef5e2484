#include "junit.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::string number(double v, int decimals = 3) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string value_text(const std::optional<double>& v) {
    if (!v) return "none";
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", *v);
    return text;
}

std::string limits_text(const Measurement& m) {
    std::string text = "low " + value_text(m.limits.low) + ", high " + value_text(m.limits.high);
    if (m.limits.marginal_low || m.limits.marginal_high) {
        text += ", marginal low " + value_text(m.limits.marginal_low) + ", marginal high " +
                value_text(m.limits.marginal_high);
    }
    return text;
}

// The last part of a step's output file, for its test case.
std::string output_tail(const std::string& folder, const std::string& file) {
    if (file.empty()) return "";
    std::ifstream in(folder + "/" + file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::string text = bytes.str();
    constexpr std::size_t kMost = 64 * 1024;
    if (text.size() > kMost) text = "[...]\n" + text.substr(text.size() - kMost);
    return text;
}

// "failure" or "error" with its type, or nothing for a verdict that passed.
std::string outcome_element(Verdict v, const std::string& message) {
    switch (v) {
        case Verdict::fail:
            return "<failure type=\"fail\" message=\"" + xml_escaped(message) + "\"/>";
        case Verdict::error:
            return "<error type=\"error\" message=\"" + xml_escaped(message) + "\"/>";
        case Verdict::timeout:
            return "<error type=\"timeout\" message=\"" + xml_escaped(message) + "\"/>";
        case Verdict::aborted:
            return "<error type=\"aborted\" message=\"" + xml_escaped(message) + "\"/>";
        case Verdict::skipped:
            return "<skipped message=\"" + xml_escaped(message) + "\"/>";
        default:
            return "";
    }
}

std::string measurement_message(const Measurement& m) {
    if (!m.value) return m.name + ": " + (m.note.empty() ? "no value" : m.note);
    return m.name + " = " + value_text(m.value) + (m.units.empty() ? "" : " " + m.units) +
           ", outside " + limits_text(m);
}

std::string attempt_message(const Attempt& a) {
    std::string text = "attempt " + std::to_string(a.number) + ": " + verdict_name(a.verdict);
    if (a.timed_out) return text + ": the deadline passed";
    if (!a.note.empty()) return text + ": " + a.note;
    for (const Measurement& m : a.measurements) {
        if (!passed(m.verdict)) return text + ": " + measurement_message(m);
    }
    return text;
}

}  // namespace

std::string xml_escaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '"') {
            out += "&quot;";
        } else if (c == '\'') {
            out += "&apos;";
        } else if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            continue;  // no such character in XML 1.0
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            // A whole UTF-8 sequence, or the byte is left out.
            const std::size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
            bool whole = length > 0 && i + length <= text.size() && c <= 0xf4;
            for (std::size_t k = 1; whole && k < length; ++k) {
                whole = (static_cast<unsigned char>(text[i + k]) & 0xc0) == 0x80;
            }
            if (whole) {
                out.append(text, i, length);
                i += length - 1;
            }
        }
    }
    return out;
}

std::string junit_xml(const RunRecord& run, const std::string& hostname) {
    const std::string suite = xml_escaped(run.sequence_name);
    std::string cases;
    int tests = 0, failures = 0, errors = 0, skipped = 0;
    double total = 0;
    auto count = [&](Verdict v) {
        ++tests;
        failures += v == Verdict::fail;
        errors += v == Verdict::error || v == Verdict::timeout || v == Verdict::aborted;
        skipped += v == Verdict::skipped;
    };
    for (const StepRecord& s : run.steps) {
        const Verdict verdict = s.verdict.value_or(Verdict::aborted);
        double time = 0;
        for (const Attempt& a : s.attempts) time += a.duration_s;
        total += time;
        count(verdict);
        cases += "    <testcase name=\"" + xml_escaped(s.name) + "\" classname=\"" + suite +
                 "\" time=\"" + number(time) + "\">\n";
        // Each earlier attempt that failed: flaky when the step passed at last.
        const char* rerun = passed(verdict) ? "flakyFailure" : "rerunFailure";
        for (std::size_t k = 0; k + 1 < s.attempts.size(); ++k) {
            const Attempt& a = s.attempts[k];
            cases += "      <" + std::string(rerun) + " type=\"" + verdict_name(a.verdict) +
                     "\" message=\"" + xml_escaped(attempt_message(a)) + "\"/>\n";
        }
        std::string message = s.skip_reason;
        if (message.empty() && !s.attempts.empty()) message = attempt_message(s.attempts.back());
        if (message.empty()) message = "the run was aborted before this step";
        const std::string outcome = outcome_element(verdict, message);
        if (!outcome.empty()) cases += "      " + outcome + "\n";
        if (!s.attempts.empty()) {
            const Attempt& last = s.attempts.back();
            cases += "      <system-out>" + xml_escaped(output_tail(run.output, last.stdout_file)) +
                     "</system-out>\n";
            cases += "      <system-err>" + xml_escaped(output_tail(run.output, last.stderr_file)) +
                     "</system-err>\n";
        }
        cases += "    </testcase>\n";
        if (s.attempts.empty()) continue;
        for (const Measurement& m : s.attempts.back().measurements) {
            count(m.verdict);
            cases += "    <testcase name=\"" + xml_escaped(s.name + "/" + m.name) +
                     "\" classname=\"" + suite + "." + xml_escaped(s.name) + "\" time=\"0.000\">\n";
            const std::string measured = outcome_element(m.verdict, measurement_message(m));
            if (!measured.empty()) cases += "      " + measured + "\n";
            cases += "      <system-out>" +
                     xml_escaped(
                         "value " + value_text(m.value) + (m.units.empty() ? "" : " " + m.units) +
                         "\n" + limits_text(m) + "\nmargin " + value_text(m.margin) +
                         ", margin percent " + value_text(m.margin_percent) + "\nverdict " +
                         verdict_name(m.verdict) + (m.note.empty() ? "" : "\n" + m.note) + "\n") +
                     "</system-out>\n";
            cases += "    </testcase>\n";
        }
    }
    // A timestamp without a zone, as the schema's readers expect.
    const std::string timestamp = run.started.substr(0, 19);
    const std::string counts = "tests=\"" + std::to_string(tests) + "\" failures=\"" +
                               std::to_string(failures) + "\" errors=\"" + std::to_string(errors) +
                               "\"";
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    xml += "<testsuites name=\"" + suite + "\" " + counts + " time=\"" + number(total) + "\">\n";
    xml += "  <testsuite name=\"" + suite + "\" " + counts + " skipped=\"" +
           std::to_string(skipped) + "\" time=\"" + number(total) + "\" timestamp=\"" +
           xml_escaped(timestamp) + "\" hostname=\"" + xml_escaped(hostname) + "\">\n";
    xml += "    <properties>\n";
    const std::pair<const char*, std::string> properties[] = {
        {"serial", run.serial},
        {"station", run.station},
        {"device", run.device},
        {"sequence_sha256", run.sequence_sha256},
        {"sequence_version", run.sequence_version},
        {"verdict", run.verdict ? verdict_name(*run.verdict) : ""},
    };
    for (const auto& [name, value] : properties) {
        xml += "      <property name=\"" + std::string(name) + "\" value=\"" + xml_escaped(value) +
               "\"/>\n";
    }
    xml += "    </properties>\n" + cases + "  </testsuite>\n</testsuites>\n";
    return xml;
}
