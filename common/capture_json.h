// The keys of capture_inspect's JSON that other programs read: a station's
// report page and its sequences' measures (as JSON pointers such as
// /channels/0/snr_db). Named once, here; capture_inspect writes them by
// these names.
#pragma once

namespace capture_json {

constexpr const char* channels = "channels";  // an array of two
constexpr const char* pair = "pair";

// Per channel.
constexpr const char* tone_offset_hz = "tone_offset_hz";
constexpr const char* frequency_error_ppm = "frequency_error_ppm";
constexpr const char* tone_dbfs = "tone_dbfs";
constexpr const char* tone_above_floor_db = "tone_above_floor_db";
constexpr const char* snr_db = "snr_db";
constexpr const char* sinad_db = "sinad_db";
constexpr const char* enob_bits = "enob_bits";
constexpr const char* sfdr_dbc = "sfdr_dbc";
constexpr const char* thd_dbc = "thd_dbc";
constexpr const char* nsd_dbfs_hz = "nsd_dbfs_hz";
constexpr const char* rms_dbfs = "rms_dbfs";
constexpr const char* dc_dbfs = "dc_dbfs";
constexpr const char* lo_leakage_dbc = "lo_leakage_dbc";
constexpr const char* image_dbc = "image_dbc";
constexpr const char* iq_gain_imbalance_db = "iq_gain_imbalance_db";
constexpr const char* iq_phase_imbalance_deg = "iq_phase_imbalance_deg";
constexpr const char* largest_phase_jump_deg = "largest_phase_jump_deg";
constexpr const char* phase_jump_over_noise_deg = "phase_jump_over_noise_deg";
constexpr const char* clipped = "clipped";

// Of the pair.
constexpr const char* correlation = "correlation";
constexpr const char* coherence = "coherence";
constexpr const char* phase_deg = "phase_deg";
constexpr const char* gain_match_db = "gain_match_db";
constexpr const char* frequency_difference_hz = "frequency_difference_hz";

constexpr const char* channel_keys[] = {tone_offset_hz,
                                        frequency_error_ppm,
                                        tone_dbfs,
                                        tone_above_floor_db,
                                        snr_db,
                                        sinad_db,
                                        enob_bits,
                                        sfdr_dbc,
                                        thd_dbc,
                                        nsd_dbfs_hz,
                                        rms_dbfs,
                                        dc_dbfs,
                                        lo_leakage_dbc,
                                        image_dbc,
                                        iq_gain_imbalance_db,
                                        iq_phase_imbalance_deg,
                                        largest_phase_jump_deg,
                                        phase_jump_over_noise_deg,
                                        clipped};
constexpr const char* pair_keys[] = {correlation, coherence, phase_deg, gain_match_db,
                                     frequency_difference_hz};

}  // namespace capture_json
