// What every part of station_run takes, in process: the times a user gives,
// and what each verdict is.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/times.h"
#include "base/typed_lines.h"
#include "verdict.h"

namespace {

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

TEST(StationTypedLines, LinesComeWholeBoundedAndAtTheEndOfInput) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    TypedLines typed(p[0], 8);
    auto lines = [&] {
        typed.read_some();
        std::vector<std::string> out;
        while (std::optional<std::string> l = typed.next()) out.push_back(*l);
        return out;
    };
    const std::string first = "SN-1\r\n\nSN-";
    ASSERT_EQ(write(p[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    EXPECT_EQ(lines(), (std::vector<std::string>{"SN-1", ""}));
    // A scanner that never sends Enter: past the bound, the line ends as it stands.
    const std::string endless = "2-ABCDEFGH";
    ASSERT_EQ(write(p[1], endless.data(), endless.size()), static_cast<ssize_t>(endless.size()));
    EXPECT_EQ(lines(), (std::vector<std::string>{"SN-2-ABCDEFGH"}));
    const std::string last = "SN-3";
    ASSERT_EQ(write(p[1], last.data(), last.size()), static_cast<ssize_t>(last.size()));
    close(p[1]);
    EXPECT_EQ(lines(), std::vector<std::string>{});
    EXPECT_FALSE(typed.ended());
    EXPECT_EQ(lines(), (std::vector<std::string>{"SN-3"}));
    EXPECT_TRUE(typed.ended());
    close(p[0]);
}

}  // namespace
