// The built-in receive signal: a tone on each receive channel, the same bytes on
// every run and machine; and the same signal shaped by ORLIX_SIM_SIGNAL, with
// the faults of real receivers.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_internal.h"

namespace orlix_sim {

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

// ---- ORLIX_SIM_SIGNAL ----------------------------------------------------------

namespace {

// A number that is the whole text, finite and within [lo, hi].
bool parse_real(std::string_view text, double lo, double hi, double& out) {
    const std::string copy(text);
    char* end = nullptr;
    const double v = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !std::isfinite(v) || v < lo ||
        v > hi) {
        return false;
    }
    out = v;
    return true;
}

bool parse_count(std::string_view text, std::uint64_t& out) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

// "FRAME:COUNT", COUNT at least 1.
bool parse_span(std::string_view text, std::uint64_t& frame, std::uint64_t& count) {
    const std::size_t colon = text.find(':');
    return colon != std::string_view::npos && parse_count(text.substr(0, colon), frame) &&
           parse_count(text.substr(colon + 1), count) && count > 0;
}

bool parse_channel_key(std::string_view key, std::string_view value, ChannelSignal& ch) {
    double v = 0;
    if (key == "tone") {
        if (!parse_real(value, -1e9, 1e9, v)) return false;
        ch.tone_hz = v;
        return true;
    }
    struct Field {
        const char* name;
        double ChannelSignal::*member;
        double lo, hi;
    };
    static const Field kFields[] = {
        {"amplitude", &ChannelSignal::amplitude, 0, 1e6},
        {"noise", &ChannelSignal::noise, 0, 32767},
        {"phase", &ChannelSignal::phase_deg, -1e6, 1e6},
        {"drift", &ChannelSignal::drift_hz, -1e9, 1e9},
        {"dc_i", &ChannelSignal::dc_i, -1e6, 1e6},
        {"dc_q", &ChannelSignal::dc_q, -1e6, 1e6},
        {"iq_gain_db", &ChannelSignal::iq_gain_db, -60, 60},
        {"iq_phase_deg", &ChannelSignal::iq_phase_deg, -89, 89},
    };
    for (const Field& f : kFields) {
        if (key == f.name) return parse_real(value, f.lo, f.hi, ch.*f.member);
    }
    return false;
}

bool parse_setting(std::string_view item, SignalSettings& s) {
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) return false;
    std::string_view key = item.substr(0, eq);
    const std::string_view value = item.substr(eq + 1);
    if (key == "stuck") return parse_span(value, s.stuck_frame, s.stuck_count);
    if (key == "drop") return parse_span(value, s.drop_frame, s.drop_count);
    if (key == "seed") return parse_count(value, s.seed);
    int only = -1;  // both channels
    if (key.substr(0, 4) == "ch0." || key.substr(0, 4) == "ch1.") {
        only = key[2] - '0';
        key.remove_prefix(4);
    }
    for (int c = 0; c < 2; ++c) {
        if ((only < 0 || only == c) && !parse_channel_key(key, value, s.channels[c])) {
            return false;
        }
    }
    return true;
}

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::int16_t to_sample(double v) {
    return static_cast<std::int16_t>(std::clamp(std::lrint(v), -2048L, 2047L));
}

// Frames [first, first + count) of the stream as it would be without stuck or
// dropped frames. The tone turns by a phasor recurrence, set afresh from
// sin and cos once per call; the noise is a function of the frame alone.
void synthesize(const SignalSettings& s, const std::array<double, 2>& rates, std::uint64_t first,
                std::size_t count, std::int16_t* out) {
    struct State {
        double re, im, step_re, step_im, amplitude, q_gain, q_cos, q_sin, dc_i, dc_q;
        std::uint32_t noise_span;
        int noise;
    } st[2];
    for (int c = 0; c < 2; ++c) {
        const ChannelSignal& ch = s.channels[c];
        const double rate = rates[c] > 0 ? rates[c] : 2e6;
        const double cycles = (ch.tone_hz.value_or(rate / 100) + ch.drift_hz) / rate;
        const double turn = std::fmod(cycles * static_cast<double>(first), 1.0);
        const double theta = 2 * M_PI * turn + ch.phase_deg * M_PI / 180;
        const double skew = ch.iq_phase_deg * M_PI / 180;
        const int noise = static_cast<int>(std::lround(ch.noise));
        st[c] = {std::cos(theta),
                 std::sin(theta),
                 std::cos(2 * M_PI * cycles),
                 std::sin(2 * M_PI * cycles),
                 ch.amplitude,
                 std::pow(10.0, ch.iq_gain_db / 20),
                 std::cos(skew),
                 std::sin(skew),
                 ch.dc_i,
                 ch.dc_q,
                 static_cast<std::uint32_t>(2 * noise + 1),
                 noise};
    }
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t bits = mix(s.seed ^ mix(first + k));
        for (int c = 0; c < 2; ++c) {
            State& t = st[c];
            // Uniform in -noise .. noise from 16 bits each, by multiply and shift.
            auto noise = [&](int slot) {
                const std::uint32_t r =
                    static_cast<std::uint32_t>(bits >> (16 * (2 * c + slot))) & 0xFFFFu;
                return static_cast<double>(static_cast<int>((r * t.noise_span) >> 16) - t.noise);
            };
            const double i = t.amplitude * t.re;
            const double q = t.amplitude * t.q_gain * (t.im * t.q_cos + t.re * t.q_sin);
            out[4 * k + 2 * c] = to_sample(i + t.dc_i + noise(0));
            out[4 * k + 2 * c + 1] = to_sample(q + t.dc_q + noise(1));
            const double re = t.re * t.step_re - t.im * t.step_im;
            t.im = t.re * t.step_im + t.im * t.step_re;
            t.re = re;
        }
    }
}

}  // namespace

bool parse_signal_settings(std::string_view text, SignalSettings& settings, std::string& bad) {
    settings = SignalSettings{};
    if (text.empty()) return true;
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        if (!parse_setting(item, settings)) {
            bad = std::string(item);
            return false;
        }
        if (comma == std::string_view::npos) return true;
        text.remove_prefix(comma + 1);
    }
}

void fill_signal(const SignalSettings& s, const std::array<double, 2>& rates, std::int16_t* dst,
                 std::uint64_t position, std::uint64_t count) {
    // Runs of at most this many frames, so that the recurrence never drifts far.
    constexpr std::uint64_t kRun = 4096;
    std::uint64_t frame = position / 2;
    std::uint64_t frames = count / 2;
    while (frames > 0) {
        std::uint64_t run = std::min(frames, kRun);
        std::uint64_t source = frame;
        const bool stuck =
            s.stuck_count > 0 && frame >= s.stuck_frame && frame - s.stuck_frame < s.stuck_count;
        if (stuck) {
            source = s.stuck_frame;
            run = std::min(run, s.stuck_frame + s.stuck_count - frame);
        } else if (s.stuck_count > 0 && frame < s.stuck_frame) {
            run = std::min(run, s.stuck_frame - frame);
        }
        // A drop shifts every frame from its start on: the run must not cross it.
        if (s.drop_count > 0 && source < s.drop_frame && !stuck) {
            run = std::min(run, s.drop_frame - source);
        }
        if (s.drop_count > 0 && source >= s.drop_frame) source += s.drop_count;
        if (stuck) {
            synthesize(s, rates, source, 1, dst);
            for (std::uint64_t k = 1; k < run; ++k) std::memcpy(dst + 4 * k, dst, 4 * sizeof *dst);
        } else {
            synthesize(s, rates, source, static_cast<std::size_t>(run), dst);
        }
        dst += 4 * run;
        frame += run;
        frames -= run;
    }
}

}  // namespace orlix_sim
