// Reading lines and noise off a Welch spectrum of Hann-windowed segments:
// the window's response in closed form, a line's power wherever it falls
// between bins, how far its leakage reaches, and the noise's mean bin.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sums.h"

// Bins either side of a peak that its Hann main lobe covers.
constexpr long kLobe = 2;

// A Hann window over a segment, each value twice: once for I, once for Q.
std::vector<float> hann();

// The Hann window's sums over a segment, which scale its spectra.
struct WindowSums {
    double sum = 0, sum_sq = 0;
    WindowSums();
};

// The noise's mean per bin from the median bin of `segments` averaged ones.
double noise_mean(double median, std::uint64_t segments);

// The bin `offset` bins from `center`, around the spectrum.
std::size_t bin_at(std::size_t center, long offset);

// The bins of a lobe around `center`, summed.
double lobe_sum(const std::vector<double>& p, std::size_t center);

// A Hann window's response to a tone `d` bins from a bin.
std::complex<double> hann_response(double d);

// The part of a component's power that the 2 kLobe + 1 bins around the bin
// nearest to it take, in |X|^2 per unit of power: the component lies
// `offset` bins from that bin.
double lobe_gain(double offset);

// A spectral line at a fractional bin (0 .. N): its nearest bin and its
// offset from it.
struct Line {
    std::size_t bin;
    double offset;
};
Line line_at(double at);

// A line's power, in sample units squared, with the noise in its lobe taken
// out (what is left may be below zero: then the line is no more than noise).
double line_power(const std::vector<double>& p, const Line& l, double noise_bin,
                  std::uint64_t segments);

// How many bins either side of a line of `power` its leakage reaches above a
// hundredth of the noise in a bin.
long reach(double power, double noise_bin, std::uint64_t segments);

// The tone placed finer than a bin from how far its lobe's phase turns in a
// hop between segments; `coarse` is its fractional bin from the spectrum.
double fine_bin(const std::vector<double>& advance, std::size_t k, double coarse);

// The strongest line away from DC, DC's own response (from the mean) taken
// out of the bins it falls in: where it lies, and how high its bin stands
// over the median bin.
struct Peak {
    std::size_t bin = 0;
    double at = 0;         // fractional bin, -N/2 .. N/2
    double height_db = 0;  // over the median bin
    bool clear = false;    // above what noise alone makes in any bin
    double noise_bin = 0;  // the noise's mean bin, from the median
};
Peak strongest_line(const std::vector<double>& p, std::uint64_t segments, std::complex<double> mean,
                    const WindowSums& window);

// False where a line's leakage reaches into another's lobe above a hundredth
// of a bin's noise: then the window cannot part them. Lines at fractional
// bins `at` with powers `power`; the first is DC, known from the mean, whose
// own lobe is not read.
bool window_parts(const std::vector<double>& at, const std::vector<double>& power, double noise_bin,
                  std::uint64_t segments);
