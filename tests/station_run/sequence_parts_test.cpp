// A sequence's measures in process: the JSON pointers and patterns that read
// them, a step that ended early, limits with their margins, and the shipped
// sequences' pointers into the capture's figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "capture_json.h"
#include "sequence/answer.h"
#include "sequence/json_pointer.h"
#include "sequence/measure.h"
#include "sequence/sequence.h"

namespace {

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

TEST(StationAnswer, EachKindTakesItsAnswersAndRefusesTheRestWithTheReason) {
    Prompt confirm;
    EXPECT_TRUE(judge_answer(confirm, "").taken);
    EXPECT_TRUE(judge_answer(confirm, "  ").taken);
    EXPECT_EQ(judge_answer(confirm, "ok").reason, "press Enter alone to confirm");

    Prompt led;
    led.kind = AnswerKind::yes_no;
    led.expect_yes = false;
    for (const char* no : {"n", "No", " NO "}) {
        const JudgedAnswer j = judge_answer(led, no);
        EXPECT_TRUE(j.taken && j.measurement.verdict == Verdict::pass && *j.measurement.value == 0)
            << no;
    }
    const JudgedAnswer yes = judge_answer(led, "Y");
    EXPECT_EQ(yes.measurement.verdict, Verdict::fail);
    EXPECT_EQ(yes.failed_why, "answered yes where no passes");
    EXPECT_EQ(*yes.measurement.value, 1);
    EXPECT_EQ(judge_answer(led, "yep").reason, "answer yes or no");

    Prompt meter;
    meter.kind = AnswerKind::number;
    meter.units = "dBm";
    meter.limits = {10, 20, 11, {}};
    EXPECT_EQ(judge_answer(meter, "20").measurement.verdict, Verdict::pass);
    EXPECT_EQ(judge_answer(meter, "10.5").measurement.verdict, Verdict::marginal);
    EXPECT_EQ(judge_answer(meter, "-3e1").measurement.verdict, Verdict::fail);
    for (const char* refused : {"", "0x10", "inf", "12 dBm", "1e999"}) {
        EXPECT_FALSE(judge_answer(meter, refused).taken) << refused;
    }
    EXPECT_EQ(answer_hint(meter), "a number in dBm, from 10 to 20");

    Prompt label;
    label.kind = AnswerKind::text;
    label.pattern = "LBL-[0-9]+";
    const JudgedAnswer matched = judge_answer(label, "LBL-7");
    EXPECT_EQ(matched.measurement.verdict, Verdict::pass);
    EXPECT_FALSE(matched.measurement.value.has_value());
    EXPECT_EQ(matched.measurement.note, "LBL-7");
    EXPECT_EQ(judge_answer(label, "xLBL-7").measurement.verdict, Verdict::fail);
    EXPECT_FALSE(judge_answer(label, "").taken);
    EXPECT_FALSE(judge_answer(label, std::string(kAnswerMost + 1, 'L')).taken);
}

TEST(StationSequence, TheDefaultAsksNoOperatorAndTheExampleAsksEachKind) {
    Sequence fallback, example;
    std::string error;
    ASSERT_TRUE(
        load_sequence(SOURCE_DIR "/station_run/sequences/board-acceptance.toml", fallback, error))
        << error;
    for (const Step& s : fallback.steps) EXPECT_FALSE(s.prompt) << s.name << " would wait";
    ASSERT_TRUE(
        load_sequence(SOURCE_DIR "/station_run/sequences/operator-checks.toml", example, error))
        << error;
    std::vector<std::string> kinds;
    for (const Step& s : example.steps) {
        if (s.prompt) kinds.push_back(answer_kind_name(s.prompt->kind));
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"confirm", "yes-no", "number", "text"}));
    EXPECT_FALSE(example.serial_pattern.empty());
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

// The sequences shipped with the suite read capture_inspect's figures by the
// keys it writes: those named once for both.
TEST(StationSequence, ShippedMeasuresOfTheCaptureReadTheKeysItWrites) {
    int read = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(SOURCE_DIR "/station_run/sequences")) {
        std::ifstream file(entry.path());
        const std::string text((std::istreambuf_iterator<char>(file)), {});
        if (text.find("[[socket]]") != std::string::npos) continue;  // a station, not a sequence
        Sequence sequence;
        std::string error;
        ASSERT_TRUE(load_sequence(entry.path(), sequence, error)) << error;
        for (const Step& step : sequence.steps) {
            if (step.run.empty() || step.run[0] != "capture_inspect") continue;
            for (const Measure& m : step.measures) {
                SCOPED_TRACE(entry.path().string() + ": " + m.name);
                const std::string channel = std::string("/") + capture_json::channels + "/";
                const std::string pair = std::string("/") + capture_json::pair + "/";
                const std::string key = m.json_pointer.substr(m.json_pointer.rfind('/') + 1);
                const auto& keys =
                    m.json_pointer.rfind(pair, 0) == 0
                        ? std::vector<std::string>(std::begin(capture_json::pair_keys),
                                                   std::end(capture_json::pair_keys))
                        : std::vector<std::string>(std::begin(capture_json::channel_keys),
                                                   std::end(capture_json::channel_keys));
                EXPECT_TRUE(m.json_pointer.rfind(pair, 0) == 0 ||
                            m.json_pointer.rfind(channel, 0) == 0);
                EXPECT_NE(std::find(keys.begin(), keys.end(), key), keys.end());
                ++read;
            }
        }
    }
    EXPECT_GE(read, 16);
}

}  // namespace
