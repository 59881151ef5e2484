#include "sums.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "spectrum.h"

namespace {

// |x|^8 for samples of magnitude 32 and more: below, noise rules the phase.
constexpr float kPhasePower = 1.1e12f;

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
