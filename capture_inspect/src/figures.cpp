#include "figures.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>

#include "spectrum.h"

namespace {

using Complex = std::complex<double>;

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

Complex mean_of(const ChannelSums& s, std::uint64_t frames) {
    const double n = static_cast<double>(frames);
    return {static_cast<double>(s.sum_i) / n, static_cast<double>(s.sum_q) / n};
}

void level_figures(const ChannelSums& s, std::uint64_t frames, ChannelFigures& ch) {
    const Complex dc = mean_of(s, frames);
    ch.dc_i = no_negative_zero(dc.real());
    ch.dc_q = no_negative_zero(dc.imag());
    ch.dc_dbfs = to_db(std::norm(dc) / (kFullScale * kFullScale));
    ch.rms_dbfs = to_db(static_cast<double>(s.power) / static_cast<double>(frames) /
                        (kFullScale * kFullScale));
    ch.peak = s.peak;
    ch.clipped = s.clipped;
    ch.clipped_percent = 100.0 * static_cast<double>(s.clipped) / static_cast<double>(frames);
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

// The spectrum in dBFS of a tone: at its peak a tone reads A^2 (sum w)^2.
std::vector<double> spectrum_dbfs(const std::vector<double>& p, std::uint64_t segments,
                                  const WindowSums& window) {
    std::vector<double> out(kFftSize);
    const double scale =
        static_cast<double>(segments) * window.sum * window.sum * kFullScale * kFullScale;
    for (std::size_t j = 0; j < kFftSize; ++j) {
        out[j] = to_db(p[(j + kFftSize / 2) % kFftSize] / scale);
    }
    return out;
}

// The tone's lines as the spectrum reads them: each at its fractional bin,
// with its power, sample units squared, noise taken out.
struct Lines {
    double tone_at = 0;  // fractional bin, 0 .. N
    std::vector<double> at, power;
    std::vector<std::size_t> falls_on;  // per line: itself, or the line it falls on
    Complex dc;
    double noise_bin = 0;
    std::size_t loudest = kFftSize;  // the largest bin no line reaches, if any
};

// Places the lines of fit_lines() around a tone at fractional bin `tone_at`.
void place(Lines& lines, double tone_at) {
    const double n = static_cast<double>(kFftSize);
    lines.tone_at = tone_at - n * std::floor(tone_at / n);
    lines.at.clear();
    for (const FitLine& l : fit_lines()) lines.at.push_back(l.multiple * lines.tone_at);
    lines.power.assign(lines.at.size(), 0.0);
    lines.falls_on.resize(lines.at.size());
    for (std::size_t k = 0; k < lines.at.size(); ++k) lines.falls_on[k] = k;
}

// The noise: the mean bin where no line's leakage reaches, counted at that
// mean under the lines too; and the largest bin there.
void measure_noise(const std::vector<double>& p, std::uint64_t segments, Lines& lines) {
    std::vector<bool> excluded(kFftSize, false);
    for (std::size_t k = 0; k < lines.at.size(); ++k) {
        const long e = reach(std::max(lines.power[k], 0.0), lines.noise_bin, segments);
        const Line l = line_at(lines.at[k]);
        for (long j = -e; j <= e; ++j) excluded[bin_at(l.bin, j)] = true;
    }
    double sum = 0;
    std::size_t bins = 0;
    lines.loudest = kFftSize;
    for (std::size_t j = 0; j < kFftSize; ++j) {
        if (excluded[j]) continue;
        sum += p[j];
        ++bins;
        if (lines.loudest == kFftSize || p[j] > p[lines.loudest]) lines.loudest = j;
    }
    if (bins > 0) lines.noise_bin = sum / static_cast<double>(bins);
}

// Every line but DC read off its lobe; DC is the mean.
void lobe_powers(const std::vector<double>& p, std::uint64_t segments, Lines& lines) {
    lines.power[kDcLine] = std::norm(lines.dc);
    for (std::size_t k = 1; k < lines.at.size(); ++k)
        lines.power[k] = line_power(p, line_at(lines.at[k]), lines.noise_bin, segments);
}

// What the spectrum says of a channel's tone: whether there is one, where,
// and whether the window parts its lines.
struct Reading {
    Peak peak;
    Lines lines;
    bool parted = false;
};

Reading read_spectrum(const ChannelSums& s, std::uint64_t segments, Complex mean,
                      const WindowSums& window) {
    Reading r;
    r.peak = strongest_line(s.spectrum, segments, mean, window);
    if (!r.peak.clear) return r;
    const double n = static_cast<double>(kFftSize);
    const double coarse = r.peak.at < 0 ? r.peak.at + n : r.peak.at;
    place(r.lines, fine_bin(s.advance, r.peak.bin, coarse));
    r.lines.dc = mean;
    r.lines.noise_bin = r.peak.noise_bin;
    lobe_powers(s.spectrum, segments, r.lines);
    r.parted = window_parts(r.lines.at, r.lines.power, r.lines.noise_bin, segments);
    if (r.parted) {
        measure_noise(s.spectrum, segments, r.lines);
        lobe_powers(s.spectrum, segments, r.lines);
    }
    return r;
}

// The lines as the fit found them; the noise is still the spectrum's, read
// where none of them reaches.
void take_fit(const FitResult& fit, const std::vector<double>& p, std::uint64_t segments,
              Lines& lines) {
    place(lines, fit.omega / (2 * M_PI) * static_cast<double>(kFftSize));
    for (std::size_t k = 0; k < lines.at.size(); ++k) lines.power[k] = std::norm(fit.amplitude[k]);
    lines.falls_on = fit.falls_on;
    lines.dc = fit.amplitude[kDcLine];
    measure_noise(p, segments, lines);
}

// "hd3 falls on the tone; ...", for every line that falls on one of another
// kind (harmonics falling on each other are harmonics still).
std::string unresolved_text(const Lines& lines) {
    std::string text;
    for (std::size_t k = 0; k < lines.falls_on.size(); ++k) {
        const std::size_t on = lines.falls_on[k];
        if (on == k || (k > kImageLine && on > kImageLine)) continue;
        const std::string name = fit_lines()[on].name;
        text += std::string(text.empty() ? "" : "; ") + fit_lines()[k].name + " falls on " +
                (name == "tone" || name == "image" ? "the " : "") + name;
    }
    return text;
}

// True where a line of line k's kind (DC, the tone, the image, or the
// harmonics as one) falls on a line of another kind, or one of another kind
// on it: its figure would mix the two.
bool mixed(const Lines& lines, std::size_t k) {
    const auto kind = [](std::size_t i) { return i < kImageLine + 1 ? i : kImageLine + 1; };
    for (std::size_t i = 0; i < lines.falls_on.size(); ++i) {
        const std::size_t on = lines.falls_on[i];
        if (on == i || kind(on) == kind(i)) continue;
        if (kind(i) == kind(k) || kind(on) == kind(k)) return true;
    }
    return false;
}

double offset_hz(double at, double bin_hz) {
    const double n = static_cast<double>(kFftSize);
    double bins = at - n * std::floor(at / n);
    if (bins >= n / 2) bins -= n;
    return no_negative_zero(bins * bin_hz);
}

// The receiver's figures of merit of one channel from its tone's lines.
void merit_figures(const ChannelSums& s, std::uint64_t segments, std::uint64_t mirrored,
                   double bin_hz, const Lines& lines, const std::optional<FitResult>& fit,
                   const WindowSums& window, const Reference& reference, ChannelFigures& ch) {
    const std::vector<double>& p = s.spectrum;
    const double n = static_cast<double>(kFftSize);
    const double full = kFullScale * kFullScale;
    const double tone = lines.power[kToneLine];
    if (!(tone > 0)) return;
    ch.tone_offset_hz = offset_hz(lines.tone_at, bin_hz);
    ch.method = fit ? "fit" : "spectrum";
    ch.fit_frames = fit ? fit->frames : 0;
    ch.unresolved = unresolved_text(lines);

    const double noise = lines.noise_bin / (static_cast<double>(segments) * window.sum_sq);
    const double image = std::max(lines.power[kImageLine], 0.0);
    double harmonics = 0;
    for (std::size_t k = kImageLine + 1; k < lines.power.size(); ++k)
        harmonics += std::max(lines.power[k], 0.0);
    ch.tone_dbfs = to_db(tone / full);
    ch.snr_db = to_db(tone / noise);
    ch.sinad_db = to_db(tone / (noise + image + harmonics));
    if (!mixed(lines, kImageLine + 1)) ch.thd_dbc = to_db(harmonics / tone);
    // Only where the tone stands clear of the floor, and never beyond the
    // converter's bits: a weak tone's SINAD carried to full scale is not.
    ch.enob_bits = std::min<double>(kSampleBits, (*ch.sinad_db - *ch.tone_dbfs - 1.76) / 6.02);
    ch.nsd_dbfs_hz = to_db(noise / full) - 10 * std::log10(bin_hz * n);
    if (!mixed(lines, kDcLine)) ch.lo_leakage_dbc = to_db(std::norm(lines.dc) / tone);

    // The noise in a lobe, as a line's power: what a line must pass to count.
    const double floor =
        (2 * kLobe + 1) * lines.noise_bin / (static_cast<double>(segments) * lobe_gain(0));
    if (!mixed(lines, kImageLine)) {
        ch.image_below_floor = image < floor;
        ch.image_dbc = to_db(std::max(image, floor) / tone);
    }

    // The largest other line: the image, a harmonic, or the largest bin no
    // line reaches.
    std::size_t worst = kImageLine;
    for (std::size_t k = kImageLine; k < lines.power.size(); ++k) {
        if (lines.falls_on[k] == k && lines.power[k] > lines.power[worst]) worst = k;
    }
    double spur = lines.power[worst];
    const char* name = fit_lines()[worst].name;
    double spur_at = lines.at[worst];
    if (lines.loudest < kFftSize) {
        const double other = line_power(p, {lines.loudest, 0}, lines.noise_bin, segments);
        if (other > spur)
            spur = other, name = "other", spur_at = static_cast<double>(lines.loudest);
    }
    ch.sfdr_below_floor = spur < floor;
    if (!ch.sfdr_below_floor) {
        ch.worst_spur = name;
        ch.worst_spur_offset_hz = offset_hz(spur_at, bin_hz);
    }
    ch.sfdr_dbc = to_db(tone / std::max(spur, floor));
    ch.sfdr_dbfs = to_db(full / std::max(spur, floor));

    // Q = g A sin(wt + phi) against I = A cos(wt) is u e^(jwt) + v e^(-jwt)
    // with g e^(-j phi) = (1 - r) / (1 + r), r = v / conj(u).
    Complex r(0, 0);
    bool have_r = false;
    if (fit) {
        r = fit->amplitude[kImageLine] / std::conj(fit->amplitude[kToneLine]);
        have_r = true;
    } else {
        // X[k] X[-k] over |X[k]|^2 is v / conj(u) across the tone's lobe.
        Complex product(0, 0);
        double power = 0;
        const Line t = line_at(lines.tone_at);
        for (long j = -kLobe; j <= kLobe; ++j) {
            const std::size_t b = bin_at(t.bin, j);
            const std::size_t half = b <= kFftSize / 2 ? b : kFftSize - b;
            product += Complex(s.mirror[2 * half], s.mirror[2 * half + 1]);
            power += p[b] - lines.noise_bin;
        }
        // The mirror sums cover every other segment.
        power *= static_cast<double>(mirrored) / static_cast<double>(segments);
        if (power > 0) r = product / power, have_r = true;
    }
    const Complex z = (1.0 - r) / (1.0 + r);
    if (have_r && !mixed(lines, kImageLine) && std::abs(z) > 0 && std::isfinite(std::abs(z))) {
        ch.iq_gain_imbalance_db = no_negative_zero(20 * std::log10(std::abs(z)));
        ch.iq_phase_imbalance_deg = no_negative_zero(-degrees(std::arg(z)));
    }
    if (reference.expected_tone_hz && reference.centre_frequency > 0) {
        ch.frequency_error_ppm = no_negative_zero(
            (*ch.tone_offset_hz - *reference.expected_tone_hz) / reference.centre_frequency * 1e6);
    }
}

// The correlation coefficient of the whole capture.
Figure correlation(const CaptureSums& sums) {
    const double n = static_cast<double>(sums.frames);
    const Complex m0 = mean_of(sums.channels[0], sums.frames);
    const Complex m1 = mean_of(sums.channels[1], sums.frames);
    const Complex cross(static_cast<double>(sums.pair.cross_re),
                        static_cast<double>(sums.pair.cross_im));
    const Complex covariance = cross / n - m1 * std::conj(m0);
    const double var0 = static_cast<double>(sums.channels[0].power) / n - std::norm(m0);
    const double var1 = static_cast<double>(sums.channels[1].power) / n - std::norm(m1);
    if (var0 <= 0 || var1 <= 0) return {};
    return std::min(1.0, std::abs(covariance) / std::sqrt(var0 * var1));
}

// Coherence and phase at the stronger tone's bin; none without a tone.
void coherence_figures(const CaptureSums& sums, const std::array<Reading, 2>& readings,
                       CaptureFigures& f) {
    const std::vector<double>& p0 = sums.channels[0].spectrum;
    const std::vector<double>& p1 = sums.channels[1].spectrum;
    const bool t0 = readings[0].peak.clear, t1 = readings[1].peak.clear;
    if (!t0 && !t1) return;
    const std::size_t b0 = readings[0].peak.bin, b1 = readings[1].peak.bin;
    const std::size_t k = t0 && (!t1 || p0[b0] >= p1[b1]) ? b0 : b1;
    if (p0[k] <= 0 || p1[k] <= 0) return;
    const Complex at_tone(sums.pair.spectrum_re[k], sums.pair.spectrum_im[k]);
    f.coherence = std::clamp(std::norm(at_tone) / (p0[k] * p1[k]), 0.0, 1.0);
    double phase = degrees(std::arg(at_tone));
    if (phase <= -180.0) phase += 360.0;
    f.phase_deg = no_negative_zero(phase);
}

}  // namespace

CaptureFigures figures_from(const CaptureSums& sums, const Reference& reference,
                            const FitSource& source, unsigned jobs) {
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
    for (int c = 0; c < 2; ++c) {
        level_figures(sums.channels[c], sums.frames, f.channels[c]);
        phase_turn_figures(sums.channels[c], f.channels[c]);
    }
    f.correlation = correlation(sums);
    if (sums.segments == 0) return f;

    // The spectrum first; where its window cannot part a tone's lines, one
    // more pass fits them, for both channels at once.
    std::array<Reading, 2> readings;
    std::array<FitStart, 2> starts;
    for (int c = 0; c < 2; ++c) {
        const ChannelSums& s = sums.channels[c];
        const Complex mean = mean_of(s, sums.frames);
        readings[c] = read_spectrum(s, sums.segments, mean, window);
        f.channels[c].tone_above_floor_db = readings[c].peak.height_db;
        f.channels[c].spectrum_dbfs = spectrum_dbfs(s.spectrum, sums.segments, window);
        if (readings[c].peak.clear && !readings[c].parted) {
            const double at = readings[c].peak.at;
            starts[c] = {true, 2 * M_PI * at / static_cast<double>(kFftSize), mean};
        }
    }
    const std::array<std::optional<FitResult>, 2> fits = fit_channels(source, starts, jobs);
    for (int c = 0; c < 2; ++c) {
        Reading& r = readings[c];
        if (!r.peak.clear) continue;
        if (!r.parted && !fits[c]) {
            f.channels[c].unresolved =
                "the window cannot part the tone's lines, and no frames were kept to fit them";
            continue;
        }
        if (fits[c]) take_fit(*fits[c], sums.channels[c].spectrum, sums.segments, r.lines);
        merit_figures(sums.channels[c], sums.segments, sums.mirrored, f.bin_hz, r.lines, fits[c],
                      window, reference, f.channels[c]);
    }
    coherence_figures(sums, readings, f);
    const ChannelFigures &c0 = f.channels[0], &c1 = f.channels[1];
    if (c0.snr_db && c1.snr_db) {
        f.gain_match_db = no_negative_zero(*c1.tone_dbfs - *c0.tone_dbfs);
        f.frequency_difference_hz = no_negative_zero(*c1.tone_offset_hz - *c0.tone_offset_hz);
    }
    return f;
}
