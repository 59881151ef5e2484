#include "analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// |x|^8 for samples of magnitude 32 and more: below, noise rules the phase.
constexpr float kPhasePower = 1.1e12f;

typedef float Floats4 __attribute__((vector_size(16)));

Floats4 load4(const float* p) {
    Floats4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

Floats4 min4(Floats4 a, Floats4 b) {
    return b < a ? b : a;
}

// For samples a (now), b and c (before): how far the phase step b->a turns from
// the step c->b, as the signed squared cosine of that angle; 1 where the samples
// are too weak to have a phase.
Floats4 turn_cos2(Floats4 ar, Floats4 ai, Floats4 br, Floats4 bi, Floats4 cr, Floats4 ci) {
    const Floats4 d1r = ar * br + ai * bi, d1i = ai * br - ar * bi;
    const Floats4 d0r = br * cr + bi * ci, d0i = bi * cr - br * ci;
    const Floats4 er = d1r * d0r + d1i * d0i, ei = d1i * d0r - d1r * d0i;
    const Floats4 er2 = er * er;
    const Floats4 power = er2 + ei * ei;
    const Floats4 zero = {0, 0, 0, 0}, one = {1, 1, 1, 1};
    const Floats4 tiny = {1e-30f, 1e-30f, 1e-30f, 1e-30f};
    const Floats4 threshold = {kPhasePower, kPhasePower, kPhasePower, kPhasePower};
    const Floats4 cos2 = (er < zero ? -er2 : er2) / (power + tiny);
    return power > threshold ? cos2 : one;
}

// A Hann window of `length` in a segment, each value twice: once for I, once for Q.
std::vector<float> hann(std::size_t length) {
    std::vector<float> w(2 * kFftSize, 0.0f);
    for (std::size_t k = 0; k < length; ++k) {
        w[2 * k] = w[2 * k + 1] =
            static_cast<float>(0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(k) /
                                                    static_cast<double>(length)));
    }
    return w;
}

double to_db(double ratio) {
    return ratio > 0 ? std::max(kFloorDb, 10.0 * std::log10(ratio)) : kFloorDb;
}

}  // namespace

CaptureAnalysis::CaptureAnalysis(double sample_rate)
    : rate_(sample_rate),
      window_(hann(kFftSize)),
      power_{std::vector<double>(kFftSize), std::vector<double>(kFftSize)},
      cross_re_(kFftSize),
      cross_im_(kFftSize) {
    for (auto& p : plane_) p.resize(kFftSize);
    in_ = fftwf_alloc_complex(2 * kFftSize);
    out_ = fftwf_alloc_complex(2 * kFftSize);
    if (in_ == nullptr || out_ == nullptr) std::abort();
    const int n = static_cast<int>(kFftSize);
    // Both channels in one plan; estimated, so that planning costs nothing.
    plan_ = fftwf_plan_many_dft(1, &n, 2, in_, nullptr, 1, n, out_, nullptr, 1, n, FFTW_FORWARD,
                                FFTW_ESTIMATE);
    figures_.head.reserve(kHeadFrames);
}

CaptureAnalysis::~CaptureAnalysis() {
    fftwf_destroy_plan(plan_);
    fftwf_free(in_);
    fftwf_free(out_);
}

void CaptureAnalysis::add(const std::int16_t* frames, std::size_t count) {
    for (std::size_t f = 0; f < count && figures_.head.size() < kHeadFrames; ++f) {
        const std::int16_t* v = frames + 4 * f;
        figures_.head.push_back({v[0], v[1], v[2], v[3]});
    }
    while (count > 0) {
        // Frames up to the end of the segment being filled, summed in tight loops.
        const std::size_t n = std::min(count, kFftSize - filled_);
        for (int c = 0; c < 2; ++c) {
            ChannelFigures& ch = figures_.channels[c];
            // A sample compared whole, as the 32 bits of its I and Q.
            std::uint64_t run = run_[c], longest = ch.longest_stuck_run;
            std::uint32_t last = last_[c];
            for (std::size_t f = 0; f < n; ++f) {
                std::uint32_t word;
                std::memcpy(&word, frames + 4 * f + 2 * c, sizeof word);
                run = word == last ? run + 1 : 1;
                longest = std::max(longest, run);
                last = word;
            }
            run_[c] = run;
            last_[c] = last;
            ch.longest_stuck_run = longest;

            std::int64_t sum_i = 0, sum_q = 0, power = 0;
            int peak = ch.peak;
            std::uint64_t clipped = 0;
            float* __restrict seg_i = plane_[2 * c].data() + filled_;
            float* __restrict seg_q = plane_[2 * c + 1].data() + filled_;
            const std::int16_t* __restrict v = frames + 2 * c;
            for (std::size_t f = 0; f < n; ++f) {
                const int i = v[4 * f], q = v[4 * f + 1];
                sum_i += i;
                sum_q += q;
                power += std::int64_t{i} * i + std::int64_t{q} * q;
                const int magnitude = std::max(i < 0 ? -i : i, q < 0 ? -q : q);
                peak = std::max(peak, magnitude);
                clipped += magnitude >= kClipLevel;
                seg_i[f] = static_cast<float>(i);
                seg_q[f] = static_cast<float>(q);
            }
            // How far the phase step of each sample turns from the step before:
            // the angle of x[j] x*[j-1] against x[j-1] x*[j-2], kept as its signed
            // squared cosine, which needs no square root and vectorises. A steady
            // tone turns none; samples too weak to have a phase are passed.
            const float* xi = plane_[2 * c].data();
            const float* xq = plane_[2 * c + 1].data();
            std::size_t j = std::max<std::size_t>(filled_, 2);
            const std::size_t end = filled_ + n;
            // Four samples at a time in the compiler's vector type: it does not
            // vectorise a running minimum of floats on its own. The sum of
            // 1 - cos^2, the squared sine of small turns, tells how far noise
            // alone turns the phase.
            Floats4 lowest = {1, 1, 1, 1}, spread = {0, 0, 0, 0};
            const Floats4 ones = {1, 1, 1, 1};
            for (; j + 4 <= end; j += 4) {
                const Floats4 t =
                    turn_cos2(load4(xi + j), load4(xq + j), load4(xi + j - 1), load4(xq + j - 1),
                              load4(xi + j - 2), load4(xq + j - 2));
                lowest = min4(lowest, t);
                spread += ones - t;
            }
            float smallest = smallest_turn_cos_[c];
            double turn_sin = 0;
            for (int l = 0; l < 4; ++l) {
                smallest = std::min(smallest, lowest[l]);
                turn_sin += spread[l];
            }
            for (; j < end; ++j) {
                const Floats4 one =
                    turn_cos2(Floats4{xi[j]}, Floats4{xq[j]}, Floats4{xi[j - 1]},
                              Floats4{xq[j - 1]}, Floats4{xi[j - 2]}, Floats4{xq[j - 2]});
                smallest = std::min(smallest, one[0]);
                turn_sin += 1 - one[0];
            }
            smallest_turn_cos_[c] = smallest;
            sum_turn_sin_[c] += turn_sin;
            sum_i_[c] += sum_i;
            sum_q_[c] += sum_q;
            sum_power_[c] += power;
            ch.peak = peak;
            ch.clipped += clipped;
        }
        std::int64_t cross_re = 0, cross_im = 0;
        for (std::size_t f = 0; f < n; ++f) {
            const std::int16_t* v = frames + 4 * f;
            // x1 times the conjugate of x0.
            cross_re += std::int64_t{v[2]} * v[0] + std::int64_t{v[3]} * v[1];
            cross_im += std::int64_t{v[3]} * v[0] - std::int64_t{v[2]} * v[1];
        }
        sum_cross_re_ += cross_re;
        sum_cross_im_ += cross_im;
        frames += 4 * n;
        count -= n;
        figures_.frames += n;
        filled_ += n;
        if (filled_ == kFftSize) {
            transform_segment(window_);
            for (auto& p : plane_) std::copy(p.begin() + kFftSize / 2, p.end(), p.begin());
            filled_ = kFftSize / 2;
        }
    }
}

void CaptureAnalysis::transform_segment(const std::vector<float>& window) {
    // Plain float arrays, so that the compiler can vectorise these loops.
    const float* __restrict w = window.data();
    for (std::size_t c = 0; c < 2; ++c) {
        const float* __restrict seg_i = plane_[2 * c].data();
        const float* __restrict seg_q = plane_[2 * c + 1].data();
        float* __restrict in = reinterpret_cast<float*>(in_ + c * kFftSize);
        for (std::size_t k = 0; k < kFftSize; ++k) {
            in[2 * k] = seg_i[k] * w[2 * k];
            in[2 * k + 1] = seg_q[k] * w[2 * k + 1];
        }
    }
    fftwf_execute(plan_);
    const float* __restrict x0 = reinterpret_cast<const float*>(out_);
    const float* __restrict x1 = reinterpret_cast<const float*>(out_ + kFftSize);
    double* __restrict p0 = power_[0].data();
    double* __restrict p1 = power_[1].data();
    double* __restrict re = cross_re_.data();
    double* __restrict im = cross_im_.data();
    for (std::size_t k = 0; k < kFftSize; ++k) {
        const float a = x0[2 * k], b = x0[2 * k + 1], c = x1[2 * k], d = x1[2 * k + 1];
        p0[k] += a * a + b * b;
        p1[k] += c * c + d * d;
        // x1 times the conjugate of x0, written out: std::complex checks for NaN.
        re[k] += c * a + d * b;
        im[k] += d * a - c * b;
    }
    ++segments_;
}

CaptureFigures CaptureAnalysis::finish() {
    const double n = static_cast<double>(figures_.frames);
    if (figures_.frames == 0) return figures_;
    // A capture shorter than one segment is one shorter, zero-padded segment.
    if (segments_ == 0) {
        for (auto& p : plane_) std::fill(p.begin() + filled_, p.end(), 0.0f);
        window_ = hann(filled_);
        transform_segment(window_);
    }
    double window_sum = 0, window_sum_sq = 0;
    for (std::size_t k = 0; k < kFftSize; ++k) {
        window_sum += window_[2 * k];
        window_sum_sq += static_cast<double>(window_[2 * k]) * window_[2 * k];
    }
    const double full_scale_power = kFullScale * kFullScale;
    const double bin_hz = rate_ / static_cast<double>(kFftSize);
    std::array<std::size_t, 2> tone_bin{};
    for (int c = 0; c < 2; ++c) {
        ChannelFigures& ch = figures_.channels[c];
        ch.dc_i = static_cast<double>(sum_i_[c]) / n;
        ch.dc_q = static_cast<double>(sum_q_[c]) / n;
        ch.rms_dbfs = to_db(static_cast<double>(sum_power_[c]) / n / full_scale_power);

        const std::vector<double>& p = power_[c];
        const std::size_t k =
            static_cast<std::size_t>(std::max_element(p.begin(), p.end()) - p.begin());
        tone_bin[c] = k;
        auto at = [&p](std::size_t center, long offset) {
            return p[(center + kFftSize + static_cast<std::size_t>(offset)) % kFftSize];
        };
        // Parabolic interpolation over the log powers finds the tone between bins.
        const double a = std::log(at(k, -1) + 1e-30), b = std::log(p[k] + 1e-30),
                     g = std::log(at(k, 1) + 1e-30);
        const double denominator = a - 2 * b + g;
        const double delta = denominator < 0 ? 0.5 * (a - g) / denominator : 0.0;
        double bin = static_cast<double>(k) + delta;
        if (bin >= kFftSize / 2.0) bin -= kFftSize;
        ch.tone_offset_hz = bin * bin_hz;
        // The tone's power is all of its main lobe, wherever it falls between bins.
        double lobe = 0;
        for (long j = -2; j <= 2; ++j) lobe += at(k, j);
        const double amplitude_sq =
            lobe / static_cast<double>(segments_) / (kFftSize * window_sum_sq);
        ch.tone_dbfs = to_db(amplitude_sq / full_scale_power);
        double mirror = 0;
        for (long j = -2; j <= 2; ++j) mirror += at(kFftSize - k, j);
        ch.image_dbc = lobe > 0 ? to_db(mirror / lobe) : kFloorDb;
        const double turn = smallest_turn_cos_[c];
        const double cosine = std::copysign(std::sqrt(std::fabs(turn)), turn);
        ch.largest_phase_jump_deg = std::acos(std::clamp(cosine, -1.0, 1.0)) * 180 / M_PI;
        const double turns = static_cast<double>(std::max<std::uint64_t>(figures_.frames, 3) - 2);
        ch.phase_turn_rms_deg = std::sqrt(std::max(0.0, sum_turn_sin_[c] / turns)) * 180 / M_PI;
        std::vector<double> sorted = p;
        std::nth_element(sorted.begin(), sorted.begin() + kFftSize / 2, sorted.end());
        const double floor = sorted[kFftSize / 2];
        ch.tone_above_floor_db = p[k] <= 0   ? 0.0
                                 : floor > 0 ? 10.0 * std::log10(p[k] / floor)
                                             : -kFloorDb;

        ch.spectrum_dbfs.resize(kFftSize);
        const double scale =
            static_cast<double>(segments_) * window_sum * window_sum * full_scale_power;
        for (std::size_t j = 0; j < kFftSize; ++j) {
            ch.spectrum_dbfs[j] = to_db(p[(j + kFftSize / 2) % kFftSize] / scale);
        }
    }

    const std::complex<double> m0(static_cast<double>(sum_i_[0]) / n,
                                  static_cast<double>(sum_q_[0]) / n);
    const std::complex<double> m1(static_cast<double>(sum_i_[1]) / n,
                                  static_cast<double>(sum_q_[1]) / n);
    const std::complex<double> cross(static_cast<double>(sum_cross_re_),
                                     static_cast<double>(sum_cross_im_));
    const std::complex<double> covariance = cross / n - m1 * std::conj(m0);
    const double var0 = static_cast<double>(sum_power_[0]) / n - std::norm(m0);
    const double var1 = static_cast<double>(sum_power_[1]) / n - std::norm(m1);
    figures_.correlation =
        var0 > 0 && var1 > 0 ? std::abs(covariance) / std::sqrt(var0 * var1) : 0.0;

    const std::size_t k =
        power_[0][tone_bin[0]] >= power_[1][tone_bin[1]] ? tone_bin[0] : tone_bin[1];
    const double p0 = power_[0][k], p1 = power_[1][k];
    const std::complex<double> at_tone(cross_re_[k], cross_im_[k]);
    figures_.coherence = p0 > 0 && p1 > 0 ? std::norm(at_tone) / (p0 * p1) : 0.0;
    double phase = std::arg(at_tone) * 180.0 / M_PI;
    if (phase <= -180.0) phase += 360.0;
    figures_.phase_deg = phase;
    return figures_;
}
