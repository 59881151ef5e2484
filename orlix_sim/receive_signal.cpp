#include "receive_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "capture_format.h"
#include "controls.h"
#include "log.h"
#include "orlix.h"
#include "vector_clones.h"

namespace orlix_sim {

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

// Frames are built in blocks: the phasor at a block's first frame comes from
// sin and cos, the frames inside from a table of the step's powers, so the tone
// never drifts and costs no sin or cos per sample.
constexpr std::size_t kBlock = 256;

struct ChannelSynth {
    double cycles;  // turns per frame
    double phase;   // radians at frame 0
    double amplitude;
    float q_cos, q_sin, dc_i, dc_q;              // Q = q_cos * im + q_sin * re
    std::array<float, kBlock> step_re, step_im;  // the step to the power j
    std::uint16_t noise_span;                    // 2 * noise + 1, at most 65535
    std::int32_t noise;
};

ChannelSynth channel_synth(const ChannelSignal& ch, double rate) {
    ChannelSynth t{};
    if (!(rate > 0)) rate = 2e6;
    t.cycles = (ch.tone_hz.value_or(rate / 100) + ch.drift_hz) / rate;
    t.phase = ch.phase_deg * M_PI / 180;
    const double gain = std::pow(10.0, ch.iq_gain_db / 20);
    const double skew = ch.iq_phase_deg * M_PI / 180;
    t.amplitude = ch.amplitude;
    t.q_cos = static_cast<float>(gain * std::cos(skew));
    t.q_sin = static_cast<float>(gain * std::sin(skew));
    t.dc_i = static_cast<float>(ch.dc_i);
    t.dc_q = static_cast<float>(ch.dc_q);
    // Built in double, kept in float: four samples to a vector.
    const double sr = std::cos(2 * M_PI * t.cycles), si = std::sin(2 * M_PI * t.cycles);
    double re = 1, im = 0;
    for (std::size_t j = 0; j < kBlock; ++j) {
        t.step_re[j] = static_cast<float>(re);
        t.step_im[j] = static_cast<float>(im);
        const double next = re * sr - im * si;
        im = re * si + im * sr;
        re = next;
    }
    t.noise = static_cast<int>(std::lround(std::clamp(ch.noise, 0.0, 32767.0)));
    t.noise_span = static_cast<std::uint16_t>(2 * t.noise + 1);
    return t;
}

// splitmix64's output at a position.
std::uint64_t mix(std::uint64_t seed, std::uint64_t position) {
    std::uint64_t x = seed + (position + 1) * 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The noise: a counter, two a frame and offset by the seed, through a
// well-mixed 32-bit hash that is a bijection; each output gives two values'
// 16 random bits. No frame's noise repeats within 2^31 frames (17 GB). Only
// 32-bit operations: they vectorise on any x86-64.
inline std::uint32_t hash32(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

// Rounded half up. Beyond +-65536 no noise (at most 32767) can bring a value
// back into the converter's range. Written as selects, so it vectorises.
inline std::int32_t round_limited(float v) {
    v = v < -65536.0f ? -65536.0f : v;
    v = v > 65536.0f ? 65536.0f : v;
    return static_cast<std::int32_t>(v + 65536.5f) - 65536;
}

// Uniform in -noise .. noise from 16 random bits, by multiply and shift.
inline std::int32_t scaled_noise(std::uint16_t raw, const ChannelSynth& t) {
    return static_cast<std::int32_t>((std::uint32_t{raw} * t.noise_span) >> 16) - t.noise;
}

// Frames [first, first + count) of the stream as it would be without stuck or
// dropped frames. Every frame is a function of its number alone: blocks start
// at multiples of kBlock wherever the call starts. The passes over plain
// arrays are there so that the compiler turns them into vector code.
// Built twice (vector_clones.h): the same operations in wider vectors, so the
// same bytes (contraction is off).
ORLIX_VECTOR_CLONES void synthesize(const std::array<ChannelSynth, 2>& synth, std::uint64_t seed,
                                    std::uint64_t first, std::size_t count, std::int16_t* out) {
    alignas(64) std::int32_t tone[4][kBlock];   // I0, Q0, I1, Q1 rounded, without noise
    alignas(64) std::uint16_t raw[4 * kBlock];  // 16 random bits a value
    const auto counter_base = static_cast<std::uint32_t>(mix(seed, 0));
    std::uint64_t frame = first;
    while (count > 0) {
        const std::uint64_t block = frame / kBlock;
        const std::size_t j0 = static_cast<std::size_t>(frame % kBlock);
        const std::size_t n = std::min(count, kBlock - j0);
        for (int c = 0; c < 2; ++c) {
            const ChannelSynth& t = synth[c];
            const double turn = std::fmod(t.cycles * static_cast<double>(block * kBlock), 1.0);
            const auto o_re = static_cast<float>(t.amplitude * std::cos(2 * M_PI * turn + t.phase));
            const auto o_im = static_cast<float>(t.amplitude * std::sin(2 * M_PI * turn + t.phase));
            const float* step_re = t.step_re.data() + j0;
            const float* step_im = t.step_im.data() + j0;
            std::int32_t* tone_i = tone[2 * c];
            std::int32_t* tone_q = tone[2 * c + 1];
            for (std::size_t j = 0; j < n; ++j) {
                const float re = o_re * step_re[j] - o_im * step_im[j];
                const float im = o_re * step_im[j] + o_im * step_re[j];
                tone_i[j] = round_limited(re + t.dc_i);
                tone_q[j] = round_limited(t.q_cos * im + t.q_sin * re + t.dc_q);
            }
        }
        const auto counter = static_cast<std::uint32_t>(counter_base + 2 * frame);
        for (std::uint32_t v = 0; v < 2 * n; ++v) {
            const std::uint32_t h = hash32(counter + v);
            raw[2 * v] = static_cast<std::uint16_t>(h);
            raw[2 * v + 1] = static_cast<std::uint16_t>(h >> 16);
        }
        for (std::size_t j = 0; j < n; ++j) {
            const std::int32_t v[4] = {tone[0][j] + scaled_noise(raw[4 * j], synth[0]),
                                       tone[1][j] + scaled_noise(raw[4 * j + 1], synth[0]),
                                       tone[2][j] + scaled_noise(raw[4 * j + 2], synth[1]),
                                       tone[3][j] + scaled_noise(raw[4 * j + 3], synth[1])};
            for (int s = 0; s < 4; ++s)
                out[4 * j + s] =
                    static_cast<std::int16_t>(std::clamp(v[s], kLowestValue, kClipLevel));
        }
        out += 4 * n;
        frame += n;
        count -= n;
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
    const std::array<ChannelSynth, 2> synth = {channel_synth(s.channels[0], rates[0]),
                                               channel_synth(s.channels[1], rates[1])};
    std::uint64_t frame = position / 2;
    std::uint64_t frames = count / 2;
    while (frames > 0) {
        std::uint64_t run = frames;
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
            synthesize(synth, s.seed, source, 1, dst);
            for (std::uint64_t k = 1; k < run; ++k) std::memcpy(dst + 4 * k, dst, 4 * sizeof *dst);
        } else {
            synthesize(synth, s.seed, source, static_cast<std::size_t>(run), dst);
        }
        dst += 4 * run;
        frame += run;
        frames -= run;
    }
}

// ---- the receive call's sources -------------------------------------------

namespace {

int fail(int status, const char* why) {
    log_line(ORLIX_LOG_LEVEL_ERROR, "orlix_sync_rx: %s", why);
    return status;
}

// Copies a regular RX control file into the buffer from `offset` on, wrapping
// at its end.
int fill_from_regular_file(int fd, std::uint64_t file_size, std::uint8_t* dst, std::uint64_t size,
                           std::uint64_t offset) {
    if (file_size == 0) return fail(ORLIX_ERR_IO, "ORLIX_SIM_RX_FILE is empty");
    std::uint64_t pos = offset % file_size;
    while (size > 0) {
        const std::uint64_t want = std::min(size, file_size - pos);
        const ssize_t got = ::pread(fd, dst, want, static_cast<off_t>(pos));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return fail(ORLIX_ERR_IO, "ORLIX_SIM_RX_FILE read failed");
        dst += got;
        size -= static_cast<std::uint64_t>(got);
        pos = (pos + static_cast<std::uint64_t>(got)) % file_size;
    }
    return 0;
}

// Reads a FIFO or device RX control file as it comes, as a stream would: a
// writer that is missing or slow makes the call time out, never hang.
int fill_from_stream(int fd, std::uint8_t* dst, std::uint64_t size, unsigned timeout_ms) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        const ssize_t got = ::read(fd, dst, size);
        if (got > 0) {
            dst += got;
            size -= static_cast<std::uint64_t>(got);
            if (size == 0) return 0;
            continue;
        }
        if (got < 0 && errno != EAGAIN && errno != EINTR) {
            return fail(ORLIX_ERR_IO, "ORLIX_SIM_RX_FILE read failed");
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        // Whole nanoseconds first: dividing a negative nanosecond part alone
        // rounds it up and ends the wait before its time.
        const long waited =
            ((now.tv_sec - start.tv_sec) * 1'000'000'000L + (now.tv_nsec - start.tv_nsec)) /
            1'000'000;
        if (waited >= static_cast<long>(timeout_ms)) {
            return fail(ORLIX_ERR_TIMEOUT, "ORLIX_SIM_RX_FILE gave too little in time");
        }
        // No writer yet (or none left) reads as the end at once: wait a little then.
        pollfd ready = {fd, POLLIN, 0};
        if (got == 0 ||
            ::poll(&ready, 1, static_cast<int>(std::min(100L, timeout_ms - waited))) > 0) {
            if (got == 0) ::usleep(10'000);
        }
    }
}

int fill_from_file(const std::string& path, std::uint8_t* dst, std::uint64_t size,
                   std::uint64_t offset, unsigned timeout_ms) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (fd >= 0) ::close(fd);
        return fail(ORLIX_ERR_IO, "ORLIX_SIM_RX_FILE cannot be read");
    }
    const int status =
        S_ISREG(st.st_mode)
            ? fill_from_regular_file(fd, static_cast<std::uint64_t>(st.st_size), dst, size, offset)
            : fill_from_stream(fd, dst, size, timeout_ms);
    ::close(fd);
    return status;
}

}  // namespace

int fill_receive(const DeviceControls& c, std::int16_t* dst, std::uint64_t position,
                 std::uint64_t count, const std::array<double, 2>& rates, unsigned timeout_ms) {
    if (c.rx_file) {
        return fill_from_file(*c.rx_file, reinterpret_cast<std::uint8_t*>(dst), count * 4,
                              position * 4, timeout_ms);
    }
    static const SignalSettings kDefaults;
    fill_signal(c.signal ? *c.signal : kDefaults, rates, dst, position, count);
    return 0;
}

}  // namespace orlix_sim
