#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "orlix.h"
#include "sim_internal.h"

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
    for (std::string_view op : orlix_sim::failable_ops()) {
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

TEST(SimTestSignal, IsInQ11RangeWithTwoDifferentMovingChannels) {
    std::vector<std::int16_t> s(2 * 20000);
    orlix_sim::fill_test_signal(s.data(), 0, s.size() / 2);
    const auto [lo, hi] = std::minmax_element(s.begin(), s.end());
    EXPECT_GE(*lo, -2048);
    EXPECT_LE(*hi, 2047);
    EXPECT_GT(*hi - *lo, 3000) << "a tone, not a constant";
    std::size_t differing = 0;
    for (std::size_t k = 0; k < s.size(); k += 4) differing += s[k] != s[k + 2];
    EXPECT_GT(differing, s.size() / 8) << "channel 1 is phase-shifted from channel 0";
}

TEST(SimTestSignal, ContinuesAcrossCallsFromAnyPosition) {
    const std::uint64_t total = 12345;
    std::vector<std::int16_t> whole(2 * total), parts(2 * total);
    orlix_sim::fill_test_signal(whole.data(), 777, total);
    orlix_sim::fill_test_signal(parts.data(), 777, 5001);
    orlix_sim::fill_test_signal(parts.data() + 2 * 5001, 777 + 5001, total - 5001);
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

}  // namespace
