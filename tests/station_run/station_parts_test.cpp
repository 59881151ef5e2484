// station_run's parts in process: escaping of what comes from outside, the
// numbers and JSON pointers a measure reads, the last match of a pattern,
// limits and verdicts, the record's replay over every truncation, the facts
// the writers share, the summary's arithmetic, the history on both stores,
// and the times a user gives.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "base/times.h"
#include "board/locks.h"
#include "decimal.h"
#include "escape.h"
#include "history/history.h"
#include "history_targets.h"
#include "outputs/fleet_page.h"
#include "outputs/spc.h"
#include "outputs/statistics.h"
#include "process.h"
#include "record/events.h"
#include "record/record_facts.h"
#include "record/record_log.h"
#include "sequence/json_pointer.h"
#include "sequence/measure.h"
#include "station/station_file.h"

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(StationText, InvalidUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(utf8_repaired("plain ascii"), "plain ascii");
    EXPECT_EQ(utf8_repaired("\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA1"),
              "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA1")
        << "two-, three- and four-byte characters stay";
    const std::pair<std::string, std::string> broken[] = {
        {"a\xFFz", "a" + kFffd + "z"},                        // a byte no character starts with
        {"a\xC3", "a" + kFffd},                               // cut short at the end
        {"\xC0\x80", kFffd + kFffd},                          // an overlong NUL
        {"\xE0\x80\xAF", kFffd + kFffd + kFffd},              // an overlong '/'
        {"\xED\xA0\x80", kFffd + kFffd + kFffd},              // a surrogate
        {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // above U+10FFFF
        {"\xE2\x82z", kFffd + kFffd + "z"},                   // a sequence broken off
    };
    for (const auto& [in, out] : broken) EXPECT_EQ(utf8_repaired(in), out) << in;
}

TEST(StationText, MarkupHoldsOnlyWhatXmlAndHtmlAllow) {
    EXPECT_EQ(markup_escaped("<a href=\"x\">R&D's</a>"),
              "&lt;a href=&quot;x&quot;&gt;R&amp;D&#39;s&lt;/a&gt;");
    EXPECT_EQ(markup_escaped("]]><![CDATA["), "]]&gt;&lt;![CDATA[");
    EXPECT_EQ(markup_escaped("tab\tline\ncr\r"), "tab\tline\ncr\r");
    const std::pair<std::string, std::string> refused[] = {
        {std::string("\x00", 1), kFffd},          // NUL
        {"\x01\x1B", kFffd + kFffd},              // C0 controls
        {"\x7F", kFffd},                          // DEL
        {"\xC2\x85", kFffd},                      // a C1 control
        {"\xEF\xBF\xBE", kFffd},                  // U+FFFE
        {"\xEF\xBF\xBF", kFffd},                  // U+FFFF
        {"\xEF\xB7\x90", kFffd},                  // U+FDD0
        {"\xF4\x8F\xBF\xBF", kFffd},              // U+10FFFF
        {"\xED\xBF\xBF", kFffd + kFffd + kFffd},  // a surrogate
    };
    for (const auto& [in, out] : refused) EXPECT_EQ(markup_escaped("<" + in), "&lt;" + out);
    EXPECT_EQ(markup_escaped("\xEF\xBF\xBD ok"), "\xEF\xBF\xBD ok") << "U+FFFD itself is fine";
}

TEST(StationText, NothingReachesATerminalThatSteersIt) {
    EXPECT_EQ(terminal_safe("SN-\x1B[31mred\x07"), "SN-\\x1b[31mred\\x07");
    EXPECT_EQ(terminal_safe("a\nb\tc\rd\x7F"), "a\\nb\\tc\\rd\\x7f");
    EXPECT_EQ(terminal_safe("\xC2\x9B"
                            "2J"),
              "\\u{9b}2J")
        << "CSI as one C1 character";
    EXPECT_EQ(terminal_safe("caf\xC3\xA9 \xFF"), "caf\xC3\xA9 " + kFffd);
}

TEST(StationMeasure, OnlyDecimalFiniteNumbersAreNumbers) {
    const std::pair<const char*, double> numbers[] = {
        {"12", 12},         {"-3.5", -3.5},
        {"+4e2", 400},      {".5", 0.5},
        {"5.", 5},          {"0", 0},
        {"-0.0", -0.0},     {"0e-999", 0},
        {"1E-300", 1e-300}, {"123456789012345678901234567890", 1.2345678901234568e29}};
    for (const auto& [text, value] : numbers) {
        const std::optional<double> v = decimal_number(text);
        ASSERT_TRUE(v.has_value()) << text;
        EXPECT_DOUBLE_EQ(*v, value) << text;
    }
    for (const char* text : {"", "-", ".", "0x10", "0x1p3", "1e-999", "-1e-999", "1e999", "inf",
                             "nan", "NaN", "1.2.3", " 1", "1 ", "1e", "1e+", "++1", "1,5", "١"}) {
        EXPECT_FALSE(decimal_number(text).has_value()) << text;
    }
}

TEST(StationMeasure, JsonPointerFindsWhatItNamesAndNeverThrows) {
    const std::string doc = R"({"channels": [{"snr": 41.5, "skip": null}, {"snr": 7}],
        "a/b": {"m~n": 3}, "text": "12", "deep": [[[1, 2]]], "twice": 1, "twice": 2})";
    struct Case {
        const char* pointer;
        PointerValue::Kind kind;
        double value;
    };
    const Case cases[] = {
        {"/channels/0/snr", PointerValue::number, 41.5},
        {"/channels/1/snr", PointerValue::number, 7},
        {"/a~1b/m~0n", PointerValue::number, 3},
        {"/deep/0/0/1", PointerValue::number, 2},
        {"/twice", PointerValue::number, 2},  // the last, as a parser keeps it
        {"/channels/0/skip", PointerValue::null, 0},
        {"/text", PointerValue::not_number, 0},
        {"/channels", PointerValue::not_number, 0},
        {"", PointerValue::not_number, 0},
        {"/channels/2/snr", PointerValue::absent, 0},
        {"/channels/01/snr", PointerValue::absent, 0},  // no leading zeros
        {"/channels/-/snr", PointerValue::absent, 0},
        {"/channels/99999999999999999999999999/snr", PointerValue::absent, 0},
        {"/channels/0x1/snr", PointerValue::absent, 0},
        {"/nothing", PointerValue::absent, 0},
        {"no-slash", PointerValue::absent, 0},
        {"/a~2b", PointerValue::absent, 0},
    };
    for (const Case& c : cases) {
        const PointerValue v = json_pointer_value(doc, c.pointer);
        EXPECT_EQ(v.kind, c.kind) << c.pointer;
        if (c.kind == PointerValue::number) {
            EXPECT_DOUBLE_EQ(v.value, c.value) << c.pointer;
        }
    }
    EXPECT_EQ(json_pointer_value(R"({"a": 1} trailing)", "/a").kind, PointerValue::no_json);
    EXPECT_EQ(json_pointer_value("{\"a\": [1, 2", "/a/0").kind, PointerValue::no_json);
    EXPECT_EQ(json_pointer_value("7", "").value, 7);
    // Nesting a recursive parser would not survive.
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_EQ(json_pointer_value(deep, "/0/0/0").kind, PointerValue::not_number);
    EXPECT_TRUE(valid_json_pointer("/a~0~1/0"));
    EXPECT_FALSE(valid_json_pointer("a"));
    EXPECT_FALSE(valid_json_pointer("/a~"));
}

Step step_measuring(const std::string& pattern) {
    Step s;
    s.name = "s";
    s.measures.push_back({"value", pattern, "", "", {}});
    return s;
}

const auto kNoHurry = std::chrono::steady_clock::now() + std::chrono::hours(1);

TEST(StationMeasure, PatternTakesTheLastMatchInLinearTime) {
    const std::string progress = "Failures: 0/10\nFailures: 2/20\nFailures: 3/30\nend\n";
    std::vector<Measurement> m =
        measure_step(step_measuring(R"(Failures: (\d+)/)"), 0, {progress, false}, kNoHurry);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1].value, 3.0) << "the summary after the progress lines";

    // One long line that a backtracking engine recursed on, and a pattern that
    // backtracks exponentially: both answer at once.
    const std::string line = "v: 42 " + std::string(100 * 1024, 'x') + "\n";
    m = measure_step(step_measuring(R"(v: (\d+).*)"), 0, {line, false}, kNoHurry);
    EXPECT_EQ(m[1].value, 42.0);
    const std::string as = std::string(100 * 1024, 'a');
    m = measure_step(step_measuring(R"(^(a|a)*(\d)$)"), 0, {as, false}, kNoHurry);
    EXPECT_EQ(m[1].verdict, Verdict::error);
    EXPECT_EQ(m[1].note, "no match in the output");

    m = measure_step(step_measuring(R"(value (\S+))"), 0, {"value 0x10\n", false}, kNoHurry);
    EXPECT_EQ(m[1].verdict, Verdict::error);
    EXPECT_EQ(m[1].note, "\"0x10\" is no number");
    m = measure_step(step_measuring(R"(value (\S+))"), 0, {"value 5\n", true}, kNoHurry);
    EXPECT_EQ(m[1].verdict, Verdict::error) << "a cut output may have lost the last match";
    EXPECT_EQ(m[1].note, "the standard output passed its limit and was cut");
    const auto past = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    m = measure_step(step_measuring(R"(value (\S+))"), 0, {"value 5\n", false}, past);
    EXPECT_EQ(m[1].note, "measuring ran past the step's deadline");
}

TEST(StationMeasure, MeasurementsOfAStepThatEndedEarlyAreSkipped) {
    const std::vector<Measurement> m = not_measured(step_measuring("(x)"), "not taken: why");
    ASSERT_EQ(m.size(), 2u);
    for (const Measurement& each : m) {
        EXPECT_EQ(each.verdict, Verdict::skipped);
        EXPECT_EQ(each.note, "not taken: why");
        EXPECT_FALSE(each.value.has_value());
    }
}

TEST(StationTimes, UserTimesBecomeTheRecordsUtcForm) {
    const std::pair<const char*, const char*> good[] = {
        {"2026-12-01", "2026-12-01T00:00:00.000Z"},
        {"2026-12-01T09:30:00Z", "2026-12-01T09:30:00.000Z"},
        {"2026-12-01T09:30:00.25+01:00", "2026-12-01T08:30:00.250Z"},
        {"2026-12-01T00:30:00-02:30", "2026-12-01T03:00:00.000Z"},
        {"2024-02-29", "2024-02-29T00:00:00.000Z"},
    };
    for (const auto& [in, out] : good) EXPECT_EQ(time_from_user(in), out) << in;
    for (const char* bad : {"banana", "", "2026-12", "2026-13-01", "2026-02-30", "2025-02-29",
                            "2026-12-01T09:30:00", "2026-12-01T25:00:00Z", "2026-12-01 junk",
                            "2026-12-01T09:30:00+1:00", "2026-12-01T09:30:00.Z"}) {
        EXPECT_FALSE(time_from_user(bad).has_value()) << bad;
    }
    EXPECT_DOUBLE_EQ(seconds_between("2026-12-01T23:59:59.500Z", "2026-12-02T00:00:01.000Z"), 1.5);
    EXPECT_EQ(seconds_between("garbage", "2026-12-02T00:00:01.000Z"), 0);
}

TEST(StationVerdicts, RankExitStatusAndPassingAreEachVerdictsOwn) {
    const Verdict order[] = {Verdict::pass,  Verdict::marginal, Verdict::fail,
                             Verdict::error, Verdict::timeout,  Verdict::aborted};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) {
        EXPECT_EQ(worse(order[i], order[i + 1]), order[i + 1]) << verdict_name(order[i]);
        EXPECT_EQ(worse(order[i + 1], order[i]), order[i + 1]) << verdict_name(order[i]);
    }
    EXPECT_EQ(worse(Verdict::skipped, Verdict::pass), Verdict::skipped) << "a tie keeps the first";
    EXPECT_EQ(worse(Verdict::skipped, Verdict::marginal), Verdict::marginal);
    const std::pair<Verdict, int> statuses[] = {
        {Verdict::pass, 0},  {Verdict::marginal, 0}, {Verdict::skipped, 0}, {Verdict::fail, 1},
        {Verdict::error, 2}, {Verdict::aborted, 2},  {Verdict::timeout, 3}};
    for (const auto& [v, status] : statuses) {
        EXPECT_EQ(exit_status_of(v), status) << verdict_name(v);
        Verdict back;
        ASSERT_TRUE(verdict_from_name(verdict_name(v), back));
        EXPECT_EQ(back, v);
    }
    EXPECT_TRUE(passed(Verdict::marginal));
    EXPECT_FALSE(passed(Verdict::skipped));
    Verdict none;
    EXPECT_FALSE(verdict_from_name("pass", none)) << "the words are upper case";
}

TEST(StationLimits, InclusiveLimitsMarginalBandsAndMarginsAtEachEdge) {
    const Limits both{9.0, 11.0, 9.5, 10.5};
    struct Case {
        double value;
        Verdict verdict;
        double margin;
    };
    const Case cases[] = {
        {8.999, Verdict::fail, -0.001},
        {9.0, Verdict::marginal, 0},
        {9.4999, Verdict::marginal, 0.4999},
        {9.5, Verdict::pass, 0.5},
        {10.0, Verdict::pass, 1},
        {10.5, Verdict::pass, 0.5},
        {10.5001, Verdict::marginal, 0.4999},
        {11.0, Verdict::marginal, 0},
        {11.25, Verdict::fail, -0.25},
    };
    for (const Case& c : cases) {
        const Measurement m = judge("v", "V", c.value, both);
        EXPECT_EQ(m.verdict, c.verdict) << c.value;
        ASSERT_TRUE(m.margin.has_value());
        EXPECT_NEAR(*m.margin, c.margin, 1e-9) << c.value;
        EXPECT_NEAR(*m.margin_percent, 100 * c.margin / 2, 1e-7) << c.value;
        EXPECT_FALSE(std::signbit(*m.margin) && *m.margin == 0) << "no -0 at an edge";
    }
    const Measurement high_only = judge("v", "", 5.0, {{}, 4.0, {}, {}});
    EXPECT_EQ(high_only.verdict, Verdict::fail);
    EXPECT_EQ(high_only.margin, -1.0);
    EXPECT_FALSE(high_only.margin_percent.has_value()) << "one limit: no band";
    const Measurement none = judge("v", "", 5.0, {});
    EXPECT_EQ(none.verdict, Verdict::pass);
    EXPECT_FALSE(none.margin.has_value());
    const Measurement missing = judge("v", "", std::nullopt, both, "no match");
    EXPECT_EQ(missing.verdict, Verdict::error);
    const Measurement exact = judge("exit_status", "", 0.0, {0.0, 0.0, {}, {}});
    EXPECT_EQ(exact.verdict, Verdict::pass);
    EXPECT_FALSE(exact.margin_percent.has_value()) << "a band of no width";
}

// A run of two steps: one that passes on its retry, one that fails.
std::vector<nlohmann::ordered_json> two_step_events(RunRecord& run) {
    run.station = "st";
    run.serial = "SN-1";
    run.device = "sim";
    run.sequence_name = "seq";
    run.sequence_version = "1";
    run.sequence_sha256 = std::string(64, 'a');
    run.output = "/runs/1";
    run.started = "2026-12-09T08:00:00.000Z";
    run.steps = {{"a", {"true"}, {}, {}, "", false, false, ""},
                 {"b", {"false"}, {}, {}, "", false, false, ""}};
    Attempt failed, ok, b;
    failed.number = 1;
    failed.verdict = Verdict::fail;
    failed.measurements = {judge("exit_status", "", 1.0, {0.0, 0.0, {}, {}})};
    ok = failed;
    ok.number = 2;
    ok.verdict = Verdict::pass;
    ok.measurements = {judge("exit_status", "", 0.0, {0.0, 0.0, {}, {}})};
    b = failed;
    StepRecord a_done = run.steps[0], b_done = run.steps[1];
    a_done.verdict = Verdict::pass;
    a_done.passed_on_retry = true;
    b_done.verdict = Verdict::fail;
    RunRecord ended = run;
    ended.verdict = Verdict::fail;
    ended.exit_status = 1;
    ended.ended = "2026-12-09T08:00:09.000Z";
    return {run_started_event(run),
            step_started_event("a", 1, "2026-12-09T08:00:01.000Z"),
            attempt_ended_event("a", failed),
            step_started_event("a", 2, "2026-12-09T08:00:02.000Z"),
            attempt_ended_event("a", ok),
            step_ended_event(a_done),
            step_started_event("b", 1, "2026-12-09T08:00:03.000Z"),
            attempt_ended_event("b", b),
            step_ended_event(b_done),
            run_ended_event(ended)};
}

// Every prefix of a written record.jsonl, cut at any byte, replays to the
// steps whose events are whole: a torn last line is never taken, even one
// that lacks only its newline.
TEST(StationRecord, EveryTruncationReplaysToTheEventsThatAreWhole) {
    test_support::TempDir dir;
    RunRecord run;
    const std::vector<nlohmann::ordered_json> events = two_step_events(run);
    std::string text;
    std::vector<std::size_t> line_ends;
    for (const auto& e : events) {
        text += json_text(e) + "\n";
        line_ends.push_back(text.size());
    }
    // What the first k whole lines say: a's attempts, a ended, b's attempts,
    // b ended, the run ended.
    const int expected[11][5] = {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {1, 0, 0, 0, 0},
                                 {1, 0, 0, 0, 0}, {2, 0, 0, 0, 0}, {2, 1, 0, 0, 0}, {2, 1, 0, 0, 0},
                                 {2, 1, 1, 0, 0}, {2, 1, 1, 1, 0}, {2, 1, 1, 1, 1}};
    const auto path = dir / "record.jsonl";
    for (std::size_t size = 0; size <= text.size(); ++size) {
        test_support::write_file(path, text.substr(0, size));
        const std::size_t whole = static_cast<std::size_t>(
            std::upper_bound(line_ends.begin(), line_ends.end(), size) - line_ends.begin());
        RunRecord back;
        bool cut = false;
        std::string error;
        const bool ok = replay(path.string(), back, cut, error);
        ASSERT_EQ(ok, whole >= 1) << size << ": " << error;
        EXPECT_EQ(cut, size > 0 && text[size - 1] != '\n') << size;
        if (!ok) continue;
        const int* e = expected[whole];
        ASSERT_EQ(back.steps.size(), 2u);
        EXPECT_EQ(static_cast<int>(back.steps[0].attempts.size()), e[0]) << size;
        EXPECT_EQ(back.steps[0].verdict.has_value(), e[1] == 1) << size;
        EXPECT_EQ(static_cast<int>(back.steps[1].attempts.size()), e[2]) << size;
        EXPECT_EQ(back.steps[1].verdict.has_value(), e[3] == 1) << size;
        EXPECT_EQ(back.verdict.has_value(), e[4] == 1) << size;
    }
    // The whole record replays to the document of the run it records.
    RunRecord back;
    bool cut = false;
    std::string error;
    ASSERT_TRUE(replay(path.string(), back, cut, error)) << error;
    EXPECT_EQ(back.steps[0].passed_on_retry, true);
    EXPECT_EQ(interrupted_steps(back), std::vector<std::string>{});
    EXPECT_EQ(tally_of(back)["passed_on_retry"], 1);
    EXPECT_EQ(tally_of(back)["failed"], 1);
}

TEST(StationRecord, StepNotesAreOneWordingForEveryWriter) {
    RunRecord run;
    two_step_events(run);
    StepRecord s{"a", {"true"}, {}, {}, "", false, false, ""};
    EXPECT_EQ(step_note(s), "");
    s.verdict = Verdict::skipped;
    s.skip_reason = "no image given (-i)";
    EXPECT_EQ(step_note(s), "no image given (-i)");
    Attempt a;
    a.number = 1;
    a.verdict = Verdict::fail;
    a.measurements = {judge("exit_status", "", 0.0, {0.0, 0.0, {}, {}}),
                      judge("snr", "dB", 12.5, {30.0, {}, {}, {}})};
    s = {"a", {"true"}, {a}, Verdict::fail, "", false, false, ""};
    EXPECT_EQ(step_note(s), "snr = 12.5 dB, low 30, high none");
    a.timed_out = true;
    a.measurements = not_measured(Step{}, "not taken: the deadline passed");
    s.attempts = {a};
    EXPECT_EQ(step_note(s), "the deadline passed");
    a.note = "cannot run /bin/x: Permission denied";
    s.attempts = {a};
    EXPECT_EQ(step_note(s), "cannot run /bin/x: Permission denied");
    Attempt again = a;
    again.number = 2;
    again.verdict = Verdict::pass;
    again.duration_s = 1.25;
    s = {"a", {"true"}, {a, again}, Verdict::pass, "", true, false, ""};
    EXPECT_EQ(step_note(s), "passed on retry, attempt 2");
    EXPECT_DOUBLE_EQ(step_duration(s), a.duration_s + again.duration_s);
    // The record as it grows says the same, for the live view.
    const nlohmann::ordered_json ended = step_ended_event(s);
    EXPECT_EQ(ended["note"], "passed on retry, attempt 2");
    EXPECT_DOUBLE_EQ(ended["duration_s"].get<double>(), step_duration(s));
    EXPECT_EQ(deciding_attempt(s)->number, 2);
    s.verdict = Verdict::aborted;
    EXPECT_EQ(step_note(s), "the run was aborted");
    EXPECT_EQ(number_text(915000123.25), "915000123.2") << "ten figures";
    EXPECT_EQ(number_text(std::nullopt), "none");
}

// A measurement's totals as a store makes them, from its values in time order.
MeasurementTotals totals_of(const std::vector<double>& values, std::optional<double> low,
                            std::optional<double> high) {
    MeasurementTotals t;
    t.sequence = "stats";
    t.step = "a";
    t.name = "value";
    t.origin = *std::min_element(values.begin(), values.end());
    t.low = low;
    t.high = high;
    t.count = t.runs = values.size();
    for (std::size_t i = 0; i < values.size(); ++i) {
        t.sum += values[i] - *t.origin;
        t.squares += (values[i] - *t.origin) * (values[i] - *t.origin);
        if (i > 0) {
            t.moving_range_sum += std::fabs(values[i] - values[i - 1]);
            ++t.moving_ranges;
        }
    }
    return t;
}

// Cpk from the spread within (the mean moving range / 1.128), Ppk from the
// overall one, each with Bissell's one-sided 95 % lower bound, C - 1.645
// sqrt(1 / 9n + C^2 / 2(n - 1)) (Bissell, "How reliable is your capability
// index?", Applied Statistics 39, 1990; Montgomery, Introduction to
// Statistical Quality Control, on Cpk and Ppk). Worked out beforehand with
// Python 3.11's statistics module, and by hand for the first table: moving
// ranges 0.04 0.07 0.04 0.04 0.06 0.03 0.01, mean 0.041429, over 1.128
// 0.036727; Cpu = (10.10 - 10.00625) / (3 x 0.036727) = 0.85086.
TEST(StationSummary, CpkAndPpkWithTheirBoundsMatchFiguresWorkedOutBeforehand) {
    struct Table {
        std::vector<double> values;
        std::optional<double> low, high;
        double mean, sd, sd_within, cpk, cpk_lower, ppk, ppk_lower;
        std::string capability;
    };
    const Table tables[] = {
        {{10.02, 9.98, 10.05, 10.01, 9.97, 10.03, 10.00, 9.99},
         9.9,
         10.1,
         10.00625,
         0.026692695630078124,
         0.036727456940222565,
         0.8508620689655249,
         0.4295340386691174,
         1.170732264477124,
         0.6207265909949534,
         "not capable"},
        {{10.00, 10.03, 10.01, 10.02, 10.00, 10.02},
         9.9,
         10.1,
         10.013333333333334,
         0.012110601416389708,
         0.017730496453900332,
         1.6293333333333555,
         0.7526992208562411,
         2.3854214911071474,
         1.124507704426583,
         "not yet shown"},
        {{10.00, 10.01, 10.00, 10.02, 10.01, 10.00, 10.01, 10.02, 10.00, 10.01,
          10.00, 10.01, 10.02, 10.01, 10.00, 10.01, 10.02, 10.01, 10.00, 10.01},
         9.9,
         10.1,
         10.0085,
         0.007451598203705788,
         0.009798432250839659,
         3.1127428571429197,
         2.273093760043274,
         4.093081667343776,
         2.993965179712275,
         "capable"},
    };
    for (const Table& t : tables) {
        SCOPED_TRACE(t.capability);
        const MeasurementSummary s = summarize({totals_of(t.values, t.low, t.high)}).at(0);
        EXPECT_NEAR(*s.mean, t.mean, 1e-12);
        EXPECT_NEAR(*s.sd, t.sd, 1e-12);
        EXPECT_NEAR(*s.sd_within, t.sd_within, 1e-12);
        EXPECT_NEAR(*s.cpk, t.cpk, 1e-9);
        EXPECT_NEAR(*s.cpk_lower_95, t.cpk_lower, 1e-9);
        EXPECT_NEAR(*s.ppk, t.ppk, 1e-9);
        EXPECT_NEAR(*s.ppk_lower_95, t.ppk_lower, 1e-9);
        EXPECT_EQ(s.capability, t.capability);
    }
    // One limit: the one-sided index alone (3.1 2.9 3.4 3.0 2.7 3.3 under 4.0:
    // mean moving range 0.4, Cpu 0.87733, Ppu 1.20493).
    const MeasurementSummary high =
        summarize({totals_of({3.1, 2.9, 3.4, 3.0, 2.7, 3.3}, {}, 4.0)})[0];
    EXPECT_FALSE(high.cpl.has_value());
    EXPECT_NEAR(*high.cpk, 0.8773333333333335, 1e-9);
    EXPECT_NEAR(*high.ppk, 1.2049281521534192, 1e-9);
    // No limit, or one value: no index.
    EXPECT_FALSE(summarize({totals_of({1, 2, 3}, {}, {})})[0].cpk.has_value());
    EXPECT_FALSE(summarize({totals_of({1}, 0.0, 2.0)})[0].sd.has_value());
    Summary summary;
    summary.measurements = summarize({totals_of(tables[0].values, 9.9, 10.1)});
    const std::string text = summary_text(summary);
    EXPECT_NE(text.find("not capable"), std::string::npos) << text;
}

// The run rules on a centre of 0 and a sigma of 1, one series a rule, each
// firing worked out by hand (where the pattern is first complete), and one
// series that fires nothing.
TEST(StationSpc, EachRuleFiresWhereItsPatternCompletes) {
    struct Series {
        const char* name;
        std::vector<double> values;
        std::vector<std::pair<std::size_t, std::string>> fired;
    };
    const Series series[] = {
        {"beyond 3 sigma", {0.5, -0.3, 3.2}, {{2, "we1"}, {2, "nelson1"}}},
        {"2 of 3 beyond 2", {0.1, 2.3, -0.2, 2.5}, {{3, "we2"}, {3, "nelson5"}}},
        {"4 of 5 beyond 1", {1.2, 1.5, 0.3, 1.1, 1.4}, {{4, "we3"}, {4, "nelson6"}}},
        {"8 then 9 on one side",
         {0.2, 0.5, 0.1, 0.3, 0.8, 0.4, 0.6, 0.2, 0.1},
         {{7, "we4"}, {8, "nelson2"}}},
        {"6 rising", {-1.0, -0.5, 0, 0.3, 0.6, 0.9}, {{5, "nelson3"}}},
        {"14 alternating",
         {0.1, -0.1, 0.1, -0.1, 0.1, -0.1, 0.1, -0.1, 0.1, -0.1, 0.1, -0.1, 0.1, -0.1},
         {{13, "nelson4"}}},
        {"15 within 1",
         {0.1, 0.2, -0.1, -0.2, 0.1, 0.3, -0.3, -0.1, 0.2, 0.1, -0.2, -0.3, 0.2, 0.1, -0.1},
         {{14, "nelson7"}}},
        {"8 outside 1 both sides", {1.5, -1.5, 1.2, -1.8, 1.6, -1.3, 1.4, -1.2}, {{7, "nelson8"}}},
        // The EWMA of 1.2 from 0: 1.2 (1 - 0.8^i) against 3 sqrt(0.2 / 1.8 (1 - 0.64^i)),
        // 0.948 < 0.978 at i = 7, 0.999 > 0.986 at i = 8.
        {"a steady shift of 1.2",
         std::vector<double>(8, 1.2),
         {{4, "we3"}, {4, "nelson6"}, {7, "we4"}, {7, "ewma"}}},
        {"in control",
         {0.5,  1.2, -0.3, -0.8, 0.4, 0.9,  -1.1, 0.2, 0.6,  -0.4,
          -0.2, 1.3, 0.1,  -0.6, 0.3, -1.2, 0.7,  0.2, -0.5, 0.8},
         {}},
    };
    for (const Series& s : series) {
        SCOPED_TRACE(s.name);
        RuleWatch watch(0, 1, SpcSettings{});
        std::vector<std::pair<std::size_t, std::string>> fired;
        for (std::size_t i = 0; i < s.values.size(); ++i) {
            for (Rule r : watch.add(s.values[i])) fired.emplace_back(i, rule_name(r));
        }
        EXPECT_EQ(fired, s.fired);
    }
    // The chart takes its centre and limits from the baseline alone.
    std::vector<Point> points;
    for (double v : {10.0, 10.2, 9.9, 10.1, 10.0, 10.3, 9.8, 10.1, 14.0}) {
        points.push_back({v, "SN", "2026-12-01T00:00:00.000Z"});
    }
    SpcSettings settings;
    settings.baseline_runs = 8;
    const std::optional<Chart> chart = control_chart(points, settings);
    ASSERT_TRUE(chart.has_value());
    EXPECT_NEAR(chart->centre, 10.05, 1e-12);
    EXPECT_NEAR(chart->mr_bar, (0.2 + 0.3 + 0.2 + 0.1 + 0.3 + 0.5 + 0.3) / 7, 1e-12);
    EXPECT_NEAR(chart->ucl, 10.05 + 2.66 * chart->mr_bar, 0.001 * chart->mr_bar);
    ASSERT_EQ(chart->alarms.size(), 3u);
    EXPECT_EQ(chart->alarms[0].points, std::vector<std::size_t>{8}) << "the outlier";
}

// The chart's false alarms in control, over normal values from a seeded
// generator, against the published average run lengths: 370.4 for the
// 3-sigma chart alone (1 / 0.0027), 91.75 with the Western Electric rules 1
// to 4 (Champ and Woodall, "Exact results for Shewhart control charts with
// supplementary runs rules", Technometrics 29, 1987).
TEST(StationSpc, InControlRunLengthsMatchThePublishedOnes) {
    std::mt19937_64 random(20261209);
    std::normal_distribution<double> normal(0, 1);
    auto average_run_length = [&](const std::set<std::string>& rules, int runs) {
        double total = 0;
        for (int r = 0; r < runs; ++r) {
            RuleWatch watch(0, 1, SpcSettings{});
            for (std::size_t length = 1;; ++length) {
                const std::vector<Rule> fired = watch.add(normal(random));
                if (std::any_of(fired.begin(), fired.end(),
                                [&](Rule x) { return rules.count(rule_name(x)) > 0; })) {
                    total += static_cast<double>(length);
                    break;
                }
            }
        }
        return total / runs;
    };
    const double shewhart = average_run_length({"we1"}, 10000);
    const double western_electric = average_run_length({"we1", "we2", "we3", "we4"}, 10000);
    EXPECT_NEAR(shewhart, 370.4, 370.4 * 0.03);
    EXPECT_NEAR(western_electric, 91.75, 91.75 * 0.03);
    std::cout << "average run lengths in control: 3-sigma " << shewhart
              << " (published 370.4), Western Electric rules " << western_electric
              << " (published 91.75)" << std::endl;
}

// The shared instruments' locks: one holder, the others served in the order
// they asked, whatever a board does or however its process ends.
// A chart whose control limits lie close together against wide limits: its
// axis labels stand a line apart, never over each other.
TEST(StationFleetPage, AxisLabelsOfCloseLimitsStandApart) {
    Summary summary;
    summary.spc = true;
    MeasurementSummary m;
    m.sequence = "seq";
    m.step = "step";
    m.measurement = "tight";
    m.low = 0;
    m.high = 1000;
    summary.measurements.push_back(m);
    std::vector<Point> series;
    for (int i = 0; i < 30; ++i) series.push_back({500 + 0.001 * (i % 3), "SN", "t"});
    summary.series.push_back(series);
    summary.charts.push_back(control_chart(series, summary.settings));
    ASSERT_TRUE(summary.charts[0]);
    const std::string page = fleet_page(summary);
    std::vector<double> ys;
    const std::regex label(
        R"re(<text x="[0-9.]+" y="([0-9.]+)" font-size="11" text-anchor="end")re");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), label);
         it != std::sregex_iterator(); ++it) {
        ys.push_back(std::stod((*it)[1]));
    }
    ASSERT_EQ(ys.size(), 3u);
    std::sort(ys.begin(), ys.end());
    EXPECT_GE(ys[1] - ys[0], 12.0);
    EXPECT_GE(ys[2] - ys[1], 12.0);
}

TEST(StationLocks, OneHolderTheOthersInTheOrderTheyAskedNoneLeftByAGoneBoard) {
    LockBroker b;
    auto granted = [](const std::vector<Grant>& g) {
        std::string out;
        for (const Grant& x : g) out += std::to_string(x.board) + ":" + x.lock + " ";
        return out;
    };
    EXPECT_EQ(granted(b.ask(3, "rf")), "3:rf ");
    EXPECT_EQ(granted(b.ask(0, "rf")), "") << "held";
    EXPECT_EQ(granted(b.ask(2, "rf")), "");
    EXPECT_EQ(granted(b.ask(1, "switch")), "1:switch ") << "another lock is another queue";
    EXPECT_EQ(granted(b.ask(0, "rf")), "") << "asked twice, queued once";
    EXPECT_EQ(granted(b.give_back(3, "rf")), "0:rf ") << "the first to ask, not the lowest";
    EXPECT_EQ(granted(b.ask(3, "rf")), "") << "behind the ones already waiting";
    EXPECT_EQ(granted(b.give_back(2, "rf")), "") << "a waiting board that stops waiting";
    EXPECT_EQ(granted(b.gone(0)), "3:rf ") << "a holder whose process ended";
    EXPECT_EQ(granted(b.gone(1)), "");
    EXPECT_EQ(b.holder("switch"), -1);
    EXPECT_EQ(granted(b.give_back(3, "rf")), "");
    EXPECT_EQ(b.holder("rf"), -1);
    EXPECT_EQ(granted(b.give_back(5, "none")), "") << "a lock never asked for";
    std::string verb, lock, ask;
    EXPECT_TRUE(read_lock_message(lock_message("grant", "rf-source", "7"), verb, lock, ask));
    EXPECT_EQ(verb + "/" + lock + "/" + ask, "grant/rf-source/7");
    EXPECT_TRUE(read_lock_message(lock_message("give", "rf-source"), verb, lock, ask));
    EXPECT_EQ(verb + "/" + lock + "/" + ask, "give/rf-source/");
    EXPECT_FALSE(read_lock_message("steal rf", verb, lock, ask));
    EXPECT_FALSE(read_lock_message("ask ", verb, lock, ask));
    // A grant answers the asking it was made for: one given up and asked
    // anew is answered with the new number.
    LockBroker numbered;
    EXPECT_EQ(numbered.ask(1, "rf", "1").at(0).ask, "1");
    EXPECT_TRUE(numbered.ask(2, "rf", "1").empty());
    EXPECT_TRUE(numbered.give_back(2, "rf").empty()) << "2 gave up waiting";
    EXPECT_TRUE(numbered.ask(2, "rf", "2").empty());
    const std::vector<Grant> next = numbered.give_back(1, "rf");
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].board, 2);
    EXPECT_EQ(next[0].ask, "2");
}

// A station file read back as written: sockets in order, each socket's
// environment by name, the file's SHA-256.
TEST(StationFileRead, SocketsAndTheirEnvironmentsAsWritten) {
    test_support::TempDir dir;
    const std::string text =
        "name = \"line-4\"\n[[socket]]\nname = \"B\"\ndevice = \"sim\"\n"
        "env = { Z_LAST = \"1\", A_FIRST = \"x y=z\" }\n[[socket]]\nname = \"A\"\n"
        "device = \"usb:2\"\n";
    test_support::write_file(dir / "s.toml", text);
    StationFile f;
    std::string error;
    ASSERT_TRUE(load_station_file((dir / "s.toml").string(), f, error)) << error;
    EXPECT_EQ(f.name, "line-4");
    ASSERT_EQ(f.sockets.size(), 2u);
    EXPECT_EQ(f.sockets[0].name, "B");
    EXPECT_EQ(f.sockets[1].device, "usb:2");
    ASSERT_EQ(f.sockets[0].env.size(), 2u);
    EXPECT_EQ(f.sockets[0].env[0].second, "x y=z");
    EXPECT_EQ(f.sockets[0].env[1].first, "Z_LAST");
    EXPECT_EQ(f.sha256.size(), 64u);
    EXPECT_TRUE(f.sockets[1].env.empty());
}

class StationHistoryStore : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        target_ = std::make_unique<test_support::HistoryTarget>(GetParam(), dir_.path());
        if (target_->skipped()) GTEST_SKIP() << "ORLIX_TEST_PG_URL names no server";
        HistoryFault fault;
        history_ = History::open(target_->target(), false, {5, -1, nullptr}, error_, fault);
        ASSERT_TRUE(history_) << error_;
    }
    // A run of a one-step sequence whose one measure read `value`.
    RunRecord run_of(const std::string& sequence, const std::string& serial, int n, double value,
                     const Limits& limits, Verdict verdict = Verdict::pass) {
        RunRecord r;
        r.station = "st";
        r.serial = serial;
        r.device = "sim";
        r.sequence_name = sequence;
        r.sequence_version = "1";
        r.sequence_sha256 = std::string(64, '0');
        r.output = "/runs/" + sequence + "-" + std::to_string(n);
        char stamp[40];
        std::snprintf(stamp, sizeof stamp, "2026-12-%02dT08:00:00.000Z", 1 + n);
        r.started = r.ended = stamp;
        Attempt a;
        a.verdict = verdict;
        a.measurements = {judge("exit_status", "", 0.0, {0.0, 0.0, {}, {}}),
                          judge("value", "V", value, limits)};
        r.steps = {{"a", {"cat"}, {a}, verdict, "", false, false, ""}};
        r.verdict = verdict;
        return r;
    }

    test_support::TempDir dir_;
    std::unique_ptr<test_support::HistoryTarget> target_;
    std::unique_ptr<History> history_;
    std::string error_;
};

// The store adds up what the summary turns into figures: exact for large
// values close together, and counting only runs that ended.
TEST_P(StationHistoryStore, StoresSumsThatGiveTheFiguresWorkedOutBeforehand) {
    const double values[] = {10.02, 9.98, 10.05, 10.01, 9.97, 10.03, 10.00, 9.99};
    int n = 0;
    for (double v : values) {
        ASSERT_TRUE(history_->end_run(run_of("near", "A", n++, v, {9.9, 10.1, {}, {}}), error_))
            << error_;
        ASSERT_TRUE(history_->end_run(run_of("far", "C", n++, 915e6 + v, {}), error_));
    }
    // Neither a running run nor an aborted one counts.
    RunRecord running = run_of("near", "R", n++, 99, {});
    ASSERT_TRUE(history_->begin_run(running, error_));
    ASSERT_TRUE(history_->begin_run(running, error_)) << "a second begin finds the same row";
    ASSERT_TRUE(history_->end_run(run_of("near", "X", n++, 99, {}, Verdict::aborted), error_));

    std::vector<MeasurementTotals> totals;
    ASSERT_TRUE(history_->totals({}, totals, error_)) << error_;
    const std::vector<MeasurementSummary> s = summarize(totals);
    auto find = [&s](const std::string& sequence) {
        for (const MeasurementSummary& m : s) {
            if (m.sequence == sequence && m.measurement == "value") return m;
        }
        return MeasurementSummary{};
    };
    const MeasurementSummary near = find("near"), far = find("far");
    EXPECT_EQ(near.count, 8u);
    EXPECT_NEAR(*near.mean, 10.00625, 1e-9);
    EXPECT_NEAR(*near.sd, 0.026692695630078124, 1e-9);
    // The moving ranges come from the store's window functions, in time order.
    EXPECT_NEAR(*near.sd_within, 0.036727456940222565, 1e-9);
    EXPECT_NEAR(*near.cpk, 0.8508620689655249, 1e-6);
    EXPECT_NEAR(*near.cpk_lower_95, 0.4295340386691174, 1e-6);
    EXPECT_NEAR(*near.ppk, 1.170732264477124, 1e-6);
    EXPECT_NEAR(*near.ppk_lower_95, 0.6207265909949534, 1e-6);
    EXPECT_NEAR(*far.sd_within, 0.036727456940222565, 1e-6);
    EXPECT_NEAR(*far.mean, 915e6 + 10.00625, 1e-6);
    EXPECT_NEAR(*far.sd, 0.026692695630078124, 1e-6) << "the spread kept at 915 MHz";
    EXPECT_FALSE(far.cpk.has_value()) << "no limit";

    std::vector<HistoryRun> runs, aborted;
    ASSERT_TRUE(history_->last_runs({}, 50, "", runs, error_));
    ASSERT_TRUE(history_->last_runs({}, 50, "ABORTED", aborted, error_));
    EXPECT_EQ(runs.size(), 18u);
    EXPECT_EQ(runs[0].serial, "X") << "the latest first";
    EXPECT_EQ(runs[1].verdict, "RUNNING");
    EXPECT_EQ(runs[1].started, "2026-12-17T08:00:00.000Z") << "times in the record's form";
    ASSERT_EQ(aborted.size(), 1u);
    std::vector<SeriesPoint> series;
    ASSERT_TRUE(history_->series({}, "near", "a", "value", "", series, error_)) << error_;
    std::vector<double> near_values;
    for (const SeriesPoint& p : series) near_values.push_back(p.value);
    EXPECT_EQ(near_values, std::vector<double>(std::begin(values), std::end(values)))
        << "in the order the runs started, neither running nor aborted ones";
    ASSERT_TRUE(
        history_->series({}, "near", "a", "value", "2026-12-09T00:00:00.000Z", series, error_));
    ASSERT_EQ(series.size(), 4u) << "the chart starts at its date";
    EXPECT_EQ(series[0].value, 9.97);
    EXPECT_EQ(series[0].started, "2026-12-09T08:00:00.000Z");
    EXPECT_EQ(series[0].serial, "A");
    SummaryFilter only_a;
    only_a.serial = "A";
    only_a.since = "2026-12-05T00:00:00.000Z";
    ASSERT_TRUE(history_->totals(only_a, totals, error_));
    ASSERT_EQ(totals.size(), 2u);
    EXPECT_EQ(totals[1].count, 6u) << "board A's runs from the 5th";
}

INSTANTIATE_TEST_SUITE_P(Stores, StationHistoryStore, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
