// One streaming pass over a dual capture: the figures an engineer checks to
// tell whether both receivers captured signal, cleanly and in step.
#pragma once

#include <fftw3.h>

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr std::size_t kFftSize = 4096;    // Welch segment length, 50 % overlap
constexpr double kFullScale = 2048.0;     // 12-bit samples: a tone of 2048 is 0 dBFS
constexpr int kClipLevel = 2047;          // |I| or |Q| at or above it is clipped
constexpr std::size_t kHeadFrames = 400;  // frames kept for the time-domain plot
constexpr double kFloorDb = -200.0;       // what silence reads as, in dB

struct ChannelFigures {
    double dc_i = 0, dc_q = 0;  // mean I and Q, sample units
    double rms_dbfs = kFloorDb;
    int peak = 0;               // largest |I| or |Q|
    std::uint64_t clipped = 0;  // samples with |I| or |Q| >= kClipLevel
    std::uint64_t longest_stuck_run = 0;
    double tone_offset_hz = 0, tone_dbfs = kFloorDb, tone_above_floor_db = 0;
    double image_dbc = kFloorDb;  // the tone's mirror at -offset against the tone: I/Q imbalance
    double largest_phase_jump_deg = 0;  // a lost or repeated block turns the phase at once
    double phase_turn_rms_deg = 0;      // how far noise turns it from sample to sample
    std::vector<double> spectrum_dbfs;  // per bin, from -rate/2 upwards
};

struct CaptureFigures {
    std::uint64_t frames = 0;
    std::array<ChannelFigures, 2> channels;
    double correlation = 0;  // magnitude of the complex correlation coefficient
    double coherence = 0;    // magnitude-squared coherence at the stronger tone
    double phase_deg = 0;    // channel 1 against channel 0 at that tone, (-180, 180]
    std::vector<std::array<std::int16_t, 4>> head;  // the first frames as they are
};

class CaptureAnalysis {
public:
    explicit CaptureAnalysis(double sample_rate);
    ~CaptureAnalysis();
    CaptureAnalysis(const CaptureAnalysis&) = delete;
    CaptureAnalysis& operator=(const CaptureAnalysis&) = delete;

    // Frames of I0, Q0, I1, Q1, in capture order.
    void add(const std::int16_t* frames, std::size_t count);
    CaptureFigures finish();

private:
    void transform_segment(const std::vector<float>& window);

    double rate_;
    CaptureFigures figures_;
    // Time-domain sums, exact in integers where they can be.
    std::array<std::int64_t, 2> sum_i_{}, sum_q_{}, sum_power_{};
    std::int64_t sum_cross_re_ = 0, sum_cross_im_ = 0;  // x1 times the conjugate of x0
    std::array<std::uint32_t, 2> last_{};               // the last sample's I and Q, as one word
    std::array<std::uint64_t, 2> run_{};
    std::array<float, 2> smallest_turn_cos_{1.0f, 1.0f};  // signed, squared
    std::array<double, 2> sum_turn_sin_{};                // 1 - the above, summed over samples
    // Welch: the segment being filled, the spectra summed over segments.
    std::vector<float> window_;
    std::array<std::vector<float>, 4> plane_;  // I0, Q0, I1, Q1 of the segment
    std::size_t filled_ = 0;
    std::size_t segments_ = 0;
    std::array<std::vector<double>, 2> power_;
    std::vector<double> cross_re_, cross_im_;
    fftwf_complex* in_ = nullptr;
    fftwf_complex* out_ = nullptr;
    fftwf_plan plan_ = nullptr;
};
