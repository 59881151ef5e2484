#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "fail_rules.h"
#include "orlix.h"
#include "receive_signal.h"

namespace {

using orlix_sim::FailRule;
using orlix_sim::parse_fail_rules;

std::vector<FailRule> parse_ok(const char* text) {
    std::vector<FailRule> rules;
    std::string bad;
    EXPECT_TRUE(parse_fail_rules(text, rules, bad)) << text << " rejected at " << bad;
    return rules;
}

TEST(SimFailRules, ParsesEveryForm) {
    const auto rules = parse_ok("open,set_gain@3,sync_tx@5+,load_fpga=-8,enable_module@2+=-7");
    ASSERT_EQ(rules.size(), 5u);

    EXPECT_EQ(rules[0].op, "open");
    EXPECT_EQ(rules[0].nth, 0u);
    EXPECT_EQ(rules[0].status, ORLIX_ERR_UNEXPECTED);

    EXPECT_EQ(rules[1].op, "set_gain");
    EXPECT_EQ(rules[1].nth, 3u);
    EXPECT_FALSE(rules[1].and_later);

    EXPECT_EQ(rules[2].op, "sync_tx");
    EXPECT_EQ(rules[2].nth, 5u);
    EXPECT_TRUE(rules[2].and_later);

    EXPECT_EQ(rules[3].status, -8);
    EXPECT_EQ(rules[4].nth, 2u);
    EXPECT_TRUE(rules[4].and_later);
    EXPECT_EQ(rules[4].status, -7);
}

TEST(SimFailRules, EveryFailableOperationIsAccepted) {
    for (std::string_view op : orlix_sim::kFailableOps) {
        EXPECT_EQ(parse_ok(std::string(op).c_str()).size(), 1u) << op;
    }
    EXPECT_TRUE(parse_ok("").empty());
}

TEST(SimFailRules, MalformedRuleIsNamed) {
    const std::pair<const char*, const char*> cases[] = {
        {"close", "close"},                 // not a failable operation
        {"orlix_open", "orlix_open"},       // the prefix is left out
        {"open,set_gian@2", "set_gian@2"},  // the first good rule does not hide the bad one
        {"open@0", "open@0"},               // calls count from 1
        {"open@", "open@"},
        {"open@x", "open@x"},
        {"open@-1", "open@-1"},
        {"open@2++", "open@2++"},
        {"open=5", "open=5"},  // a status is negative
        {"open=0", "open=0"},
        {"open=-", "open=-"},
        {"open=-3x", "open=-3x"},
        {"open=-99999999999", "open=-99999999999"},
        {"open=-3@2", "open=-3@2"},  // the count comes first
        {"open,,sync_rx", ""},       // an empty rule
        {"open,", ""},
        {" open", " open"},
    };
    for (const auto& [text, named] : cases) {
        std::vector<FailRule> rules;
        std::string bad = "unset";
        EXPECT_FALSE(parse_fail_rules(text, rules, bad)) << text;
        EXPECT_EQ(bad, named) << text;
    }
}

TEST(SimFailRules, FiresOnTheCallsItNames) {
    FailRule every{"open", 0, false, -1};
    FailRule only{"open", 3, false, -1};
    FailRule onwards{"open", 3, true, -1};
    std::vector<std::uint64_t> fired_only, fired_onwards;
    for (std::uint64_t call = 1; call <= 5; ++call) {
        EXPECT_TRUE(every.fires(call));
        if (only.fires(call)) fired_only.push_back(call);
        if (onwards.fires(call)) fired_onwards.push_back(call);
    }
    EXPECT_EQ(fired_only, (std::vector<std::uint64_t>{3}));
    EXPECT_EQ(fired_onwards, (std::vector<std::uint64_t>{3, 4, 5}));
}

TEST(SimReceiveSignal, ContinuesAcrossCallsFromAnyFrame) {
    const std::uint64_t total = 12346;
    std::vector<std::int16_t> whole(2 * total), parts(2 * total);
    orlix_sim::fill_signal({}, {2e6, 2e6}, whole.data(), 778, total);
    orlix_sim::fill_signal({}, {2e6, 2e6}, parts.data(), 778, 5002);
    orlix_sim::fill_signal({}, {2e6, 2e6}, parts.data() + 2 * 5002, 778 + 5002, total - 5002);
    EXPECT_EQ(whole, parts);
}

TEST(SimStatus, EveryIntegerHasAText) {
    for (int status :
         {0, 1, -1, -2, -3, -4, -5, -6, -7, -8, -9, -10, -1000, INT32_MIN, INT32_MAX}) {
        ASSERT_NE(orlix_strerror(status), nullptr) << status;
    }
    EXPECT_STREQ(orlix_strerror(1), "Unknown error");
    EXPECT_STREQ(orlix_strerror(-1000), "Unknown error");
    EXPECT_STRNE(orlix_strerror(ORLIX_ERR_NODEV), "Unknown error");
    // Every failure the library returns has a text of its own.
    std::vector<std::string> texts;
    for (int s = ORLIX_ERR_TIMEOUT; s <= ORLIX_ERR_UNEXPECTED; ++s)
        texts.push_back(orlix_strerror(s));
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(std::unique(texts.begin(), texts.end()), texts.end());
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Unknown error"), 0);
}

using orlix_sim::SignalSettings;

SignalSettings settings_of(const char* text) {
    SignalSettings s;
    std::string bad;
    EXPECT_TRUE(orlix_sim::parse_signal_settings(text, s, bad)) << text << " rejected at " << bad;
    return s;
}

TEST(SimSignalSettings, EveryKeyForBothChannelsOrOne) {
    const SignalSettings s = settings_of(
        "tone=-15000.5,amplitude=900,noise=3,ch1.phase=45,ch1.drift=1,dc_i=100,ch0.dc_q=-50,"
        "ch0.iq_gain_db=1.5,ch0.iq_phase_deg=-3,stuck=1000:20,drop=5000:77,seed=42");
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE(c);
        EXPECT_EQ(s.channels[c].tone_hz, -15000.5);
        EXPECT_EQ(s.channels[c].amplitude, 900);
        EXPECT_EQ(s.channels[c].noise, 3);
        EXPECT_EQ(s.channels[c].dc_i, 100);
    }
    EXPECT_EQ(s.channels[0].phase_deg, 0);
    EXPECT_EQ(s.channels[1].phase_deg, 45);
    EXPECT_EQ(s.channels[0].drift_hz, 0);
    EXPECT_EQ(s.channels[1].drift_hz, 1);
    EXPECT_EQ(s.channels[0].dc_q, -50);
    EXPECT_EQ(s.channels[1].dc_q, 0);
    EXPECT_EQ(s.channels[0].iq_gain_db, 1.5);
    EXPECT_EQ(s.channels[1].iq_gain_db, 0);
    EXPECT_EQ(s.channels[0].iq_phase_deg, -3);
    EXPECT_EQ(s.stuck_frame, 1000u);
    EXPECT_EQ(s.stuck_count, 20u);
    EXPECT_EQ(s.drop_frame, 5000u);
    EXPECT_EQ(s.drop_count, 77u);
    EXPECT_EQ(s.seed, 42u);

    const SignalSettings defaults = settings_of("");
    EXPECT_FALSE(defaults.channels[0].tone_hz.has_value());
    EXPECT_EQ(defaults.channels[0].amplitude, 1800);
    EXPECT_EQ(defaults.channels[1].phase_deg, -90);
    EXPECT_EQ(defaults.stuck_count, 0u);
}

TEST(SimSignalSettings, NumbersWithALeadingZeroAreDecimal) {
    const SignalSettings s = settings_of("seed=010,stuck=0100:05,tone=0500,ch1.amplitude=0900");
    EXPECT_EQ(s.seed, 10u);
    EXPECT_EQ(s.stuck_frame, 100u);
    EXPECT_EQ(s.stuck_count, 5u);
    EXPECT_EQ(s.channels[0].tone_hz, 500);
    EXPECT_EQ(s.channels[1].amplitude, 900);
    const auto rules = parse_ok("open@010=-05");
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].nth, 10u);
    EXPECT_EQ(rules[0].status, -5);
}

TEST(SimSignalSettings, MalformedSettingIsNamed) {
    for (const char* item :
         {"tone",         "tone=",       "tone=abc",        "tone=1e99",     "tone=nan",
          "amplitude=-1", "noise=40000", "ch2.tone=5",      "ch0.seed=1",    "ch1.stuck=1:2",
          "stuck=5",      "stuck=5:0",   "drop=a:1",        "drop=1:",       "seed=-1",
          "seed=1x",      "bogus=1",     "iq_phase_deg=90", "iq_gain_db=61", ""}) {
        SCOPED_TRACE(item);
        SignalSettings s;
        std::string bad;
        const std::string text = std::string("noise=2,") + item + ",amplitude=5";
        EXPECT_FALSE(orlix_sim::parse_signal_settings(text, s, bad));
        EXPECT_EQ(bad, item);
    }
}

// The stream of frames [first, first + count) under `text` at 2 MS/s.
std::vector<std::int16_t> frames_of(const char* text, std::uint64_t first, std::uint64_t count) {
    std::vector<std::int16_t> out(4 * count);
    orlix_sim::fill_signal(settings_of(text), {2e6, 2e6}, out.data(), 2 * first, 2 * count);
    return out;
}

std::vector<std::int16_t> frame(const std::vector<std::int16_t>& v, std::uint64_t k) {
    return {v.begin() + 4 * static_cast<long>(k), v.begin() + 4 * static_cast<long>(k) + 4};
}

TEST(SimReceiveSignal, SameSettingsSameBytesFromAnyPosition) {
    const char* text = "ch1.drift=3,dc_i=5,ch0.iq_gain_db=2,noise=20";
    const auto whole = frames_of(text, 0, 10000);
    EXPECT_EQ(whole, frames_of(text, 0, 10000));
    const auto tail = frames_of(text, 6001, 3999);
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), whole.begin() + 4 * 6001));
    EXPECT_NE(frames_of("seed=1", 0, 100), frames_of("seed=2", 0, 100))
        << "the seed moves the noise";
}

TEST(SimReceiveSignal, StuckAndDroppedFramesAgainstTheStreamWithout) {
    const auto plain = frames_of("noise=8", 0, 12000);
    const auto stuck = frames_of("noise=8,stuck=5000:300", 0, 12000);
    for (std::uint64_t k : {0u, 4999u, 5300u, 11999u})
        EXPECT_EQ(frame(stuck, k), frame(plain, k)) << k;
    for (std::uint64_t k : {5000u, 5001u, 5299u})
        EXPECT_EQ(frame(stuck, k), frame(plain, 5000)) << k;

    const auto dropped = frames_of("noise=8,drop=3000:777", 0, 11000);
    for (std::uint64_t k : {0u, 2999u}) EXPECT_EQ(frame(dropped, k), frame(plain, k)) << k;
    for (std::uint64_t k : {3000u, 3001u, 10999u}) {
        EXPECT_EQ(frame(dropped, k), frame(plain, k + 777)) << k;
    }
}

TEST(SimReceiveSignal, ValuesClipAtTheTwelveBitRange) {
    const auto loud = frames_of("amplitude=5000,dc_q=300", 0, 1000);
    EXPECT_EQ(*std::min_element(loud.begin(), loud.end()), -2048);
    EXPECT_EQ(*std::max_element(loud.begin(), loud.end()), 2047);
    const auto silent = frames_of("amplitude=0,noise=0", 0, 1000);
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](std::int16_t v) { return v == 0; }));
}

// Without ORLIX_SIM_SIGNAL the device delivers exactly the documented defaults.
TEST(SimReceiveSignal, IsTheDocumentedDefaultsWrittenOut) {
    const SignalSettings written = settings_of(
        "tone=20000,amplitude=1800,noise=8,ch0.phase=0,ch1.phase=-90,drift=0,dc_i=0,dc_q=0,"
        "iq_gain_db=0,iq_phase_deg=0,seed=625341585");
    std::vector<std::int16_t> a(2 * 100000), b(2 * 100000);
    orlix_sim::fill_signal({}, {2e6, 2e6}, a.data(), 0, a.size() / 2);
    orlix_sim::fill_signal(written, {2e6, 2e6}, b.data(), 0, b.size() / 2);
    EXPECT_EQ(a, b);
}

TEST(SimReceiveSignal, NoiseDoesNotRepeatWithinACapture) {
    // The noise alone: no window of eight frames comes twice in a capture.
    std::vector<std::int16_t> noise(4 * 10'000'000);
    orlix_sim::fill_signal(settings_of("amplitude=0"), {2e6, 2e6}, noise.data(), 0,
                           noise.size() / 2);
    std::unordered_set<std::size_t> seen;
    constexpr std::size_t kWindow = 8 * 4;
    for (std::size_t at = 0; at + kWindow <= noise.size(); at += kWindow) {
        const std::string_view window(reinterpret_cast<const char*>(noise.data() + at),
                                      kWindow * sizeof(std::int16_t));
        EXPECT_TRUE(seen.insert(std::hash<std::string_view>{}(window)).second)
            << "frames from " << at / 4 << " repeat earlier ones";
        if (::testing::Test::HasFailure()) break;
    }
}

}  // namespace
