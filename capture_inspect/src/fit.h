// The least-squares sine fit over a whole capture: the tone, its image, DC
// and the harmonics as complex exponentials at the tone's frequency and its
// multiples. Unlike a windowed spectrum it has no leakage, so it parts lines
// that a 4096-point window cannot (a tone near DC or +-rate/2, a harmonic
// beside the tone), down to the resolution the capture's length allows.
//
// One more pass over the capture turns each line's stream down by its coarse
// frequency and sums it in blocks (at most kFitBlocks, so memory does not grow
// with the capture); the frequency and the amplitudes are then solved from
// the block sums, in which each line's contribution is known in closed form.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A line of the fit: where it lies, as a multiple of the tone's frequency.
// Harmonics fall as they do for I/Q data: even orders either side, odd ones
// alternating (the third at -3 f0, the fifth at +5 f0).
struct FitLine {
    const char* name;  // "dc", "tone", "image", "hd2" ... "hd6"
    int multiple;
};

// DC, the tone and its image first, then the harmonics.
const std::vector<FitLine>& fit_lines();
constexpr std::size_t kDcLine = 0, kToneLine = 1, kImageLine = 2;

constexpr std::uint64_t kFitBlocks = 32768;        // block sums a line, at most
constexpr std::uint64_t kFitHeadFrames = 1 << 18;  // kept from a capture read only once

// Where the fit reads the frames again: the capture, where it can be read a
// second time (a regular file), else the frames kept from the one pass.
struct FitSource {
    int fd = -1;                                      // read with pread
    const std::vector<std::int16_t>* kept = nullptr;  // or these, interleaved frames
    std::uint64_t frames = 0;                         // the frames the fit covers
};

// Where a channel's fit starts: the tone's coarse frequency (radians a frame,
// within a bin of the truth) and the channel's mean.
struct FitStart {
    bool wanted = false;
    double coarse = 0;
    std::complex<double> mean;
};

struct FitResult {
    double omega = 0;  // the tone's frequency, radians a frame
    std::uint64_t frames = 0;
    // Per line of fit_lines(): its complex amplitude, sample units; and the
    // line it falls on (its own index when it stands apart): within one turn
    // over the capture of another, no fit can tell the two apart.
    std::vector<std::complex<double>> amplitude;
    std::vector<std::size_t> falls_on;
};

// Fits the channels whose start is wanted, from the frames `source` gives, in
// one pass on `jobs` threads; the result is the same for any number. Throws
// std::runtime_error when the capture cannot be read again.
std::array<std::optional<FitResult>, 2> fit_channels(const FitSource& source,
                                                     const std::array<FitStart, 2>& start,
                                                     unsigned jobs);

// The sum of e^(j phi i) for i = 0 .. n - 1, in closed form.
std::complex<double> phasor_sum(double phi, double n);
