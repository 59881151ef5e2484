// What a receive call delivers: the bytes of the RX control file, or the
// built-in signal, a tone on each channel that ORLIX_SIM_SIGNAL shapes with the
// faults of real receivers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orlix_sim {

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

// Fills a receive call's buffer with `count` samples from `position` of the
// stream, as the device's controls `c` say: from ORLIX_SIM_RX_FILE when set (a FIFO or device
// within `timeout_ms`), else the built-in signal as ORLIX_SIM_SIGNAL shapes it, or its defaults.
// Gives 0 or the call's failure status.
struct DeviceControls;
int fill_receive(const DeviceControls& c, std::int16_t* dst, std::uint64_t position,
                 std::uint64_t count, const std::array<double, 2>& sample_rates,
                 unsigned timeout_ms);

}  // namespace orlix_sim
