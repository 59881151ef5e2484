#include "sums.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

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

void store4(float* p, Floats4 v) {
    std::memcpy(p, &v, sizeof v);
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
    for (ChannelSums& c : channels) {
        c.spectrum.assign(kFftSize, 0.0);
        c.advance.assign(2 * kFftSize, 0.0);
        c.mirror.assign(2 * (kFftSize / 2 + 1), 0.0);
    }
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
        for (std::size_t k = 0; k < a.advance.size(); ++k) a.advance[k] += b.advance[k];
        for (std::size_t k = 0; k < a.mirror.size(); ++k) a.mirror[k] += b.mirror[k];
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
    mirrored += next.mirrored;
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
    for (auto* v : {&advance_like_, &advance_cross_}) {
        for (auto& a : *v) a.assign(2 * kFftSize, 0.0f);
    }
    for (auto* v : {&mirror_like_, &mirror_cross_}) {
        for (auto& a : *v) a.assign(2 * (kFftSize / 2 + 1), 0.0f);
    }
    for (auto& a : spectra_) a.assign(kFftSize, 0.0f);
    plan_ = shared_plan();
    in_ = fftwf_alloc_complex(2 * kFftSize);
    out_ = fftwf_alloc_complex(2 * kFftSize);
    before_ = fftwf_alloc_complex(2 * kFftSize);
    if (in_ == nullptr || out_ == nullptr || before_ == nullptr) throw std::bad_alloc();
}

ChunkAnalyzer::~ChunkAnalyzer() {
    fftwf_free(in_);
    fftwf_free(out_);
    fftwf_free(before_);
}

void ChunkAnalyzer::sum(const std::int16_t* frames, std::uint64_t first, std::size_t count,
                        std::uint64_t total, CaptureSums& out) {
    // The spectra are written whole at the span's end; the rest starts anew.
    for (ChannelSums& c : out.channels) {
        std::vector<double> spectrum = std::move(c.spectrum);
        std::vector<double> advance = std::move(c.advance);
        std::vector<double> mirror = std::move(c.mirror);
        c = ChannelSums{};
        c.spectrum = std::move(spectrum);
        c.advance = std::move(advance);
        c.mirror = std::move(mirror);
    }
    out.pair.cross_re = out.pair.cross_im = 0;
    out.head.clear();
    out.frames = count;
    out.segments = 0;
    out.mirrored = 0;
    if (count == 0) {
        for (ChannelSums& c : out.channels) {
            for (auto* v : {&c.spectrum, &c.advance, &c.mirror})
                std::fill(v->begin(), v->end(), 0.0);
        }
        std::fill(out.pair.spectrum_re.begin(), out.pair.spectrum_re.end(), 0.0);
        std::fill(out.pair.spectrum_im.begin(), out.pair.spectrum_im.end(), 0.0);
        return;
    }

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
    // Within a span each segment after the first follows one a hop before it.
    for (auto* v : {&advance_like_, &advance_cross_, &mirror_like_, &mirror_cross_}) {
        for (auto& a : *v) std::fill(a.begin(), a.end(), 0.0f);
    }
    for (auto& a : spectra_) std::fill(a.begin(), a.end(), 0.0f);
    for (std::uint64_t s = first; s < first + count && s + kFftSize <= total; s += kHop) {
        const std::uint64_t index = (s - first) / kHop;
        segment(before + static_cast<std::size_t>(s - first), index > 0, index % 2 == 0, out);
    }
    for (std::size_t k = 0; k < kFftSize; ++k) {
        out.channels[0].spectrum[k] = spectra_[0][k];
        out.channels[1].spectrum[k] = spectra_[1][k];
        out.pair.spectrum_re[k] = spectra_[2][k];
        out.pair.spectrum_im[k] = spectra_[3][k];
    }
    for (int c = 0; c < 2; ++c) {
        // x conj(y): re = xr yr + xi yi, im = xi yr - xr yi; x m: re = xr mr - xi mi,
        // im = xr mi + xi mr.
        const std::vector<float>&al = advance_like_[c], &ac = advance_cross_[c];
        const std::vector<float>&ml = mirror_like_[c], &mc = mirror_cross_[c];
        std::vector<double>& advance = out.channels[c].advance;
        std::vector<double>& mirror = out.channels[c].mirror;
        for (std::size_t k = 0; k < kFftSize; ++k) {
            advance[2 * k] = static_cast<double>(al[2 * k]) + al[2 * k + 1];
            advance[2 * k + 1] = static_cast<double>(ac[2 * k + 1]) - ac[2 * k];
        }
        for (std::size_t k = 0; k <= kFftSize / 2; ++k) {
            mirror[2 * k] = static_cast<double>(ml[2 * k]) - ml[2 * k + 1];
            mirror[2 * k + 1] = static_cast<double>(mc[2 * k]) + mc[2 * k + 1];
        }
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

void ChunkAnalyzer::segment(std::size_t at, bool follows, bool mirrored, CaptureSums& out) {
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
    float* __restrict p0 = spectra_[0].data();
    float* __restrict p1 = spectra_[1].data();
    float* __restrict re = spectra_[2].data();
    float* __restrict im = spectra_[3].data();
    for (std::size_t k = 0; k < kFftSize; ++k) {
        const float a = x0[2 * k], b = x0[2 * k + 1], c = x1[2 * k], d = x1[2 * k + 1];
        p0[k] += a * a + b * b;
        p1[k] += c * c + d * d;
        // x1 times the conjugate of x0, written out: std::complex checks for NaN.
        re[k] += c * a + d * b;
        im[k] += d * a - c * b;
    }
    const Ints4 swap_parts = {1, 0, 3, 2}, swap_bins = {2, 3, 0, 1}, reverse = {3, 2, 1, 0};
    for (std::size_t c = 0; c < 2; ++c) {
        const float* x = reinterpret_cast<const float*>(out_ + c * kFftSize);
        if (follows) {
            // Two bins a vector: x y and x with y's parts swapped.
            const float* y = reinterpret_cast<const float*>(before_ + c * kFftSize);
            float* like = advance_like_[c].data();
            float* cross = advance_cross_[c].data();
            for (std::size_t j = 0; j < 2 * kFftSize; j += 4) {
                const Floats4 xv = load4(x + j), yv = load4(y + j);
                store4(like + j, load4(like + j) + xv * yv);
                store4(cross + j, load4(cross + j) + xv * __builtin_shuffle(yv, swap_parts));
            }
        }
        // Every other segment: its neighbours overlap it, and tell little more.
        if (!mirrored) continue;
        if (c == 0) ++out.mirrored;
        // Bin k against bin N - k: bins 0 and N/2 are their own mirrors, and
        // bins k, k + 1 meet N - k, N - k - 1, loaded the other way round.
        float* like = mirror_like_[c].data();
        float* cross = mirror_cross_[c].data();
        for (std::size_t k : {std::size_t{0}, std::size_t{1}, kFftSize / 2}) {
            const std::size_t m = (kFftSize - k) % kFftSize;
            like[2 * k] += x[2 * k] * x[2 * m];
            like[2 * k + 1] += x[2 * k + 1] * x[2 * m + 1];
            cross[2 * k] += x[2 * k] * x[2 * m + 1];
            cross[2 * k + 1] += x[2 * k + 1] * x[2 * m];
        }
        for (std::size_t k = 2; k < kFftSize / 2; k += 2) {
            const Floats4 xv = load4(x + 2 * k);
            const Floats4 back = load4(x + 2 * (kFftSize - k - 1));
            store4(like + 2 * k, load4(like + 2 * k) + xv * __builtin_shuffle(back, swap_bins));
            store4(cross + 2 * k, load4(cross + 2 * k) + xv * __builtin_shuffle(back, reverse));
        }
    }
    std::swap(out_, before_);
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

// A Hann window's response to a tone `d` bins from a bin (the periodic
// window of the segments, in closed form): 0.5 D(d) - 0.25 D(d - 1) - 0.25
// D(d + 1), D the sum of the segment's unit phasors.
std::complex<double> hann_response(double d) {
    const double n = static_cast<double>(kFftSize);
    auto dirichlet = [n](double x) {
        const double turns = x - n * std::round(x / n);
        if (std::fabs(turns) < 1e-12) return std::complex<double>(n, 0);
        if (std::fabs(x - std::round(x)) < 1e-12) return std::complex<double>(0, 0);
        const std::complex<double> j(0, 1);
        return (1.0 - std::exp(-2.0 * M_PI * j * x)) / (1.0 - std::exp(-2.0 * M_PI * j * x / n));
    };
    return 0.5 * dirichlet(d) - 0.25 * dirichlet(d - 1) - 0.25 * dirichlet(d + 1);
}

// The part of a component's power that the 2 kLobe + 1 bins around the bin
// nearest to it take, in |X|^2 per unit of power: the component lies
// `offset` bins from that bin.
double lobe_gain(double offset) {
    double gain = 0;
    for (long j = -kLobe; j <= kLobe; ++j)
        gain += std::norm(hann_response(offset - static_cast<double>(j)));
    return gain;
}

// A spectral line at a fractional bin `at` (0 .. N): its nearest bin and its
// offset from it.
struct Line {
    std::size_t bin;
    double offset;
};

Line line_at(double at) {
    const double n = static_cast<double>(kFftSize);
    at -= n * std::floor(at / n);
    const double nearest = std::round(at);
    return {static_cast<std::size_t>(nearest) % kFftSize, at - nearest};
}

// A line's power, in sample units squared, with the noise in its lobe taken
// out (what is left may be below zero: then the line is no more than noise).
double line_power(const std::vector<double>& p, const Line& l, double noise_bin,
                  std::uint64_t segments) {
    return (lobe_sum(p, l.bin) - (2 * kLobe + 1) * noise_bin) /
           (static_cast<double>(segments) * lobe_gain(l.offset));
}

// How many bins either side of a line of `power` its leakage reaches above a
// hundredth of the noise in a bin: the Hann window's response falls as
// 1 / (pi d (d^2 - 1)) d bins away. The noise is measured beyond.
long reach(double power, double noise_bin, std::uint64_t segments) {
    const double peak = power * static_cast<double>(segments) * std::norm(hann_response(0));
    long e = kLobe + 1;
    for (; e < 256; ++e) {
        const double d = static_cast<double>(e) - 0.5;
        if (peak / (M_PI * M_PI * d * d * (d * d - 1) * (d * d - 1)) <= 0.01 * noise_bin) break;
    }
    return e;
}

// A component of the spectrum the noise is measured around.
struct Component {
    const char* name;  // "dc", "tone", "image", "hd2" ... "hd6"
    double at;         // fractional bin
    double power = 0;  // sample units squared, noise taken out
};

// The tone placed finer than a bin from how far its lobe's phase turns in a
// hop between segments; `coarse` is its fractional bin from the spectrum.
// The turn gives the frequency only modulo two bins, which the coarse place
// settles.
double fine_bin(const std::vector<double>& advance, std::size_t k, double coarse) {
    std::complex<double> turn(0, 0);
    for (long j = -kLobe; j <= kLobe; ++j) {
        const std::size_t b = bin_at(k, j);
        turn += std::complex<double>(advance[2 * b], advance[2 * b + 1]);
    }
    if (std::abs(turn) == 0) return coarse;
    // A hop is half a segment: f hop = bin / 2 cycles.
    const double cycles = std::arg(turn) / (2 * M_PI);
    const double hops = static_cast<double>(kFftSize) / static_cast<double>(kHop);
    const double m = std::round(coarse / hops - cycles);
    return hops * (cycles + m);
}

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
