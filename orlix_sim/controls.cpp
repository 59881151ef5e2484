#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "orlix.h"
#include "sim_internal.h"

namespace orlix_sim {

bool FailRule::fires(std::uint64_t call_number) const {
    if (nth == 0) return true;
    return and_later ? call_number >= nth : call_number == nth;
}

const std::vector<std::string_view>& failable_ops() {
    static const std::vector<std::string_view> ops = {
        "open",          "load_fpga", "set_frequency",    "set_sample_rate", "set_bandwidth",
        "set_gain_mode", "set_gain",  "set_clock_select", "set_tuning_mode", "enable_module",
        "sync_config",   "sync_tx",   "sync_rx"};
    return ops;
}

namespace {

bool parse_rule(std::string_view text, FailRule& rule) {
    const std::size_t op_end = text.find_first_of("@=");
    rule.op = std::string(text.substr(0, op_end));
    const auto& ops = failable_ops();
    if (std::find(ops.begin(), ops.end(), rule.op) == ops.end()) return false;
    text.remove_prefix(op_end == std::string_view::npos ? text.size() : op_end);

    if (!text.empty() && text.front() == '@') {
        text.remove_prefix(1);
        // from_chars would also take a sign; only plain digits are a count.
        if (text.empty() || text.front() < '0' || text.front() > '9') return false;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), rule.nth);
        if (ec != std::errc() || rule.nth == 0) return false;
        text.remove_prefix(static_cast<std::size_t>(end - text.data()));
        if (!text.empty() && text.front() == '+') {
            rule.and_later = true;
            text.remove_prefix(1);
        }
    }
    if (!text.empty() && text.front() == '=') {
        text.remove_prefix(1);
        if (text.empty() || text.front() != '-') return false;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), rule.status);
        if (ec != std::errc() || rule.status >= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    }
    return text.empty();
}

}  // namespace

bool parse_fail_rules(std::string_view text, std::vector<FailRule>& rules, std::string& bad) {
    rules.clear();
    if (text.empty()) return true;
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        FailRule rule;
        rule.status = ORLIX_ERR_UNEXPECTED;
        if (!parse_rule(item, rule)) {
            bad = std::string(item);
            return false;
        }
        rules.push_back(rule);
        if (comma == std::string_view::npos) return true;
        text.remove_prefix(comma + 1);
    }
}

namespace {

// One period of the test signal, both channels interleaved: a tone on each
// channel, channel 1 a quarter period behind channel 0, with a little noise.
// Built once with integer noise so the bytes are the same on every run.
constexpr std::size_t kPeriodFrames = 4000;
constexpr std::size_t kPeriodSamples = 2 * kPeriodFrames;

const std::array<std::int16_t, 2 * kPeriodSamples>& signal_period() {
    static const auto table = [] {
        std::array<std::int16_t, 2 * kPeriodSamples> t{};
        std::uint32_t noise = 0x2545F491u;
        auto next_noise = [&noise] {
            noise ^= noise << 13;
            noise ^= noise >> 17;
            noise ^= noise << 5;
            return static_cast<int>(noise % 17u) - 8;  // -8 .. 8
        };
        constexpr double kAmplitude = 1800.0;
        constexpr double kCyclesPerPeriod = 40.0;  // 100 samples a cycle
        for (std::size_t k = 0; k < kPeriodFrames; ++k) {
            const double phase = 2.0 * M_PI * kCyclesPerPeriod * static_cast<double>(k) /
                                 static_cast<double>(kPeriodFrames);
            const double shifted = phase - M_PI / 2.0;
            const double values[4] = {std::cos(phase), std::sin(phase), std::cos(shifted),
                                      std::sin(shifted)};
            for (int v = 0; v < 4; ++v) {
                const long scaled = std::lround(kAmplitude * values[v]) + next_noise();
                t[4 * k + static_cast<std::size_t>(v)] =
                    static_cast<std::int16_t>(std::clamp(scaled, -2048L, 2047L));
            }
        }
        return t;
    }();
    return table;
}

}  // namespace

void fill_test_signal(std::int16_t* dst, std::uint64_t position, std::uint64_t count) {
    const auto& period = signal_period();
    const std::int16_t* base = period.data();
    std::uint64_t offset = position % kPeriodSamples;
    while (count > 0) {
        const std::uint64_t run = std::min<std::uint64_t>(count, kPeriodSamples - offset);
        std::memcpy(dst, base + 2 * offset, run * 2 * sizeof(std::int16_t));
        dst += 2 * run;
        count -= run;
        offset = 0;
    }
}

}  // namespace orlix_sim
