#include "spectrum.h"

#include <algorithm>
#include <cmath>

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

WindowSums::WindowSums() {
    const std::vector<float> w = hann();
    for (std::size_t k = 0; k < kFftSize; ++k) {
        sum += w[2 * k];
        sum_sq += static_cast<double>(w[2 * k]) * w[2 * k];
    }
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

namespace {

// The most an average of `segments` Hann segments of noise reaches in any of
// the spectrum's bins but once in a thousand captures, over its mean: the
// Wilson-Hilferty form of its Gamma distribution, with the overlapping
// segments counted at nine tenths.
double noise_peak_ratio(std::uint64_t segments) {
    const double k = 0.9 * static_cast<double>(std::max<std::uint64_t>(segments, 1));
    const double z = 5.03;  // a normal tail of 1e-3 spread over 4096 bins
    return std::pow(1 - 1 / (9 * k) + z * std::sqrt(1 / (9 * k)), 3);
}

std::size_t bins_apart(std::size_t a, std::size_t b) {
    const std::size_t d = a > b ? a - b : b - a;
    return std::min(d, kFftSize - d);
}

}  // namespace

Peak strongest_line(const std::vector<double>& p, std::uint64_t segments, std::complex<double> mean,
                    const WindowSums& window) {
    std::vector<double> sorted = p;
    std::nth_element(sorted.begin(), sorted.begin() + kFftSize / 2, sorted.end());
    const double median = sorted[kFftSize / 2];
    const double noise = noise_mean(median, segments);
    // A constant falls in bin 0 and, at half its height, in bins +-1. What it
    // leaves there is no line: its product with the noise, which averages out
    // only slowly (sqrt(2 own noise / K) its spread over K segments, taken out
    // at seven times that), and the float transform's rounding, a millionth.
    std::vector<double> q = p;
    const double dc = static_cast<double>(segments) * std::norm(mean) * window.sum * window.sum;
    for (const auto& [bin, share] :
         {std::pair{std::size_t{0}, 1.0}, std::pair{std::size_t{1}, 0.25},
          std::pair{kFftSize - 1, 0.25}}) {
        const double own = dc * share;
        const double spread = std::sqrt(2 * own * noise / static_cast<double>(segments));
        q[bin] = std::max(0.0, q[bin] - own - 7 * spread - 1e-5 * own);
    }
    Peak peak;
    for (std::size_t j = 1; j < kFftSize; ++j) {
        if (q[j] > q[peak.bin]) peak.bin = j;
    }
    peak.noise_bin = noise;
    const double top = q[peak.bin];
    peak.height_db = top <= 0 ? 0.0 : median > 0 ? 10.0 * std::log10(top / median) : 200.0;
    // Clear of the noise by what noise alone reaches, and by 6 dB at least:
    // a spectrum's ripple is no tone either.
    peak.clear = top > 0 && top > peak.noise_bin * std::max(4.0, noise_peak_ratio(segments));
    // Nor is a pattern of bins far below everything else, the float
    // transform's rounding.
    double total = 0;
    for (double v : p) total += v;
    peak.clear = peak.clear && top > 1e-10 * total;
    // Parabolic interpolation over the log powers finds the line between bins.
    const double a = std::log(q[bin_at(peak.bin, -1)] + 1e-30), b = std::log(top + 1e-30),
                 g = std::log(q[bin_at(peak.bin, 1)] + 1e-30);
    const double denominator = a - 2 * b + g;
    const double delta = denominator < 0 ? 0.5 * (a - g) / denominator : 0.0;
    peak.at = static_cast<double>(peak.bin) + delta;
    if (peak.at >= kFftSize / 2.0) peak.at -= kFftSize;
    return peak;
}

bool window_parts(const std::vector<double>& at, const std::vector<double>& power, double noise_bin,
                  std::uint64_t segments) {
    for (std::size_t s = 0; s < at.size(); ++s) {
        const long e = reach(std::max(power[s], 0.0), noise_bin, segments) + kLobe;
        const std::size_t from = line_at(at[s]).bin;
        for (std::size_t v = 1; v < at.size(); ++v) {
            if (v == s) continue;
            if (bins_apart(from, line_at(at[v]).bin) <= static_cast<std::size_t>(e)) return false;
        }
    }
    return true;
}
