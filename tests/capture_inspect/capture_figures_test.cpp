// capture_inspect's figures of merit against the simulated device's exact
// truth: captures made in process from the signal's own definition, summed
// by the same code the program runs, and each figure held to the value its
// definition gives (the noise's exact variance, the imbalance's exact image).
// Then a second computation, in Python, from the documented conventions.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "process.h"
#include "simulated_captures.h"

namespace {

constexpr double kRate = 2e6;
constexpr double kFull = 2048.0 * 2048.0;  // a full-scale complex tone's power

using test_support::capture;
using test_support::figures_of;

// The simulated noise on one rail: 16 random bits scaled by multiply and
// shift into -n .. n, its exact mean and variance over all 65536 draws; then
// the rounding of the tone to whole units, uniform over a unit.
double rail_noise_variance(double noise) {
    const long n = std::lround(noise), span = 2 * n + 1;
    double sum = 0, squares = 0;
    for (std::uint32_t raw = 0; raw < 65536; ++raw) {
        const double v = static_cast<double>((raw * static_cast<std::uint32_t>(span)) >> 16) -
                         static_cast<double>(n);
        sum += v;
        squares += v * v;
    }
    const double mean = sum / 65536;
    return squares / 65536 - mean * mean + 1.0 / 12;
}

// What the definition of a channel's signal gives: I = A cos wt,
// Q = g A sin(wt + phi) is u e^(jwt) + v e^(-jwt) with u = A/2 (1 + g e^(j phi)),
// v = A/2 (1 - g e^(-j phi)).
struct Truth {
    double tone, image, noise;  // powers, sample units squared
    double frequency_hz;
    double snr_db() const { return 10 * std::log10(tone / noise); }
    double sinad_db() const { return 10 * std::log10(tone / (noise + image)); }
    double tone_dbfs() const { return 10 * std::log10(tone / kFull); }
    double enob() const { return (sinad_db() - tone_dbfs() - 1.76) / 6.02; }
    double nsd_dbfs_hz() const { return 10 * std::log10(noise / kFull) - 10 * std::log10(kRate); }
    // The image's lobe holds the noise of five bins, 5 sigma^2 / N in its units.
    double image_over_floor_db() const { return 10 * std::log10(image / (5 * noise / kFftSize)); }
};

Truth truth_of(const orlix_sim::ChannelSignal& ch) {
    const double g = std::pow(10.0, ch.iq_gain_db / 20), phi = ch.iq_phase_deg * M_PI / 180;
    const double a2 = ch.amplitude * ch.amplitude / 4;
    return {a2 * (1 + g * g + 2 * g * std::cos(phi)), a2 * (1 + g * g - 2 * g * std::cos(phi)),
            2 * rail_noise_variance(ch.noise), ch.tone_hz.value_or(kRate / 100) + ch.drift_hz};
}

// The largest error seen of each figure, for the closing line.
struct Worst {
    std::string figure;
    double error = 0;
    std::string where;
};

void note(std::vector<Worst>& worst, const std::string& figure, double error,
          const std::string& where) {
    for (Worst& w : worst) {
        if (w.figure == figure) {
            if (std::fabs(error) > std::fabs(w.error)) w = {figure, error, where};
            return;
        }
    }
    worst.push_back({figure, error, where});
}

// A small generator of the sweep's settings, the same every run.
struct Draw {
    std::uint64_t state;
    double uniform(double lo, double hi) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return lo + (hi - lo) * static_cast<double>(state >> 11) / 9007199254740992.0;
    }
};

// At least 200 captures across amplitude, noise, tone (on a bin and between
// bins), I/Q gain and phase, DC, drift between the channels, clipping and
// seed: every figure within its tolerance of the truth.
TEST(CaptureFigures, SweepAgreesWithTheSimulatedSignalsTruth) {
    const auto start = std::chrono::steady_clock::now();
    Draw draw{20261209};
    std::vector<Worst> worst;
    int cases = 0, clipped = 0, imbalances = 0;
    const double bin = kRate / kFftSize;
    for (int i = 0; i < 220; ++i) {
        orlix_sim::SignalSettings s;
        s.seed = 1000 + static_cast<std::uint64_t>(i);
        // SNR from about 10 to 72 dB: the amplitude and the noise together.
        // Up to 64 dB with noise added; to 72 dB with rounding the only noise.
        const bool rounding_only = i % 11 == 0;
        const double amplitude = rounding_only ? draw.uniform(1000, 1700) : draw.uniform(100, 1700);
        const double noise =
            rounding_only ? 0 : std::round(std::exp(draw.uniform(0, std::log(1200))));
        // Away from DC, which is a figure of its own.
        const double on_bin =
            std::round(draw.uniform(20, 900)) * (draw.uniform(0, 1) < 0.5 ? -1 : 1);
        const double tone = i % 2 == 0 && !rounding_only
                                ? on_bin * bin
                                : on_bin * bin + draw.uniform(0.05, 0.95) * bin;
        for (int c = 0; c < 2; ++c) {
            orlix_sim::ChannelSignal& ch = s.channels[c];
            ch.amplitude = amplitude * (rounding_only ? 1.0 : draw.uniform(0.6, 1.0));
            ch.noise = noise;
            ch.tone_hz = tone;
            ch.iq_gain_db = i % 3 == 0 ? draw.uniform(-2, 2) : 0;
            ch.iq_phase_deg = i % 3 == 0 ? draw.uniform(-8, 8) : 0;
            ch.dc_i = i % 5 == 0 ? draw.uniform(-150, 150) : 0;
            ch.dc_q = i % 5 == 0 ? draw.uniform(-150, 150) : 0;
        }
        s.channels[1].drift_hz = i % 4 == 1 ? draw.uniform(-30, 30) : 0;
        const bool clipping = i % 20 == 7;
        if (clipping) {
            s.channels[0].amplitude = draw.uniform(2150, 2600);
            s.channels[0].iq_gain_db = s.channels[0].iq_phase_deg = 0;
        }
        const std::string where = "case " + std::to_string(i) + ": amplitude " +
                                  std::to_string(s.channels[0].amplitude) + ", noise " +
                                  std::to_string(noise) + ", tone " + std::to_string(tone) +
                                  ", gain " + std::to_string(s.channels[0].iq_gain_db) + " dB";
        SCOPED_TRACE(where);
        // An imbalance is held to a hundredth of a dB: longer captures for it.
        const std::vector<std::int16_t> samples = capture(s, i % 3 == 0 ? 2097152 : 262144);
        const CaptureFigures f = figures_of(samples);
        ++cases;
        if (clipping) {
            ++clipped;
            const ChannelFigures& ch = f.channels[0];
            ASSERT_NE(ch.worst_spur, nullptr);
            EXPECT_EQ(std::string(ch.worst_spur), "hd3") << "clipping's third harmonic";
            double third = std::remainder(-3 * *s.channels[0].tone_hz, kRate);
            EXPECT_NEAR(std::remainder(*ch.worst_spur_offset_hz - third, kRate), 0, bin / 2);
        }
        Truth t[2];
        for (int c = 0; c < 2; ++c) {
            t[c] = truth_of(s.channels[c]);
            const ChannelFigures& ch = f.channels[c];
            if (c == 0 && clipping) continue;
            ASSERT_TRUE(ch.snr_db.has_value());
            const double snr = t[c].snr_db();
            if (snr < 10) continue;
            // With rounding the only noise (1/12 a rail, white for a tone of
            // a thousand units and more between bins), the SNR reaches 72 dB.
            const double db = 0.1;
            const std::string kind = rounding_only ? " (rounding only)" : "";
            note(worst, "snr_db" + kind, *ch.snr_db - snr, where);
            EXPECT_NEAR(*ch.snr_db, snr, db);
            note(worst, "sinad_db" + kind, *ch.sinad_db - t[c].sinad_db(), where);
            EXPECT_NEAR(*ch.sinad_db, t[c].sinad_db(), db);
            note(worst, "nsd_dbfs_hz" + kind, *ch.nsd_dbfs_hz - t[c].nsd_dbfs_hz(), where);
            EXPECT_NEAR(*ch.nsd_dbfs_hz, t[c].nsd_dbfs_hz(), db);
            note(worst, "enob_bits" + kind, *ch.enob_bits - t[c].enob(), where);
            EXPECT_NEAR(*ch.enob_bits, t[c].enob(), db / 5);
            note(worst, "tone_offset_hz (262144 frames)", *ch.tone_offset_hz - t[c].frequency_hz,
                 where);
            EXPECT_NEAR(*ch.tone_offset_hz, t[c].frequency_hz, 0.1);
            if (t[c].image_over_floor_db() >= 10) {
                ++imbalances;
                note(worst, "iq_gain_imbalance_db",
                     *ch.iq_gain_imbalance_db - s.channels[c].iq_gain_db, where);
                EXPECT_NEAR(*ch.iq_gain_imbalance_db, s.channels[c].iq_gain_db, 0.02);
                note(worst, "iq_phase_imbalance_deg",
                     *ch.iq_phase_imbalance_deg - s.channels[c].iq_phase_deg, where);
                EXPECT_NEAR(*ch.iq_phase_imbalance_deg, s.channels[c].iq_phase_deg, 0.1);
            }
        }
        if (!clipping && t[0].snr_db() >= 10 && t[1].snr_db() >= 10) {
            const double match = 10 * std::log10(t[1].tone / t[0].tone);
            note(worst, "gain_match_db", *f.gain_match_db - match, where);
            EXPECT_NEAR(*f.gain_match_db, match, 0.02);
        }
    }
    // Frequency on long captures: 10,000,000 frames, on a bin, between bins,
    // and drifting apart.
    for (const auto& [tone, drift] : {std::pair{20000.0, 0.0}, std::pair{-123456.789, 0.25},
                                      std::pair{40 * bin, -1.0}, std::pair{301234.5, 7.0}}) {
        orlix_sim::SignalSettings s;
        for (auto& ch : s.channels) ch.tone_hz = tone;
        s.channels[1].drift_hz = drift;
        const CaptureFigures f = figures_of(capture(s, 10'000'000));
        ++cases;
        for (int c = 0; c < 2; ++c) {
            const double truth = truth_of(s.channels[c]).frequency_hz;
            note(worst, "tone_offset_hz (10M frames)", *f.channels[c].tone_offset_hz - truth,
                 std::to_string(tone));
            EXPECT_NEAR(*f.channels[c].tone_offset_hz, truth, 0.001);
        }
        note(worst, "frequency_difference_hz", *f.frequency_difference_hz - drift,
             std::to_string(tone));
        EXPECT_NEAR(*f.frequency_difference_hz, drift, 0.001);
    }
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(cases, 200);
    EXPECT_GE(clipped, 10);
    EXPECT_GE(imbalances, 20);
    std::cout << cases << " captures (" << clipped << " clipped, " << imbalances
              << " imbalances over the floor) in " << took
              << " s; the worst error of each figure:" << std::endl;
    for (const Worst& w : worst) {
        std::cout << "  " << w.figure << " " << w.error << " (" << w.where << ")" << std::endl;
    }
}

// The same figures from a second computation, in Python with numpy and
// scipy, written from the documented conventions, on captures that each
// stress one convention.
TEST(CaptureFigures, IndependentComputationAgrees) {
    if (std::string(PYTHON3_BIN).empty()) GTEST_SKIP() << "python3 is not installed";
    const test_support::Result probe =
        test_support::run(test_support::launch_in("/", PYTHON3_BIN, {"-c", "import numpy, scipy"}));
    if (probe.exit_code != 0) GTEST_SKIP() << "numpy and scipy are not installed for python3";
    const std::pair<const char*, const char*> captures[] = {
        {"default", ""},
        {"clipped", "ch0.amplitude=2300"},
        {"imbalanced", "ch0.iq_gain_db=1,ch0.iq_phase_deg=5"},
        {"drifting", "ch1.drift=7"},
        {"dc", "dc_i=120,dc_q=-80"},
        {"weak_tone", "amplitude=60,noise=20"},
        {"between_bins", "tone=123456.7"},
        {"noisy", "amplitude=1000,noise=100"},
        {"below_the_centre", "tone=-250000,amplitude=1200"},
        {"phase_only", "iq_phase_deg=-8,noise=30"},
        {"gain_only", "iq_gain_db=-2,amplitude=1500"},
        {"rounding_only", "noise=0,amplitude=1500,tone=77777.7"},
    };
    test_support::TempDir dir;
    double largest = 0;
    for (const auto& [name, text] : captures) {
        SCOPED_TRACE(name);
        orlix_sim::SignalSettings s;
        std::string bad;
        ASSERT_TRUE(orlix_sim::parse_signal_settings(text, s, bad)) << bad;
        const std::vector<std::int16_t> samples = capture(s, 524288);
        test_support::write_file(
            dir / "dual_test.bin",
            std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * 2));
        const test_support::Result inspected =
            test_support::run(test_support::launch_in(dir.path(), CAPTURE_INSPECT_BIN, {"--json"}));
        ASSERT_FALSE(inspected.out.empty()) << inspected.err;
        test_support::write_file(dir / "figures.json", inspected.out);
        const test_support::Result checked = test_support::run(test_support::launch_in(
            dir.path(), PYTHON3_BIN,
            {SOURCE_DIR "/tests/data/check_figures.py", "dual_test.bin", "figures.json"}));
        EXPECT_EQ(checked.exit_code, 0) << checked.out << checked.err;
        const std::string marker = "largest difference in dB: ";
        const std::size_t at = checked.out.find(marker);
        ASSERT_NE(at, std::string::npos) << checked.out << checked.err;
        largest = std::max(largest, std::stod(checked.out.substr(at + marker.size())));
    }
    std::cout << "Python agrees on " << std::size(captures) << " captures, within " << largest
              << " dB" << std::endl;
}

}  // namespace
