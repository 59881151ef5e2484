// The record in process: its replay over every truncation, and the facts
// every writer shares.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "process.h"
#include "record/events.h"
#include "record/record_facts.h"
#include "record/record_log.h"
#include "sequence/measure.h"

namespace {

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
    run.steps = {{"a", {"true"}, {}, {}, "", false, false, "", ""},
                 {"b", {"false"}, {}, {}, "", false, false, "", ""}};
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
    StepRecord s{"a", {"true"}, {}, {}, "", false, false, "", ""};
    EXPECT_EQ(step_note(s), "");
    s.verdict = Verdict::skipped;
    s.skip_reason = "no image given (-i)";
    EXPECT_EQ(step_note(s), "no image given (-i)");
    Attempt a;
    a.number = 1;
    a.verdict = Verdict::fail;
    a.measurements = {judge("exit_status", "", 0.0, {0.0, 0.0, {}, {}}),
                      judge("snr", "dB", 12.5, {30.0, {}, {}, {}})};
    s = {"a", {"true"}, {a}, Verdict::fail, "", false, false, "", ""};
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
    s = {"a", {"true"}, {a, again}, Verdict::pass, "", true, false, "", ""};
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

}  // namespace
