// station_run's parts in process: escaping of what comes from outside, the
// numbers and JSON pointers a measure reads, the last match of a pattern,
// and the times a user gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "escape.h"
#include "measure.h"
#include "times.h"

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

}  // namespace
