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
