// Pieces of the simulated device library that its own tests reach directly.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlix_sim {

// One rule of ORLIX_SIM_FAIL: "op[@N[+]][=STATUS]".
struct FailRule {
    std::string op;          // operation name without the "orlix_" prefix
    std::uint64_t nth = 0;   // 0: every call; else the N-th call (from 1)
    bool and_later = false;  // "@N+": the N-th and every later call
    int status = -1;         // negative status to return
    bool fires(std::uint64_t call_number) const;
};

// The operations whose calls ORLIX_SIM_FAIL can fail, in a fixed order.
const std::vector<std::string_view>& failable_ops();

// Parses the value of ORLIX_SIM_FAIL. On a malformed rule returns false and
// names that rule in `bad`; `rules` is then incomplete and must not be used.
bool parse_fail_rules(std::string_view text, std::vector<FailRule>& rules, std::string& bad);

// The built-in receive signal as ORLIX_SIM_SIGNAL shapes it, per channel.
struct ChannelSignal {
    std::optional<double> tone_hz;  // offset from the centre; unset: the rate / 100
    double amplitude = 1800;
    double noise = 8;  // uniform, +-noise on I and on Q
    double phase_deg = 0;
    double drift_hz = 0;
    double dc_i = 0, dc_q = 0;
    double iq_gain_db = 0, iq_phase_deg = 0;  // Q against I
};

struct SignalSettings {
    std::array<ChannelSignal, 2> channels;  // channel 1 starts at -90 degrees
    std::uint64_t stuck_frame = 0, stuck_count = 0;
    std::uint64_t drop_frame = 0, drop_count = 0;
    std::uint64_t seed = 0x2545F491u;
    SignalSettings() { channels[1].phase_deg = -90; }
};

// Parses the value of ORLIX_SIM_SIGNAL, "key=value" settings separated by
// commas, a key prefixed "ch0." or "ch1." for one channel. On a malformed
// setting returns false and names it in `bad`.
bool parse_signal_settings(std::string_view text, SignalSettings& settings, std::string& bad);

// Writes `count` samples (16-bit I/Q pairs, both receive channels interleaved)
// of the signal the settings describe, starting at sample `position` of the
// stream, with each channel's frequencies read against its sample rate.
void fill_signal(const SignalSettings& settings, const std::array<double, 2>& sample_rates,
                 std::int16_t* dst, std::uint64_t position, std::uint64_t count);

// Forgets the device and every counter and reads the ORLIX_SIM_* controls anew,
// so that one test process can start from a fresh library.
void reset();

}  // namespace orlix_sim
