#include "junit.h"

#include <cstdio>

#include "escape.h"
#include "files.h"
#include "record/record_facts.h"

namespace {

std::string number(double v, int decimals = 3) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string limits_text(const Measurement& m) {
    std::string text = "low " + number_text(m.limits.low) + ", high " + number_text(m.limits.high);
    if (m.limits.marginal_low || m.limits.marginal_high) {
        text += ", marginal low " + number_text(m.limits.marginal_low) + ", marginal high " +
                number_text(m.limits.marginal_high);
    }
    return text;
}

// The last part of a step's output file, for its test case.
std::string output_tail(const std::string& folder, const std::string& file) {
    constexpr std::size_t kMost = 64 * 1024;
    FilePart part;
    if (file.empty() || !read_file_part(folder, file, kMost, true, part)) return "";
    return part.size > part.bytes.size() ? "[...]\n" + part.bytes : part.bytes;
}

// "failure", "error" with its type or "skipped", as the verdict's facts say;
// nothing for a verdict that passed.
std::string outcome_element(Verdict v, const std::string& message) {
    const VerdictFacts& f = facts_of(v);
    if (*f.junit == '\0') return "";
    std::string out = "<";
    out += f.junit;
    if (*f.junit_type) {
        out += " type=\"";
        out += f.junit_type;
        out += '"';
    }
    out += " message=\"";
    out += markup_escaped(message);
    out += "\"/>";
    return out;
}

std::string attempt_message(const Attempt& a) {
    const std::string reason = attempt_reason(a);
    return "attempt " + std::to_string(a.number) + ": " + verdict_name(a.verdict) +
           (reason.empty() ? "" : ": " + reason);
}

}  // namespace

std::string junit_xml(const RunRecord& run, const std::string& hostname) {
    // The board in the suite's name and every case's class, so that a
    // dashboard reading the files of several boards shows each board and
    // each failure once, never one board's cases as another's.
    const std::string board = run.socket.empty() ? run.serial : run.socket + "." + run.serial;
    const std::string suite_name = markup_escaped(
        run.sequence_name + " [" + (run.socket.empty() ? "" : "socket " + run.socket + ", ") +
        "serial " + run.serial + "]");
    const std::string suite = markup_escaped(run.sequence_name + "." + board);
    std::string cases;
    int tests = 0, failures = 0, errors = 0, skipped = 0;
    double total = 0;
    auto count = [&](Verdict v) {
        const std::string element = facts_of(v).junit;
        ++tests;
        failures += element == "failure";
        errors += element == "error";
        skipped += element == "skipped";
    };
    for (const StepRecord& s : run.steps) {
        const Verdict verdict = verdict_of(s);
        const double time = step_duration(s);
        total += time;
        count(verdict);
        cases += "    <testcase name=\"" + markup_escaped(s.name) + "\" classname=\"" + suite +
                 "\" time=\"" + number(time) + "\">\n";
        // Each earlier attempt that failed or erred: flaky when the step
        // passed at last.
        for (std::size_t k = 0; k + 1 < s.attempts.size(); ++k) {
            const Attempt& a = s.attempts[k];
            const std::string kind = a.verdict == Verdict::fail ? "Failure" : "Error";
            const std::string rerun = (passed(verdict) ? "flaky" : "rerun") + kind;
            cases += "      <" + rerun + " type=\"" + verdict_name(a.verdict) + "\" message=\"" +
                     markup_escaped(attempt_message(a)) + "\"/>\n";
        }
        const std::string outcome = outcome_element(verdict, step_note(s));
        if (!outcome.empty()) cases += "      " + outcome + "\n";
        const Attempt* last = deciding_attempt(s);
        if (last != nullptr) {
            cases += "      <system-out>" +
                     markup_escaped(output_tail(run.output, last->stdout_file)) + "</system-out>\n";
            cases += "      <system-err>" +
                     markup_escaped(output_tail(run.output, last->stderr_file)) + "</system-err>\n";
        }
        cases += "    </testcase>\n";
        if (last == nullptr) continue;
        for (const Measurement& m : last->measurements) {
            count(m.verdict);
            cases += "    <testcase name=\"" + markup_escaped(s.name + "/" + m.name) +
                     "\" classname=\"" + suite + "." + markup_escaped(s.name) +
                     "\" time=\"0.000\">\n";
            const std::string measured = outcome_element(m.verdict, measurement_text(m));
            if (!measured.empty()) cases += "      " + measured + "\n";
            cases += "      <system-out>" +
                     markup_escaped(
                         "value " + number_text(m.value) + (m.units.empty() ? "" : " " + m.units) +
                         "\n" + limits_text(m) + "\nmargin " + number_text(m.margin) +
                         ", margin percent " + number_text(m.margin_percent) + "\nverdict " +
                         verdict_name(m.verdict) + (m.note.empty() ? "" : "\n" + m.note) + "\n") +
                     "</system-out>\n";
            cases += "    </testcase>\n";
        }
    }
    // What went wrong beyond the steps (the history, no step run) is a case
    // of its own, so that CI sees the run's exit status.
    if (!run.errors.empty()) {
        std::string message;
        for (const std::string& e : run.errors) message += (message.empty() ? "" : "; ") + e;
        count(Verdict::error);
        cases += "    <testcase name=\"station\" classname=\"" + suite +
                 "\" time=\"0.000\">\n      " + outcome_element(Verdict::error, message) +
                 "\n    </testcase>\n";
    }
    // A timestamp without a zone, as the schema's readers expect.
    const std::string timestamp = run.started.substr(0, 19);
    const std::string counts = "tests=\"" + std::to_string(tests) + "\" failures=\"" +
                               std::to_string(failures) + "\" errors=\"" + std::to_string(errors) +
                               "\"";
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    xml +=
        "<testsuites name=\"" + suite_name + "\" " + counts + " time=\"" + number(total) + "\">\n";
    xml += "  <testsuite name=\"" + suite_name + "\" " + counts + " skipped=\"" +
           std::to_string(skipped) + "\" time=\"" + number(total) + "\" timestamp=\"" +
           markup_escaped(timestamp) + "\" hostname=\"" + markup_escaped(hostname) + "\">\n";
    xml += "    <properties>\n";
    std::vector<std::pair<const char*, std::string>> properties = {
        {"serial", run.serial},
        {"station", run.station},
        {"device", run.device},
        {"sequence_sha256", run.sequence_sha256},
        {"sequence_version", run.sequence_version},
        {"verdict", run.verdict ? verdict_name(*run.verdict) : ""},
    };
    if (!run.socket.empty()) {
        properties.insert(properties.end(), {{"socket", run.socket},
                                             {"station_file_sha256", run.station_file_sha256}});
    }
    // A run rule broken is the process's news: a property, not a failure.
    for (const RunAlarm& a : run.alarms) {
        properties.emplace_back("alarm", a.step + "/" + a.measurement + ": " + a.rule);
    }
    for (const auto& [name, value] : properties) {
        xml += "      <property name=\"" + std::string(name) + "\" value=\"" +
               markup_escaped(value) + "\"/>\n";
    }
    xml += "    </properties>\n" + cases + "  </testsuite>\n</testsuites>\n";
    return xml;
}
