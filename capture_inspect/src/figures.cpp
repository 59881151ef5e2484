#include "figures.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>

#include "spectrum.h"

namespace {

double to_db(double ratio) {
    return ratio > 0 ? std::max(kFloorDb, 10.0 * std::log10(ratio)) : kFloorDb;
}

double degrees(double radians) {
    return radians * 180.0 / M_PI;
}

// Text and JSON never show "-0".
double no_negative_zero(double v) {
    return v == 0 ? 0.0 : v;
}

void level_figures(const ChannelSums& s, double frames, ChannelFigures& ch) {
    ch.dc_i = no_negative_zero(static_cast<double>(s.sum_i) / frames);
    ch.dc_q = no_negative_zero(static_cast<double>(s.sum_q) / frames);
    ch.dc_dbfs = to_db((ch.dc_i * ch.dc_i + ch.dc_q * ch.dc_q) / (kFullScale * kFullScale));
    ch.rms_dbfs = to_db(static_cast<double>(s.power) / frames / (kFullScale * kFullScale));
    ch.peak = s.peak;
    ch.clipped = s.clipped;
    ch.longest_stuck_run = s.stuck.longest;
}

void phase_turn_figures(const ChannelSums& s, ChannelFigures& ch) {
    ch.phase_turns = s.turns;
    if (s.turns == 0) return;  // too weak to have a phase
    const double turn = s.smallest_turn_cos;
    const double cosine = std::copysign(std::sqrt(std::fabs(turn)), turn);
    ch.largest_phase_jump_deg = degrees(std::acos(std::clamp(cosine, -1.0, 1.0)));
    ch.phase_turn_rms_deg =
        degrees(std::sqrt(std::max(0.0, s.turn_spread / static_cast<double>(s.turns))));
    // For n turns of Gaussian spread, the largest is about sqrt(2 ln n) times
    // their RMS: a whole but noisy capture makes such a jump somewhere.
    const double turns = std::max(3.0, static_cast<double>(s.turns));
    ch.noise_phase_jump_deg =
        std::min(180.0, std::sqrt(2 * std::log(turns)) * *ch.phase_turn_rms_deg);
    ch.phase_jump_over_noise_deg = *ch.largest_phase_jump_deg - 2 * *ch.noise_phase_jump_deg;
}

// The tone away from DC and its image, from the channel's averaged spectrum;
// gives the tone's bin.
std::size_t tone_figures(const std::vector<double>& p, std::uint64_t segments, double bin_hz,
                         const WindowSums& window, ChannelFigures& ch, double& coarse_bin,
                         double& noise_bin) {
    // The tone is searched away from DC: a DC offset is its own figure.
    std::size_t k = kLobe + 1;
    for (std::size_t j = kLobe + 1; j < kFftSize - kLobe; ++j) {
        if (p[j] > p[k]) k = j;
    }
    std::vector<double> sorted = p;
    std::nth_element(sorted.begin(), sorted.begin() + kFftSize / 2, sorted.end());
    const double median = sorted[kFftSize / 2];
    const double noise_share = (2 * kLobe + 1) * noise_mean(median, segments);

    // Parabolic interpolation over the log powers finds the tone between bins.
    const double a = std::log(p[bin_at(k, -1)] + 1e-30), b = std::log(p[k] + 1e-30),
                 g = std::log(p[bin_at(k, 1)] + 1e-30);
    const double denominator = a - 2 * b + g;
    const double delta = denominator < 0 ? 0.5 * (a - g) / denominator : 0.0;
    double bin = static_cast<double>(k) + delta;
    if (bin >= kFftSize / 2.0) bin -= kFftSize;
    ch.tone_offset_hz = no_negative_zero(bin * bin_hz);
    coarse_bin = bin;
    noise_bin = noise_mean(median, segments);
    ch.tone_above_floor_db = p[k] <= 0    ? 0.0
                             : median > 0 ? 10.0 * std::log10(p[k] / median)
                                          : -kFloorDb;
    // A bin's |X|^2 per segment for a tone of amplitude A sums over its lobe to
    // A^2 N (sum w^2): all of the tone wherever it falls between bins, less the
    // noise that shares the lobe.
    const double lobe_scale = static_cast<double>(segments) * static_cast<double>(kFftSize) *
                              window.sum_sq * kFullScale * kFullScale;
    const double tone = lobe_sum(p, k) - noise_share;
    if (tone > 0) {
        ch.tone_dbfs = to_db(tone / lobe_scale);
        const double image = lobe_sum(p, kFftSize - k) - noise_share;
        // An image counts where it is at least the noise in its lobe.
        ch.image_below_floor = image < noise_share;
        ch.image_dbc = to_db((ch.image_below_floor ? noise_share : image) / tone);
    }
    // At its peak the tone reads A^2 (sum w)^2: the spectrum is in dBFS of a tone.
    ch.spectrum_dbfs.resize(kFftSize);
    const double scale =
        static_cast<double>(segments) * window.sum * window.sum * kFullScale * kFullScale;
    for (std::size_t j = 0; j < kFftSize; ++j) {
        ch.spectrum_dbfs[j] = to_db(p[(j + kFftSize / 2) % kFftSize] / scale);
    }
    return k;
}

struct Component {
    const char* name;  // "dc", "tone", "image", "hd2" ... "hd6"
    double at;         // fractional bin
    double power = 0;  // sample units squared, noise taken out
};

// The receiver's figures of merit of one channel around its tone at bin k.
void merit_figures(const ChannelSums& s, std::uint64_t segments, std::uint64_t mirrored,
                   double bin_hz, double coarse_bin, std::size_t k, double noise_bin,
                   const WindowSums& window, const Reference& reference, ChannelFigures& ch) {
    const std::vector<double>& p = s.spectrum;
    const double n = static_cast<double>(kFftSize);
    const double tone_at = fine_bin(s.advance, k, coarse_bin < 0 ? coarse_bin + n : coarse_bin);
    double offset_bins = tone_at - n * std::floor(tone_at / n);
    if (offset_bins >= n / 2) offset_bins -= n;
    ch.tone_offset_hz = no_negative_zero(offset_bins * bin_hz);
    const double dc_power = ch.dc_i * ch.dc_i + ch.dc_q * ch.dc_q;

    std::vector<Component> parts = {{"dc", 0, dc_power}, {"tone", tone_at}, {"image", -tone_at}};
    static const char* const kHarmonics[] = {"hd2", "hd3", "hd4", "hd5", "hd6"};
    for (int h = 2; h <= 6; ++h) {
        // Even orders fall either side; odd ones alternate: -3 f0, +5 f0.
        const double sign = h % 2 == 0 || ((h - 1) / 2) % 2 == 0 ? 1.0 : -1.0;
        for (double side : h % 2 == 0 ? std::vector<double>{1, -1} : std::vector<double>{sign}) {
            const double at = side * h * tone_at;
            // A harmonic that lands on another component is that component's.
            const bool taken = std::any_of(parts.begin(), parts.end(), [&](const Component& c) {
                const double apart = std::fabs(std::remainder(at - c.at, n));
                return apart <= 2 * kLobe + 1;
            });
            if (!taken) parts.push_back({kHarmonics[h - 2], at});
        }
    }
    // The noise: the mean bin where no component reaches, counted at that mean
    // under the components too.
    std::vector<bool> excluded(kFftSize, false);
    auto measure = [&](double noise) {
        for (Component& c : parts) {
            if (std::string(c.name) != "dc")
                c.power = line_power(p, line_at(c.at), noise, segments);
        }
    };
    measure(noise_bin);
    for (const Component& c : parts) {
        const long e = reach(std::max(c.power, 0.0), noise_bin, segments);
        const Line l = line_at(c.at);
        for (long j = -e; j <= e; ++j) excluded[bin_at(l.bin, j)] = true;
    }
    double noise_sum = 0;
    std::size_t noise_bins = 0;
    std::size_t loudest = kFftSize;  // the largest bin where no component reaches
    for (std::size_t j = 0; j < kFftSize; ++j) {
        if (excluded[j]) continue;
        noise_sum += p[j];
        ++noise_bins;
        if (loudest == kFftSize || p[j] > p[loudest]) loudest = j;
    }
    if (noise_bins > 0) noise_bin = noise_sum / static_cast<double>(noise_bins);
    measure(noise_bin);

    const double full = kFullScale * kFullScale;
    const double tone = parts[1].power;
    if (!(tone > 0)) return;
    const double noise = noise_bin / (static_cast<double>(segments) * window.sum_sq);
    const double image = std::max(parts[2].power, 0.0);
    double harmonics = 0;
    for (std::size_t i = 3; i < parts.size(); ++i) harmonics += std::max(parts[i].power, 0.0);
    ch.tone_dbfs = to_db(tone / full);
    ch.snr_db = to_db(tone / noise);
    ch.sinad_db = to_db(tone / (noise + image + harmonics));
    ch.thd_dbc = to_db(harmonics / tone);
    ch.enob_bits = (*ch.sinad_db - *ch.tone_dbfs - 1.76) / 6.02;
    ch.nsd_dbfs_hz = to_db(noise / full) - 10 * std::log10(bin_hz * n);
    ch.lo_leakage_dbc = to_db(dc_power / tone);

    // The largest other component: the image, a harmonic, or anything else.
    const double floor =
        (2 * kLobe + 1) * noise_bin / (static_cast<double>(segments) * lobe_gain(0));
    const Component* worst = nullptr;
    for (std::size_t i = 2; i < parts.size(); ++i) {
        if (worst == nullptr || parts[i].power > worst->power) worst = &parts[i];
    }
    Component other{"other", static_cast<double>(loudest)};
    if (loudest < kFftSize) {
        other.power = line_power(p, {loudest, 0}, noise_bin, segments);
        if (worst == nullptr || other.power > worst->power) worst = &other;
    }
    const double spur = worst == nullptr ? floor : std::max(worst->power, floor);
    ch.sfdr_below_floor = worst == nullptr || worst->power < floor;
    if (!ch.sfdr_below_floor) {
        ch.worst_spur = worst->name;
        double at = worst->at - n * std::floor(worst->at / n);
        if (at >= n / 2) at -= n;
        ch.worst_spur_offset_hz = no_negative_zero(at * bin_hz);
    }
    ch.sfdr_dbc = to_db(tone / spur);
    ch.sfdr_dbfs = to_db(full / spur);

    // The tone against its image: X[k] X[-k] over |X[k]|^2 is v / conj(u),
    // for y = u e^(jwt) + v e^(-jwt); with Q = g A sin(wt + phi) against
    // I = A cos(wt), g e^(-j phi) = (1 - r) / (1 + r).
    std::complex<double> product(0, 0);
    double power = 0;
    const Line t = line_at(tone_at);
    for (long j = -kLobe; j <= kLobe; ++j) {
        const std::size_t b = bin_at(t.bin, j);
        const std::size_t half = b <= kFftSize / 2 ? b : kFftSize - b;
        product += std::complex<double>(s.mirror[2 * half], s.mirror[2 * half + 1]);
        power += p[b] - noise_bin;
    }
    // The mirror sums cover every other segment.
    power *= static_cast<double>(mirrored) / static_cast<double>(segments);
    if (power > 0) {
        const std::complex<double> r = product / power;
        const std::complex<double> z = (1.0 - r) / (1.0 + r);
        if (std::abs(z) > 0) {
            ch.iq_gain_imbalance_db = no_negative_zero(20 * std::log10(std::abs(z)));
            ch.iq_phase_imbalance_deg = no_negative_zero(-degrees(std::arg(z)));
        }
    }
    if (reference.expected_tone_hz && reference.centre_frequency > 0) {
        ch.frequency_error_ppm = no_negative_zero(
            (*ch.tone_offset_hz - *reference.expected_tone_hz) / reference.centre_frequency * 1e6);
    }
}

// The correlation coefficient of the whole capture.
Figure correlation(const CaptureSums& sums, const CaptureFigures& f) {
    const double n = static_cast<double>(sums.frames);
    const std::complex<double> m0(f.channels[0].dc_i, f.channels[0].dc_q);
    const std::complex<double> m1(f.channels[1].dc_i, f.channels[1].dc_q);
    const std::complex<double> cross(static_cast<double>(sums.pair.cross_re),
                                     static_cast<double>(sums.pair.cross_im));
    const std::complex<double> covariance = cross / n - m1 * std::conj(m0);
    const double var0 = static_cast<double>(sums.channels[0].power) / n - std::norm(m0);
    const double var1 = static_cast<double>(sums.channels[1].power) / n - std::norm(m1);
    if (var0 <= 0 || var1 <= 0) return {};
    return std::min(1.0, std::abs(covariance) / std::sqrt(var0 * var1));
}

// Coherence and phase at the stronger channel's tone bin.
void coherence_figures(const CaptureSums& sums, const std::array<std::size_t, 2>& tone_bin,
                       CaptureFigures& f) {
    const std::vector<double>& p0 = sums.channels[0].spectrum;
    const std::vector<double>& p1 = sums.channels[1].spectrum;
    const std::size_t k = p0[tone_bin[0]] >= p1[tone_bin[1]] ? tone_bin[0] : tone_bin[1];
    if (p0[k] <= 0 || p1[k] <= 0) return;
    const std::complex<double> at_tone(sums.pair.spectrum_re[k], sums.pair.spectrum_im[k]);
    f.coherence = std::clamp(std::norm(at_tone) / (p0[k] * p1[k]), 0.0, 1.0);
    double phase = degrees(std::arg(at_tone));
    if (phase <= -180.0) phase += 360.0;
    f.phase_deg = no_negative_zero(phase);
}

}  // namespace

CaptureFigures figures_from(const CaptureSums& sums, const Reference& reference) {
    const double rate = reference.sample_rate;
    CaptureFigures f;
    f.frames = sums.frames;
    f.segments = sums.segments;
    f.head = sums.head;
    if (sums.frames == 0) return f;
    const WindowSums window;
    f.bin_hz = rate / static_cast<double>(kFftSize);
    f.resolution_bandwidth_hz =
        f.bin_hz * static_cast<double>(kFftSize) * window.sum_sq / (window.sum * window.sum);
    std::array<std::size_t, 2> tone_bin{};
    for (int c = 0; c < 2; ++c) {
        level_figures(sums.channels[c], static_cast<double>(sums.frames), f.channels[c]);
        phase_turn_figures(sums.channels[c], f.channels[c]);
        if (sums.segments > 0) {
            double coarse = 0, noise = 0;
            tone_bin[c] = tone_figures(sums.channels[c].spectrum, sums.segments, f.bin_hz, window,
                                       f.channels[c], coarse, noise);
            merit_figures(sums.channels[c], sums.segments, sums.mirrored, f.bin_hz, coarse,
                          tone_bin[c], noise, window, reference, f.channels[c]);
        }
    }
    f.correlation = correlation(sums, f);
    if (sums.segments > 0) coherence_figures(sums, tone_bin, f);
    const ChannelFigures &c0 = f.channels[0], &c1 = f.channels[1];
    if (c0.snr_db && c1.snr_db) {
        f.gain_match_db = no_negative_zero(*c1.tone_dbfs - *c0.tone_dbfs);
        f.frequency_difference_hz = no_negative_zero(*c1.tone_offset_hz - *c0.tone_offset_hz);
    }
    return f;
}
