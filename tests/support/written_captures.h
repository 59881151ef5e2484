// Captures written directly, not through the simulated device: lines at
// exact frequencies and amplitudes, Gaussian noise, rounded to the
// converter's values. What was put in is the truth the figures are held to.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace test_support {

// One channel's content. The tone is u e^(jwt), its image v e^(-jwt), a
// harmonic of order h a e^(j m w t) with m its place for I/Q data (+2 or -2,
// -3, +5 ...); the noise is complex Gaussian of `noise` power (sample units
// squared) before rounding, which adds 1/6.
struct WrittenChannel {
    bool tone = true;
    double tone_hz = 0;
    std::complex<double> u = 1000, v = 0, dc = 0;
    struct Harmonic {
        int multiple;
        std::complex<double> a;
    };
    std::vector<Harmonic> harmonics;
    double noise = 1 - 1.0 / 6;
    bool dead = false;  // every sample zero

    double tone_power() const { return tone ? std::norm(u) : 0; }
    double image_power() const { return tone ? std::norm(v) : 0; }
    double harmonic_power() const {
        double sum = 0;
        for (const Harmonic& h : harmonics) sum += std::norm(h.a);
        return sum;
    }
    double noise_power() const { return dead ? 0 : noise + 1.0 / 6; }
    double snr_db() const { return 10 * std::log10(tone_power() / noise_power()); }
    double sinad_db() const {
        return 10 * std::log10(tone_power() / (noise_power() + image_power() + harmonic_power()));
    }
    double tone_dbfs() const { return 10 * std::log10(tone_power() / (2048.0 * 2048.0)); }
    double enob_bits() const { return std::min(12.0, (sinad_db() - tone_dbfs() - 1.76) / 6.02); }
    // Q against I, from u and v: g e^(-j phi) = (1 - r) / (1 + r), r = v / conj(u).
    std::complex<double> imbalance() const {
        const std::complex<double> r = v / std::conj(u);
        return (1.0 - r) / (1.0 + r);
    }
};

// `frames` frames at `rate`, both channels, I and Q interleaved.
inline std::vector<std::int16_t> written_capture(const WrittenChannel (&channels)[2],
                                                 std::uint64_t frames, double rate = 2e6,
                                                 std::uint64_t seed = 1) {
    std::vector<std::int16_t> samples(4 * frames);
    std::mt19937_64 random(seed);
    for (int c = 0; c < 2; ++c) {
        const WrittenChannel& ch = channels[c];
        std::normal_distribution<double> gauss(0.0, std::sqrt(ch.noise / 2));
        const double w = 2 * M_PI * ch.tone_hz / rate;
        for (std::uint64_t n = 0; n < frames; ++n) {
            std::complex<double> x = ch.dc;
            if (ch.tone) {
                // The phase taken modulo a turn first, exact for any n.
                const double turns = std::fmod(ch.tone_hz / rate * static_cast<double>(n), 1.0);
                const std::complex<double> e = std::polar(1.0, 2 * M_PI * turns);
                x += ch.u * e + ch.v * std::conj(e);
                for (const WrittenChannel::Harmonic& h : ch.harmonics) {
                    x += h.a *
                         std::polar(1.0, std::remainder(h.multiple * w * static_cast<double>(n),
                                                        2 * M_PI));
                }
            }
            x += std::complex<double>(gauss(random), gauss(random));
            const auto value = [&](double v) {
                return ch.dead
                           ? std::int16_t{0}
                           : static_cast<std::int16_t>(std::lround(std::clamp(v, -2048.0, 2047.0)));
            };
            samples[4 * n + 2 * c] = value(x.real());
            samples[4 * n + 2 * c + 1] = value(x.imag());
        }
    }
    return samples;
}

}  // namespace test_support
