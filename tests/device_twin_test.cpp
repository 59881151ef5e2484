// The simulated receiver's impairments, end to end: twin_capture under
// ORLIX_SIM_SIGNAL, then capture_inspect on its capture must find each one.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "inspect_support.h"
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
};

double num(const json& j, const char* key) {
    return j[key].get<double>();
}

const Impairment kImpairments[] = {
    {"settings_at_their_defaults",
     "seed=7",
     {},
     [](const json& c0, const json& c1, const json& pair) {
         EXPECT_NEAR(num(c0, "tone_offset_hz"), 20000, 20);
         EXPECT_NEAR(num(c1, "tone_dbfs"), -1.12, 0.05);
         EXPECT_NEAR(num(pair, "phase_deg"), -90, 0.5);
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
     {"ch1 tone", "coherence"},
     [](const json& c0, const json& c1, const json&) {
         EXPECT_GT(num(c0, "tone_above_floor_db"), 60);
         EXPECT_LT(num(c1, "tone_above_floor_db"), 10);
         EXPECT_LT(num(c1, "rms_dbfs"), -40);
     }},
    {"channels_drifting_apart",
     "ch1.drift=1",
     {"coherence"},
     [](const json& c0, const json& c1, const json& pair) {
         EXPECT_LT(num(pair, "coherence"), 0.5);
         EXPECT_GT(num(c1, "tone_offset_hz"), num(c0, "tone_offset_hz"));
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
     {"ch0 dc", "ch0 tone", "ch1 dc", "ch1 tone", "coherence"},
     [](const json& c0, const json&, const json&) {
         EXPECT_LT(num(c0, "tone_above_floor_db"), 20);
         EXPECT_GT(std::fabs(num(c0, "tone_offset_hz")), 1000) << "the tone search skips DC";
     }},
    {"weak_tone_in_noise",  // the noise in the tone's lobe is not counted as tone
     "noise=1000,amplitude=60",
     {"ch0 tone", "ch1 tone", "coherence"},
     [](const json& c0, const json& c1, const json&) {
         EXPECT_NEAR(num(c0, "tone_dbfs"), 20 * std::log10(60 / 2048.0), 0.4);
         EXPECT_NEAR(num(c1, "tone_dbfs"), 20 * std::log10(60 / 2048.0), 0.4);
     }},
    {"clipping",
     "ch0.amplitude=2600",
     {"ch0 clipping"},
     [](const json& c0, const json& c1, const json&) {
         EXPECT_GT(num(c0, "clipped"), 1e6);
         EXPECT_EQ(num(c1, "clipped"), 0);
     }},
    {"iq_gain",
     "amplitude=800,ch0.iq_gain_db=6",
     {},
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
};

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
            test_support::launch_in(r.dir->path(), CAPTURE_INSPECT_BIN, {"--json"}));
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
