// What a capture is summed into, one pass in order: the levels, stuck runs
// and phase turns, and the Welch spectra the figures are read off. The
// capture is summed in fixed spans (chunks), each on its own, and the spans'
// sums are joined in capture order.
#pragma once

#include <fftw3.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "capture_format.h"

constexpr std::size_t kFftSize = 4096;                // Welch segment length
constexpr std::size_t kHop = kFftSize / 2;            // 50 % overlap
constexpr std::size_t kChunkFrames = 16 * kHop;       // a span summed on its own
constexpr std::size_t kChunkBefore = 2;               // frames a span's phase turns look back
constexpr std::size_t kChunkAfter = kFftSize - kHop;  // frames its last segment reaches on
constexpr std::size_t kHeadFrames = 400;              // frames kept for the time-domain plot
constexpr double kFloorDb = -200.0;                   // what silence reads as, in dB

// Sums exact for any capture size: 64 bits overflow after 34 GB at full scale.
__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

// Runs of identical samples in a span: the run it starts with, the one it
// ends with, and the longest, so that runs across a seam join exactly.
struct StuckRuns {
    std::uint32_t first = 0, last = 0;  // a sample's I and Q as one word
    std::uint64_t lead = 0, trail = 0, longest = 0;
};

struct ChannelSums {
    std::int64_t sum_i = 0, sum_q = 0;
    UInt128 power = 0;  // exact for any capture size
    int peak = 0;
    std::uint64_t clipped = 0;
    StuckRuns stuck;
    float smallest_turn_cos = 1.0f;  // signed squared cosine of the largest turn
    double turn_spread = 0;          // sum over counted turns, see phase_turn_rms_deg
    std::uint64_t turns = 0;
    std::vector<double> spectrum;  // |X|^2 per bin, summed over segments
    // X[k] times the conjugate of the segment before's X[k] (re, im per bin),
    // over the segments of a span after its first: how far each bin's phase
    // turns in a hop, which places a tone far finer than a bin.
    std::vector<double> advance;
    // X[k] X[N-k] (re, im) for k up to N/2: the tone against its image, whose
    // ratio gives the I/Q gain and phase imbalance.
    std::vector<double> mirror;
};

struct PairSums {
    Int128 cross_re = 0, cross_im = 0;  // x1 times the conjugate of x0
    std::vector<double> spectrum_re, spectrum_im;
};

// Everything the figures are made from, for one span or a run of them.
struct CaptureSums {
    std::uint64_t frames = 0;
    std::uint64_t segments = 0;
    std::uint64_t mirrored = 0;  // segments in the mirror sums
    std::array<ChannelSums, 2> channels;
    PairSums pair;
    std::vector<std::array<std::int16_t, 4>> head;

    CaptureSums();
    // Adds the sums of the span that follows this one in the capture.
    void append(const CaptureSums& next);
};

// Sums spans of a capture; keeps its buffers between spans. One to a thread;
// any number on as many threads.
class ChunkAnalyzer {
public:
    ChunkAnalyzer();
    ~ChunkAnalyzer();
    ChunkAnalyzer(const ChunkAnalyzer&) = delete;
    ChunkAnalyzer& operator=(const ChunkAnalyzer&) = delete;

    // Sums frames [first, first + count) of a capture of `total` frames.
    // `frames` points at frame `first`; the up to kChunkBefore frames before
    // it and kChunkAfter after it (as far as the capture has them) lie in the
    // same buffer. `first` is a multiple of kHop.
    void sum(const std::int16_t* frames, std::uint64_t first, std::size_t count,
             std::uint64_t total, CaptureSums& out);

private:
    void channel_sums(const std::int16_t* frames, std::size_t count, std::size_t at, int c,
                      ChannelSums& out);
    void phase_turns(std::size_t from, std::size_t to, int c, ChannelSums& out);
    // Transforms the segment at `at` and adds it to the sums: to the advance
    // when it `follows` one a hop before, to the mirror when `mirrored`.
    void segment(std::size_t at, bool follows, bool mirrored, CaptureSums& out);

    // I0, Q0, I1, Q1 of the span and around it; every value read was written
    // first, so they start unset (and untouched pages cost nothing).
    std::array<std::unique_ptr<float[]>, 4> plane_;
    std::vector<float> window_;
    fftwf_complex* in_ = nullptr;
    fftwf_complex* out_ = nullptr;
    fftwf_complex* before_ = nullptr;  // the segment before's transform
    // A span's advance and mirror sums, in float over its few segments and
    // as products of like parts (re re, im im | re im, im re), so that the
    // loops run in vectors without a sum across a vector; joined into
    // complex sums in double at the span's end.
    std::array<std::vector<float>, 2> advance_like_, advance_cross_, mirror_like_, mirror_cross_;
    // The span's power and cross spectra, in float the same way.
    std::array<std::vector<float>, 4> spectra_;  // |X0|^2, |X1|^2, re and im of X1 conj(X0)
    fftwf_plan plan_ = nullptr;
};
