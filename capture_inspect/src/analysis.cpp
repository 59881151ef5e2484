#include "analysis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// |x|^8 for samples of magnitude 32 and more: below, noise rules the phase.
constexpr float kPhasePower = 1.1e12f;

// Bins either side of a peak that its Hann main lobe covers.
constexpr long kLobe = 2;

typedef float Floats4 __attribute__((vector_size(16)));
typedef int Ints4 __attribute__((vector_size(16)));

Floats4 load4(const float* p) {
    Floats4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A Hann window over a segment, each value twice: once for I, once for Q.
std::vector<float> hann() {
    std::vector<float> w(2 * kFftSize);
    for (std::size_t k = 0; k < kFftSize; ++k) {
        w[2 * k] = w[2 * k + 1] =
            static_cast<float>(0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(k) /
                                                    static_cast<double>(kFftSize)));
    }
    return w;
}

double to_db(double ratio) {
    return ratio > 0 ? std::max(kFloorDb, 10.0 * std::log10(ratio)) : kFloorDb;
}

double degrees(double radians) {
    return radians * 180.0 / M_PI;
}

// The runs of identical samples of a span of `count` samples.
StuckRuns stuck_runs(const std::int16_t* v, std::size_t count) {
    StuckRuns r;
    std::uint32_t last;
    std::memcpy(&last, v, sizeof last);
    r.first = last;
    std::uint64_t run = 1, longest = 1, lead = 0;
    for (std::size_t f = 1; f < count; ++f) {
        std::uint32_t word;
        std::memcpy(&word, v + kFrameValues * f, sizeof word);
        if (word == last) {
            ++run;
        } else {
            if (lead == 0) lead = run;
            run = 1;
        }
        longest = std::max(longest, run);
        last = word;
    }
    r.last = last;
    r.lead = lead == 0 ? run : lead;
    r.trail = run;
    r.longest = longest;
    return r;
}

// Joins the runs of a span of `n` samples with those of the `m` that follow.
StuckRuns join(const StuckRuns& a, std::uint64_t n, const StuckRuns& b, std::uint64_t m) {
    if (n == 0) return b;
    if (m == 0) return a;
    const bool seam = a.last == b.first;
    StuckRuns r;
    r.first = a.first;
    r.last = b.last;
    r.lead = seam && a.lead == n ? n + b.lead : a.lead;
    r.trail = seam && b.trail == m ? a.trail + m : b.trail;
    r.longest = std::max({a.longest, b.longest, seam ? a.trail + b.lead : 0});
    return r;
}

// The noise's mean per bin from the median bin of `segments` averaged ones:
// an average of K segments is Gamma distributed, whose median lies below its
// mean by about (1 - 1/(9K))^3.
double noise_mean(double median, std::uint64_t segments) {
    const double k = static_cast<double>(std::max<std::uint64_t>(segments, 1));
    return median / std::pow(1.0 - 1.0 / (9.0 * k), 3);
}

std::size_t bin_at(std::size_t center, long offset) {
    return (center + kFftSize + static_cast<std::size_t>(offset)) % kFftSize;
}

double lobe_sum(const std::vector<double>& p, std::size_t center) {
    double sum = 0;
    for (long j = -kLobe; j <= kLobe; ++j) sum += p[bin_at(center, j)];
    return sum;
}

// Text and JSON never show "-0".
double no_negative_zero(double v) {
    return v == 0 ? 0.0 : v;
}

}  // namespace

CaptureSums::CaptureSums() {
    for (ChannelSums& c : channels) c.spectrum.assign(kFftSize, 0.0);
    pair.spectrum_re.assign(kFftSize, 0.0);
    pair.spectrum_im.assign(kFftSize, 0.0);
}

void CaptureSums::append(const CaptureSums& next) {
    for (int c = 0; c < 2; ++c) {
        ChannelSums& a = channels[c];
        const ChannelSums& b = next.channels[c];
        a.sum_i += b.sum_i;
        a.sum_q += b.sum_q;
        a.power += b.power;
        a.peak = std::max(a.peak, b.peak);
        a.clipped += b.clipped;
        a.stuck = join(a.stuck, frames, b.stuck, next.frames);
        a.smallest_turn_cos = std::min(a.smallest_turn_cos, b.smallest_turn_cos);
        a.turn_spread += b.turn_spread;
        a.turns += b.turns;
        for (std::size_t k = 0; k < kFftSize; ++k) a.spectrum[k] += b.spectrum[k];
    }
    pair.cross_re += next.pair.cross_re;
    pair.cross_im += next.pair.cross_im;
    for (std::size_t k = 0; k < kFftSize; ++k) {
        pair.spectrum_re[k] += next.pair.spectrum_re[k];
        pair.spectrum_im[k] += next.pair.spectrum_im[k];
    }
    for (std::size_t f = 0; f < next.head.size() && head.size() < kHeadFrames; ++f) {
        head.push_back(next.head[f]);
    }
    frames += next.frames;
    segments += next.segments;
}

namespace {

// One plan for every analyzer: FFTW may run a plan on several threads at once
// with arrays of its own alignment, but may not plan on several at once.
fftwf_plan shared_plan() {
    static const fftwf_plan plan = [] {
        fftwf_complex* in = fftwf_alloc_complex(2 * kFftSize);
        fftwf_complex* out = fftwf_alloc_complex(2 * kFftSize);
        if (in == nullptr || out == nullptr) throw std::bad_alloc();
        const int n = static_cast<int>(kFftSize);
        // Both channels in one plan; estimated, so that planning costs nothing.
        fftwf_plan p = fftwf_plan_many_dft(1, &n, 2, in, nullptr, 1, n, out, nullptr, 1, n,
                                           FFTW_FORWARD, FFTW_ESTIMATE);
        fftwf_free(in);
        fftwf_free(out);
        return p;
    }();
    return plan;
}

}  // namespace

ChunkAnalyzer::ChunkAnalyzer() : window_(hann()) {
    for (auto& p : plane_) p.reset(new float[kChunkBefore + kChunkFrames + kChunkAfter]);
    plan_ = shared_plan();
    in_ = fftwf_alloc_complex(2 * kFftSize);
    out_ = fftwf_alloc_complex(2 * kFftSize);
    if (in_ == nullptr || out_ == nullptr) throw std::bad_alloc();
}

ChunkAnalyzer::~ChunkAnalyzer() {
    fftwf_free(in_);
    fftwf_free(out_);
}

void ChunkAnalyzer::sum(const std::int16_t* frames, std::uint64_t first, std::size_t count,
                        std::uint64_t total, CaptureSums& out) {
    for (ChannelSums& c : out.channels) {
        std::vector<double> spectrum = std::move(c.spectrum);
        c = ChannelSums{};
        std::fill(spectrum.begin(), spectrum.end(), 0.0);
        c.spectrum = std::move(spectrum);
    }
    out.pair.cross_re = out.pair.cross_im = 0;
    std::fill(out.pair.spectrum_re.begin(), out.pair.spectrum_re.end(), 0.0);
    std::fill(out.pair.spectrum_im.begin(), out.pair.spectrum_im.end(), 0.0);
    out.head.clear();
    out.frames = count;
    out.segments = 0;
    if (count == 0) return;

    const std::size_t before =
        static_cast<std::size_t>(std::min<std::uint64_t>(first, kChunkBefore));
    const std::size_t after =
        static_cast<std::size_t>(std::min<std::uint64_t>(total - first - count, kChunkAfter));
    // The frames around the span only feed the planes; its own are put there
    // as they are summed.
    const std::int16_t* base = frames - kFrameValues * before;
    auto to_planes = [&](std::size_t from, std::size_t to) {
        for (std::size_t f = from; f < to; ++f) {
            for (std::size_t v = 0; v < kFrameValues; ++v)
                plane_[v][f] = base[kFrameValues * f + v];
        }
    };
    to_planes(0, before);
    to_planes(before + count, before + count + after);
    for (int c = 0; c < 2; ++c) channel_sums(frames, count, before, c, out.channels[c]);

    Int128 cross_re = 0, cross_im = 0;
    for (std::size_t done = 0; done < count; done += kFftSize) {
        // Exact in 64 bits for a block; a capture of any size in 128.
        std::int64_t re = 0, im = 0;
        const std::size_t n = std::min(kFftSize, count - done);
        const std::int16_t* v = frames + kFrameValues * done;
        for (std::size_t f = 0; f < n; ++f, v += kFrameValues) {
            re += std::int64_t{v[2]} * v[0] + std::int64_t{v[3]} * v[1];
            im += std::int64_t{v[3]} * v[0] - std::int64_t{v[2]} * v[1];
        }
        cross_re += re;
        cross_im += im;
    }
    out.pair.cross_re = cross_re;
    out.pair.cross_im = cross_im;

    for (int c = 0; c < 2; ++c) phase_turns(2, before + count, c, out.channels[c]);
    for (std::uint64_t s = first; s < first + count && s + kFftSize <= total; s += kHop) {
        segment(before + static_cast<std::size_t>(s - first), out);
    }
    for (std::size_t f = 0; first + f < kHeadFrames && f < count; ++f) {
        const std::int16_t* v = frames + kFrameValues * f;
        out.head.push_back({v[0], v[1], v[2], v[3]});
    }
}

void ChunkAnalyzer::channel_sums(const std::int16_t* frames, std::size_t count, std::size_t at,
                                 int c, ChannelSums& out) {
    out.stuck = stuck_runs(frames + 2 * c, count);
    for (std::size_t done = 0; done < count; done += kFftSize) {
        const std::size_t n = std::min(kFftSize, count - done);
        std::int64_t sum_i = 0, sum_q = 0, power = 0;
        int peak = out.peak;
        std::uint64_t clipped = 0;
        const std::int16_t* __restrict v = frames + kFrameValues * done + 2 * c;
        float* __restrict plane_i = plane_[2 * c].get() + at + done;
        float* __restrict plane_q = plane_[2 * c + 1].get() + at + done;
        for (std::size_t f = 0; f < n; ++f) {
            const int i = v[kFrameValues * f], q = v[kFrameValues * f + 1];
            plane_i[f] = static_cast<float>(i);
            plane_q[f] = static_cast<float>(q);
            sum_i += i;
            sum_q += q;
            power += std::int64_t{i} * i + std::int64_t{q} * q;
            const int magnitude = std::max(i < 0 ? -i : i, q < 0 ? -q : q);
            peak = std::max(peak, magnitude);
            clipped += magnitude >= kClipLevel;
        }
        out.sum_i += sum_i;
        out.sum_q += sum_q;
        out.power += static_cast<UInt128>(power);
        out.peak = peak;
        out.clipped += clipped;
    }
}

// How far the phase step of each sample turns from the step before: the angle
// of x[j] x*[j-1] against x[j-1] x*[j-2], kept as its signed squared cosine,
// which needs no square root and vectorises. A steady tone turns none;
// samples too weak to have a phase are not counted. The spread sums
// sin^2 of turns up to 90 degrees and 2 - sin^2 beyond: it grows with the
// turn all the way to 180 degrees.
void ChunkAnalyzer::phase_turns(std::size_t from, std::size_t to, int c, ChannelSums& out) {
    const float* xi = plane_[2 * c].get();
    const float* xq = plane_[2 * c + 1].get();
    const Floats4 zero = {0, 0, 0, 0}, one = {1, 1, 1, 1};
    const Floats4 tiny = {1e-30f, 1e-30f, 1e-30f, 1e-30f};
    const Floats4 threshold = {kPhasePower, kPhasePower, kPhasePower, kPhasePower};
    auto turn = [&](Floats4 ar, Floats4 ai, Floats4 br, Floats4 bi, Floats4 cr, Floats4 ci,
                    Ints4& counted) {
        const Floats4 d1r = ar * br + ai * bi, d1i = ai * br - ar * bi;
        const Floats4 d0r = br * cr + bi * ci, d0i = bi * cr - br * ci;
        const Floats4 er = d1r * d0r + d1i * d0i, ei = d1i * d0r - d1r * d0i;
        const Floats4 er2 = er * er;
        const Floats4 power = er2 + ei * ei;
        const Floats4 cos2 = (er < zero ? -er2 : er2) / (power + tiny);
        counted = power > threshold;
        return counted ? cos2 : one;
    };
    // Four samples at a time in the compiler's vector type: it does not
    // vectorise a running minimum of floats on its own.
    Floats4 lowest = one, spread = zero;
    Ints4 counts = {0, 0, 0, 0};
    std::size_t j = from;
    for (; j + 4 <= to; j += 4) {
        Ints4 counted;
        const Floats4 t = turn(load4(xi + j), load4(xq + j), load4(xi + j - 1), load4(xq + j - 1),
                               load4(xi + j - 2), load4(xq + j - 2), counted);
        lowest = t < lowest ? t : lowest;
        spread += one - t;
        counts -= counted;
    }
    float smallest = out.smallest_turn_cos;
    double total = 0;
    std::uint64_t turns = 0;
    for (int l = 0; l < 4; ++l) {
        smallest = std::min(smallest, lowest[l]);
        total += spread[l];
        turns += static_cast<std::uint64_t>(counts[l]);
    }
    for (; j < to; ++j) {
        Ints4 counted;
        const Floats4 t = turn(Floats4{xi[j]}, Floats4{xq[j]}, Floats4{xi[j - 1]},
                               Floats4{xq[j - 1]}, Floats4{xi[j - 2]}, Floats4{xq[j - 2]}, counted);
        smallest = std::min(smallest, t[0]);
        total += 1 - t[0];
        turns += counted[0] != 0;
    }
    out.smallest_turn_cos = smallest;
    out.turn_spread += total;
    out.turns += turns;
}

void ChunkAnalyzer::segment(std::size_t at, CaptureSums& out) {
    // Plain float arrays, so that the compiler can vectorise these loops.
    const float* __restrict w = window_.data();
    for (std::size_t c = 0; c < 2; ++c) {
        const float* __restrict seg_i = plane_[2 * c].get() + at;
        const float* __restrict seg_q = plane_[2 * c + 1].get() + at;
        float* __restrict in = reinterpret_cast<float*>(in_ + c * kFftSize);
        for (std::size_t k = 0; k < kFftSize; ++k) {
            in[2 * k] = seg_i[k] * w[2 * k];
            in[2 * k + 1] = seg_q[k] * w[2 * k + 1];
        }
    }
    fftwf_execute_dft(plan_, in_, out_);
    const float* __restrict x0 = reinterpret_cast<const float*>(out_);
    const float* __restrict x1 = reinterpret_cast<const float*>(out_ + kFftSize);
    double* __restrict p0 = out.channels[0].spectrum.data();
    double* __restrict p1 = out.channels[1].spectrum.data();
    double* __restrict re = out.pair.spectrum_re.data();
    double* __restrict im = out.pair.spectrum_im.data();
    for (std::size_t k = 0; k < kFftSize; ++k) {
        const float a = x0[2 * k], b = x0[2 * k + 1], c = x1[2 * k], d = x1[2 * k + 1];
        p0[k] += a * a + b * b;
        p1[k] += c * c + d * d;
        // x1 times the conjugate of x0, written out: std::complex checks for NaN.
        re[k] += c * a + d * b;
        im[k] += d * a - c * b;
    }
    ++out.segments;
}

namespace {

// The Hann window's sums over a segment, which scale its spectra.
struct WindowSums {
    double sum = 0, sum_sq = 0;
    WindowSums() {
        const std::vector<float> w = hann();
        for (std::size_t k = 0; k < kFftSize; ++k) {
            sum += w[2 * k];
            sum_sq += static_cast<double>(w[2 * k]) * w[2 * k];
        }
    }
};

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
}

// The tone away from DC and its image, from the channel's averaged spectrum;
// gives the tone's bin.
std::size_t tone_figures(const std::vector<double>& p, std::uint64_t segments, double bin_hz,
                         const WindowSums& window, ChannelFigures& ch) {
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

CaptureFigures figures_from(const CaptureSums& sums, double rate) {
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
            tone_bin[c] = tone_figures(sums.channels[c].spectrum, sums.segments, f.bin_hz, window,
                                       f.channels[c]);
        }
    }
    f.correlation = correlation(sums, f);
    if (sums.segments > 0) coherence_figures(sums, tone_bin, f);
    return f;
}
