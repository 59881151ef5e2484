// The built-in receive signal: a tone on each receive channel, the same bytes on
// every run and machine.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

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

}  // namespace orlix_sim
