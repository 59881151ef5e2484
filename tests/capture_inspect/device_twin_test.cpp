// The simulated receiver's impairments, end to end: twin_capture under
// ORLIX_SIM_SIGNAL, then capture_inspect on its capture must find each one.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "inspect_messages.h"
#include "process.h"

namespace {

using nlohmann::json;
using test_support::Process;
using test_support::Result;
using test_support::TempDir;

struct Impairment {
    const char* name;
    const char* signal;
    std::vector<std::string> failed;  // the checks capture_inspect must fail
    std::function<void(const json& channel0, const json& channel1, const json& pair)> found;
    std::vector<std::string> options = {};  // capture_inspect's, beside --json
};

double num(const json& j, const char* key) {
    return j[key].get<double>();
}

const Impairment kImpairments[] = {
    {"settings_at_their_defaults",
     "seed=7",
     {},
     [](const json& c0, const json& c1, const json& pair) {
         EXPECT_NEAR(num(c0, "tone_offset_hz"), 20000, 0.001);
         EXPECT_NEAR(num(c1, "tone_dbfs"), -1.12, 0.05);
         EXPECT_NEAR(num(pair, "phase_deg"), -90, 0.5);
         // Every check passes by a wide margin.
         for (const json* c : {&c0, &c1}) {
             EXPECT_GT(num(*c, "snr_db"), 45);
             EXPECT_GT(num(*c, "sfdr_dbc"), 70);
             EXPECT_LT(std::fabs(num(*c, "frequency_error_ppm")), 0.001);
         }
         EXPECT_LT(std::fabs(num(pair, "gain_match_db")), 0.01);
     },
     {"--expected_tone", "20000"}},
    {"noisy_receiver",  // its tone stands far above the per-bin floor all the same; its noise
                        // turns the phase past any limit a loss could be told by
     "amplitude=1000,noise=500",
     {"ch0 continuity", "ch0 snr", "ch1 continuity", "ch1 snr"},
     [](const json& c0, const json&, const json&) {
         EXPECT_NEAR(num(c0, "snr_db"), 7.8, 0.1);
         EXPECT_GT(num(c0, "tone_above_floor_db"), 40);
     }},
    {"reference_off_by_50_ppm",
     "tone=65750",
     {"ch0 frequency", "ch1 frequency"},
     [](const json& c0, const json&, const json&) {
         EXPECT_NEAR(num(c0, "frequency_error_ppm"), 50, 0.001);
     },
     {"--expected_tone", "20000"}},
    {"weaker_channel",
     "ch1.amplitude=900",
     {"gain match"},
     [](const json&, const json&, const json& pair) {
         EXPECT_NEAR(num(pair, "gain_match_db"), 20 * std::log10(0.5), 0.02);
     }},
    {"iq_imbalance",
     "ch0.iq_gain_db=1,ch0.iq_phase_deg=5",
     {"ch0 sfdr"},
     [](const json& c0, const json&, const json&) {
         EXPECT_NEAR(num(c0, "iq_gain_imbalance_db"), 1, 0.02);
         EXPECT_NEAR(num(c0, "iq_phase_imbalance_deg"), 5, 0.1);
         EXPECT_EQ(c0["worst_spur"], "image");
         EXPECT_NEAR(num(c0, "sfdr_dbc"), 22.8, 0.1);
     }},
    {"tone_below_the_centre",
     "tone=-150000",
     {},
     [](const json& c0, const json& c1, const json&) {
         EXPECT_NEAR(num(c0, "tone_offset_hz"), -150000, 20);
         EXPECT_NEAR(num(c1, "tone_offset_hz"), -150000, 20);
     }},
    {"phase_between_the_channels",
     "ch1.phase=45",
     {},
     [](const json&, const json&, const json& pair) {
         EXPECT_NEAR(num(pair, "phase_deg"), 45, 0.5);
     }},
    {"dead_channel",
     "ch1.amplitude=0",
     {"ch1 tone", "ch1 snr", "ch1 sfdr", "gain match", "coherence"},
     [](const json& c0, const json& c1, const json&) {
         EXPECT_GT(num(c0, "tone_above_floor_db"), 60);
         EXPECT_LT(num(c1, "tone_above_floor_db"), 10);
         EXPECT_LT(num(c1, "rms_dbfs"), -40);
     }},
    {"channels_drifting_apart",
     "ch1.drift=1",
     {"coherence"},
     [](const json&, const json&, const json& pair) {
         EXPECT_LT(num(pair, "coherence"), 0.5);
         EXPECT_NEAR(num(pair, "frequency_difference_hz"), 1, 0.001);
     }},
    {"dc_offset",
     "amplitude=1000,dc_i=300,dc_q=-200",
     {"ch0 dc", "ch1 dc"},
     [](const json& c0, const json& c1, const json&) {
         EXPECT_NEAR(num(c0, "dc_i"), 300, 2);
         EXPECT_NEAR(num(c1, "dc_q"), -200, 2);
         EXPECT_NEAR(num(c0, "dc_dbfs"), 20 * std::log10(std::hypot(300, 200) / 2048), 0.1);
         EXPECT_NEAR(num(c0, "tone_dbfs"), 20 * std::log10(1000 / 2048.0), 0.1) << "not the DC";
     }},
    {"dc_without_a_tone",  // a receiver with no tone is no pass, however steady its DC
     "amplitude=0,dc_i=100,dc_q=-50",
     {"ch0 dc", "ch0 tone", "ch0 snr", "ch0 sfdr", "ch1 dc", "ch1 tone", "ch1 snr", "ch1 sfdr",
      "gain match", "coherence"},
     [](const json& c0, const json&, const json& pair) {
         EXPECT_LT(num(c0, "tone_above_floor_db"), 6) << "DC's own bins are no tone";
         EXPECT_TRUE(c0["tone_offset_hz"].is_null());
         EXPECT_TRUE(pair["coherence"].is_null());
     }},
    {"weak_tone_in_noise",  // the noise in the tone's lobe is not counted as tone
     "noise=1000,amplitude=60",
     {"ch0 tone", "ch0 continuity", "ch0 snr", "ch0 sfdr", "ch1 tone", "ch1 continuity", "ch1 snr",
      "ch1 sfdr", "coherence"},
     [](const json& c0, const json& c1, const json&) {
         EXPECT_NEAR(num(c0, "tone_dbfs"), 20 * std::log10(60 / 2048.0), 0.4);
         EXPECT_NEAR(num(c1, "tone_dbfs"), 20 * std::log10(60 / 2048.0), 0.4);
     }},
    {"clipping",
     "ch0.amplitude=2600",
     {"ch0 clipping", "ch0 sfdr"},
     [](const json& c0, const json& c1, const json&) {
         EXPECT_GT(num(c0, "clipped"), 1e6);
         EXPECT_EQ(num(c1, "clipped"), 0);
         EXPECT_EQ(c0["worst_spur"], "hd3") << "clipping's third harmonic at -3 f0";
         EXPECT_NEAR(num(c0, "worst_spur_offset_hz"), -60000, 1);
     }},
    {"iq_gain",
     "amplitude=800,ch0.iq_gain_db=6",
     {"ch0 sfdr", "gain match"},
     [](const json& c0, const json& c1, const json&) {
         EXPECT_NEAR(num(c0, "image_dbc"), -9.6, 1);  // (2-1)/(2+1) of the amplitude
         EXPECT_EQ(c0["image_below_floor"], false);
         EXPECT_EQ(c1["image_below_floor"], true);
     }},
    {"stuck_run",
     "stuck=1000:500",
     {"ch0 stuck", "ch1 stuck"},
     [](const json& c0, const json& c1, const json&) {
         EXPECT_EQ(num(c0, "longest_stuck_run"), 500);
         EXPECT_EQ(num(c1, "longest_stuck_run"), 500);
     }},
    {"dropped_block",
     "drop=5000000:777",
     {"ch0 continuity", "ch1 continuity"},
     [](const json& c0, const json& c1, const json&) {
         EXPECT_GT(num(c0, "largest_phase_jump_deg"), 60);  // 77 samples of a 100-sample period
         EXPECT_GT(num(c1, "largest_phase_jump_deg"), 60);
     }},
    {"dropped_transfer",  // 4096 frames of a 100-frame period: a turn of 14.4 degrees, under the
                          // 30 a fixed limit allows but far clear of what the noise makes
     "drop=5000000:4096",
     {"ch0 continuity", "ch1 continuity"},
     [](const json& c0, const json&, const json&) {
         EXPECT_NEAR(num(c0, "largest_phase_jump_deg"), 14.4, 1.5);
         EXPECT_LT(num(c0, "noise_phase_jump_deg"), 3);
         EXPECT_GT(num(c0, "phase_jump_over_noise_deg"), 0);
     }},
};

std::vector<std::string> options_of(const Impairment& i) {
    std::vector<std::string> args = {"--json"};
    args.insert(args.end(), i.options.begin(), i.options.end());
    return args;
}

// Every capture side by side, then each inspected.
TEST(DeviceTwin, CaptureInspectFindsEachImpairment) {
    struct Run {
        const Impairment* impairment;
        std::unique_ptr<TempDir> dir;
        std::unique_ptr<Process> capture;
    };
    std::vector<Run> runs;
    for (const Impairment& impairment : kImpairments) {
        Run r{&impairment, std::make_unique<TempDir>(), nullptr};
        r.capture = std::make_unique<Process>(test_support::launch_in(
            r.dir->path(), TWIN_CAPTURE_BIN, {}, {{"ORLIX_SIM_SIGNAL", impairment.signal}}));
        runs.push_back(std::move(r));
    }
    for (Run& r : runs) {
        SCOPED_TRACE(r.impairment->name);
        const Result captured = r.capture->wait();
        ASSERT_EQ(captured.exit_code, 0) << captured.err;
        const Result inspected = test_support::run(
            test_support::launch_in(r.dir->path(), CAPTURE_INSPECT_BIN, options_of(*r.impairment)));
        EXPECT_EQ(inspected.exit_code, r.impairment->failed.empty() ? 0 : 1) << inspected.err;
        EXPECT_EQ(test_support::failed_checks(inspected.err), r.impairment->failed);
        const json j = json::parse(inspected.out);
        r.impairment->found(j["channels"][0], j["channels"][1], j["pair"]);
    }
}

TEST(DeviceTwin, MalformedSignalSettingFailsEveryOpen) {
    TempDir dir;
    const Result r = test_support::run(test_support::launch_in(
        dir.path(), TWIN_CAPTURE_BIN, {}, {{"ORLIX_SIM_SIGNAL", "tone=20000,ch1.noise=lots"}}));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("ORLIX_SIM_SIGNAL: malformed setting \"ch1.noise=lots\""),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Failed at orlix_open(&dev, devstr)"), std::string::npos);
}

}  // namespace
