// The figures an engineer checks to tell whether both receivers captured
// signal, cleanly and in step, made from a capture's sums.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture_format.h"
#include "fit.h"
#include "sums.h"

// A figure that does not exist for a capture (a tone in a capture shorter
// than one segment, the phase of a dead channel) is empty.
using Figure = std::optional<double>;

struct ChannelFigures {
    double dc_i = 0, dc_q = 0;  // mean I and Q, sample units
    double dc_dbfs = kFloorDb;  // the DC offset's magnitude against full scale
    double rms_dbfs = kFloorDb;
    int peak = 0;                // largest |I| or |Q|
    std::uint64_t clipped = 0;   // samples with |I| or |Q| at the clip level
    double clipped_percent = 0;  // of the samples
    std::uint64_t longest_stuck_run = 0;
    // The height of the largest bin away from DC over the median bin; where it
    // stands clear of what noise alone makes, the tone: its offset and level.
    // Without a tone every figure of the tone and its lines is empty.
    Figure tone_above_floor_db;
    Figure tone_offset_hz, tone_dbfs;
    // How the tone's lines were measured: "spectrum" where the window parts
    // them, "fit" (the sine fit over `fit_frames`) where it cannot.
    const char* method = nullptr;
    std::uint64_t fit_frames = 0;
    // Lines no method can part ("hd3 falls on the tone"): the figures they
    // would mix are empty.
    std::string unresolved;
    // The tone's mirror at -offset against the tone, noise taken out: I/Q
    // imbalance. Below the floor it is the most it can be, and says so.
    Figure image_dbc;
    bool image_below_floor = false;
    // How far the phase step turns from one sample's step to the next (the
    // second difference of the phase): a lost or repeated block turns it at
    // once; noise turns it a little everywhere.
    Figure largest_phase_jump_deg, phase_turn_rms_deg;
    std::uint64_t phase_turns = 0;  // turns of samples strong enough to have a phase
    // The largest jump that noise alone would likely make somewhere in the
    // capture, and the largest jump less twice that: above zero only where a
    // jump stands clear of the noise.
    Figure noise_phase_jump_deg, phase_jump_over_noise_deg;
    // The receiver's figures of merit (IEEE 1241, in their I/Q forms), from
    // the tone, its image, its harmonics 2 to 6, DC and the noise between them.
    Figure snr_db, sinad_db, thd_dbc, sfdr_dbc, sfdr_dbfs, enob_bits, nsd_dbfs_hz;
    bool sfdr_below_floor = false;  // the largest other component is only noise
    Figure worst_spur_offset_hz;
    const char* worst_spur = nullptr;  // "image", "hd2" ... "hd6", "other"; none below the floor
    Figure frequency_error_ppm;        // against the expected tone, when one is given
    Figure iq_gain_imbalance_db, iq_phase_imbalance_deg;  // Q against I
    Figure lo_leakage_dbc;              // DC (the mean, or the fit's) against the tone
    std::vector<double> spectrum_dbfs;  // per bin, from -rate/2 upwards; empty without a segment
};

struct CaptureFigures {
    std::uint64_t frames = 0;
    std::uint64_t segments = 0;  // Welch segments averaged
    double bin_hz = 0;
    double resolution_bandwidth_hz = 0;  // the Hann window's noise bandwidth
    std::array<ChannelFigures, 2> channels;
    Figure correlation;              // magnitude of the complex correlation coefficient
    Figure coherence;                // magnitude-squared coherence at the stronger tone, in [0, 1]
    Figure phase_deg;                // channel 1 against channel 0 at that tone, (-180, 180]
    Figure gain_match_db;            // channel 1's tone against channel 0's
    Figure frequency_difference_hz;  // channel 1's tone less channel 0's
    std::vector<std::array<std::int16_t, 4>> head;  // the first frames as they are
};

// What the figures are read against.
struct Reference {
    double sample_rate = kCaptureSampleRate;
    double centre_frequency = kCaptureFrequency;
    std::optional<double> expected_tone_hz;  // for the frequency error
};

// The figures of a whole capture from its sums, and where the window cannot
// part the lines, from a fit over the frames `source` gives, on `jobs` threads.
CaptureFigures figures_from(const CaptureSums& sums, const Reference& reference,
                            const FitSource& source, unsigned jobs);
