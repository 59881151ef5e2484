#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "figures.h"
#include "inspect_messages.h"
#include "process.h"
#include "program_fixture.h"
#include "receive_signal.h"
#include "wait.h"

namespace {

using nlohmann::json;
using test_support::lines_of;
using test_support::read_file;
using test_support::Result;
using test_support::SmallDisk;
using test_support::write_file;

using Frame = std::array<std::int16_t, 4>;

std::int16_t clamp12(double v) {
    return static_cast<std::int16_t>(std::clamp(std::lround(v), -2048L, 2047L));
}

// A complex tone per channel: amplitude, offset in Hz at 2 MS/s, phase in degrees.
struct Tone {
    double amplitude = 1800, hz = 20000, phase_deg = 0;
};

Frame tone_frame(std::size_t k, const Tone& t0, const Tone& t1) {
    Frame f;
    const Tone* tones[2] = {&t0, &t1};
    for (int c = 0; c < 2; ++c) {
        const double phase = 2 * M_PI * tones[c]->hz * static_cast<double>(k) / 2e6 +
                             tones[c]->phase_deg * M_PI / 180;
        // A little deterministic noise, as a receiver has.
        const double noise = static_cast<double>((k * 7919 + c * 104729) % 17) - 8;
        f[2 * c] = clamp12(tones[c]->amplitude * std::cos(phase) + noise);
        f[2 * c + 1] = clamp12(tones[c]->amplitude * std::sin(phase) - noise);
    }
    return f;
}

std::string capture_of(std::size_t frames, const std::function<Frame(std::size_t)>& frame) {
    std::string bytes(frames * sizeof(Frame), '\0');
    for (std::size_t k = 0; k < frames; ++k) {
        const Frame f = frame(k);
        std::memcpy(&bytes[k * sizeof(Frame)], f.data(), sizeof(Frame));
    }
    return bytes;
}

std::string sha512_hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha512(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

class CaptureInspect : public test_support::ProgramTest {
protected:
    Result inspect(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        return run(CAPTURE_INSPECT_BIN, std::move(args), std::move(env));
    }
    // Inspects `bytes` as dual_test.bin with --json and gives the object.
    json inspect_json(const std::string& bytes, Result& r, std::vector<std::string> args = {}) {
        write_file(dir / "dual_test.bin", bytes);
        args.push_back("--json");
        r = inspect(args);
        return r.out.empty() ? json() : json::parse(r.out);
    }
};

TEST_F(CaptureInspect, FindsTheSimulatedDevicesSignalGood) {
    std::vector<std::int16_t> samples(40'000'000);
    orlix_sim::fill_signal({}, {2e6, 2e6}, samples.data(), 0, samples.size() / 2);
    const std::string bytes(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
    Result r;
    const json j = inspect_json(bytes, r);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* key :
         {"file", "frames", "sample_rate", "duration_s", "channels", "pair", "checks", "passed"}) {
        EXPECT_TRUE(j.contains(key)) << key;
    }
    EXPECT_EQ(j["file"], "dual_test.bin");
    EXPECT_EQ(j["frames"], 10'000'000);
    EXPECT_DOUBLE_EQ(j["duration_s"].get<double>(), 5.0);
    ASSERT_EQ(j["channels"].size(), 2u);
    for (int c = 0; c < 2; ++c) {
        const json& ch = j["channels"][c];
        EXPECT_EQ(ch["index"], c);
        EXPECT_NEAR(ch["tone_offset_hz"].get<double>(), 20000, 20);
        EXPECT_NEAR(ch["tone_dbfs"].get<double>(), -1.12, 0.05);
        EXPECT_NEAR(ch["rms_dbfs"].get<double>(), -1.12, 0.05);
        EXPECT_GT(ch["tone_above_floor_db"].get<double>(), 60);
        EXPECT_NEAR(ch["dc_i"].get<double>(), 0, 0.5);
        EXPECT_EQ(ch["clipped"], 0);
        EXPECT_EQ(ch["longest_stuck_run"], 1);
        EXPECT_LE(ch["peak"].get<int>(), 1808);
        EXPECT_LT(ch["image_dbc"].get<double>(), -60);
        EXPECT_EQ(ch["image_below_floor"], true) << "no imbalance: the image is under the noise";
        EXPECT_LT(ch["dc_dbfs"].get<double>(), -60);
        EXPECT_LT(ch["largest_phase_jump_deg"].get<double>(), 5);
        // Noise of +-8 on a tone of 1800: sqrt(3 / SNR) radians from sample to sample.
        EXPECT_NEAR(ch["phase_turn_rms_deg"].get<double>(),
                    std::sqrt(3 * 2 * (17.0 * 17 - 1) / 12 / (1800.0 * 1800)) * 180 / M_PI, 0.03);
    }
    EXPECT_NEAR(j["pair"]["phase_deg"].get<double>(), -90, 0.5);
    EXPECT_GT(j["pair"]["coherence"].get<double>(), 0.999);
    EXPECT_GT(j["pair"]["correlation"].get<double>(), 0.999);
    EXPECT_EQ(j["checks"].size(), 16u);
    EXPECT_EQ(j["passed"], true);

    r = inspect({});  // the readable report
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Result: passed"), std::string::npos) << r.out;
}

TEST_F(CaptureInspect, EachFaultFailsItsOwnCheck) {
    struct Case {
        const char* name;
        std::function<Frame(std::size_t)> frame;
        std::vector<std::string> failed;
    };
    const Tone clean;
    const Case cases[] = {
        {"clean",
         [&](std::size_t k) {
             return tone_frame(k, clean, {1800, 20000, -90});
         },
         {}},
        {"clipping",
         [&](std::size_t k) {
             return tone_frame(k, {3000, 20000, 0}, {1800, 20000, 10});
         },
         {"ch0 clipping", "ch0 sfdr"}},
        {"silent_channel",
         [&](std::size_t k) {
             Frame f = tone_frame(k, clean, clean);
             f[2] = f[3] = 0;
             return f;
         },
         {"ch1 stuck", "ch1 tone", "ch1 snr", "ch1 sfdr", "gain match", "coherence"}},
        {"stuck_run",  // a repeated sample stops the phase for a while: a turn clear of the noise
         [&](std::size_t k) { return tone_frame(k >= 1000 && k < 1100 ? 1000 : k, clean, clean); },
         {"ch0 stuck", "ch0 continuity", "ch1 stuck", "ch1 continuity"}},
        {"dropped_block",  // 77 frames lost on both channels: the tones jump
         [&](std::size_t k) { return tone_frame(k < 30000 ? k : k + 77, clean, clean); },
         {"ch0 continuity", "ch1 continuity"}},
        {"noisy_but_whole",  // noise turns the phase past the limit: no loss could be told from
                             // it, so continuity fails with the SNR
         [&](std::size_t k) {
             Frame f = tone_frame(k, {600, 20000, 0}, {600, 20000, -90});
             for (std::size_t s = 0; s < 4; ++s) {
                 std::uint64_t x = (4 * k + s + 1) * 0x9E3779B97F4A7C15ull;
                 x = (x ^ (x >> 31)) * 0xBF58476D1CE4E5B9ull;
                 f[s] = clamp12(f[s] + static_cast<double>((x >> 40) % 801) - 400);
             }
             return f;
         },
         {"ch0 continuity", "ch0 snr", "ch1 continuity", "ch1 snr"}},
        {"out_of_step",  // channel 1 drifts 10 kHz away
         [&](std::size_t k) {
             return tone_frame(k, clean, {1800, 30000, 0});
         },
         {"coherence"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Result r;
        const json j = inspect_json(capture_of(65536, c.frame), r);
        EXPECT_EQ(r.exit_code, c.failed.empty() ? 0 : 1) << r.err;
        EXPECT_EQ(test_support::failed_checks(r.err), c.failed);
        std::vector<std::string> in_json;
        for (const json& check : j["checks"]) {
            if (!check["passed"].get<bool>()) in_json.push_back(check["name"]);
        }
        EXPECT_EQ(in_json, c.failed);
        EXPECT_EQ(j["passed"], c.failed.empty());
    }
}

TEST_F(CaptureInspect, ToneOffsetSignPhaseAndThresholdOptions) {
    Result r;
    json j = inspect_json(capture_of(65536,
                                     [](std::size_t k) {
                                         return tone_frame(k, {900, -50000, 0}, {900, -50000, 45});
                                     }),
                          r, {"-r", "2000000"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NEAR(j["channels"][0]["tone_offset_hz"].get<double>(), -50000, 50);
    EXPECT_NEAR(j["channels"][0]["tone_dbfs"].get<double>(), 20 * std::log10(900.0 / 2048), 0.1);
    EXPECT_NEAR(j["pair"]["phase_deg"].get<double>(), 45, 1);
    // At 45 degrees both parts of the cross sum count: a sign slip shows.
    EXPECT_GT(j["pair"]["correlation"].get<double>(), 0.999);

    // The same capture read at twice the rate: the offset doubles.
    j = inspect_json(read_file(dir / "dual_test.bin"), r, {"--rate=4000000"});
    EXPECT_NEAR(j["channels"][1]["tone_offset_hz"].get<double>(), -100000, 100);

    // Thresholds are options: a tighter one fails a check the default passes.
    j = inspect_json(read_file(dir / "dual_test.bin"), r, {"--min_tone_db", "200"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(test_support::failed_checks(r.err), (lines_of({"ch0 tone", "ch1 tone"})));
}

TEST_F(CaptureInspect, BadInputIsRefusedWithStatusTwoAndWritesNothing) {
    const std::string frame(8, '\x01');
    struct Case {
        const char* name;
        const char* content;  // null: no file at all
        std::size_t size;
        std::string message;
    };
    const Case cases[] = {
        {"missing", nullptr, 0, "dual_test.bin: No such file or directory"},
        {"empty", "", 0, "dual_test.bin: the capture is empty"},
        {"truncated", "x", 8 * 1000 + 3,
         "dual_test.bin: 8003 bytes is not a whole number of 8-byte frames"},
        {"wrong_size", "x", 12, "dual_test.bin: 12 bytes is not a whole number of 8-byte frames"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir / "dual_test.bin");
        if (c.content) write_file(dir / "dual_test.bin", std::string(c.size, '\x02'));
        const Result r = inspect({"--sigmf", "--plot", "out.png", "--json"});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string(CAPTURE_INSPECT_BIN) + ": " + c.message + "\n");
        EXPECT_FALSE(std::filesystem::exists(dir / "dual_test.sigmf-meta"));
        EXPECT_FALSE(std::filesystem::exists(dir / "out.png"));
    }
    for (const std::vector<std::string>& args :
         {lines_of({"-r", "fast"}), lines_of({"-r", "0"}), lines_of({"--min_coherence=-1"}),
          lines_of({"-k", "1.5"}), lines_of({"-c", "101"}), lines_of({"-p", "181"}),
          lines_of({"a.bin", "b.bin"}), lines_of({"--bogus"}), lines_of({"--plot"}),
          lines_of({"--min_snr", "0x1e"}), lines_of({"-j", "0x2"}), lines_of({"--max_ppm", "inf"}),
          lines_of({"--expected_tone", "1e308"})}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const Result r = inspect(args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
}

TEST_F(CaptureInspect, SigmfAndPlotDescribeTheCaptureAndLeaveItAlone) {
    const std::string bytes = capture_of(20000, [](std::size_t k) {
        return tone_frame(k, Tone{}, {1800, 20000, -90});
    });
    write_file(dir / "run1.bin", bytes);
    write_file(dir / "picture.png", "an older picture");
    std::filesystem::permissions(dir / "picture.png", std::filesystem::perms(0640));
    const Result r = inspect({"run1.bin", "--sigmf", "--plot", "picture.png", "-f", "433920000"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "") << "gnuplot's own words only when it fails";
    EXPECT_EQ(read_file(dir / "run1.bin"), bytes);
    // New files get the mode a new file gets; a replaced one keeps its own.
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(std::filesystem::status(dir / "run1.sigmf-meta").permissions(),
              std::filesystem::perms(0666 & ~mask));
    EXPECT_EQ(std::filesystem::status(dir / "picture.png").permissions(),
              std::filesystem::perms(0640));

    const json meta = json::parse(read_file(dir / "run1.sigmf-meta"));
    const json& g = meta["global"];
    EXPECT_EQ(g["core:datatype"], "ci16_le");
    EXPECT_EQ(g["core:sample_rate"], 2000000.0);
    EXPECT_EQ(g["core:num_channels"], 2);
    EXPECT_EQ(g["core:version"].get<std::string>().rfind("1.", 0), 0u);
    EXPECT_EQ(g["core:dataset"], "run1.bin");
    EXPECT_EQ(g["core:sha512"], sha512_hex(bytes));
    EXPECT_EQ(g["core:recorder"], "twin_capture");
    EXPECT_EQ(g["orlix:sample_bits"], 12);
    EXPECT_EQ(g["core:extensions"][0]["name"], "orlix");
    ASSERT_EQ(meta["captures"].size(), 1u);
    EXPECT_EQ(meta["captures"][0]["core:sample_start"], 0);
    EXPECT_EQ(meta["captures"][0]["core:frequency"], 433920000.0);
    EXPECT_EQ(meta["annotations"], json::array());

    const std::string png = read_file(dir / "picture.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    auto be32 = [&png](std::size_t at) {
        return (static_cast<unsigned char>(png[at]) << 24) |
               (static_cast<unsigned char>(png[at + 1]) << 16) |
               (static_cast<unsigned char>(png[at + 2]) << 8) |
               static_cast<unsigned char>(png[at + 3]);
    };
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    EXPECT_EQ(be32(16), 1200u);
    EXPECT_EQ(be32(20), 800u);
    EXPECT_EQ(png.substr(png.size() - 12, 8), std::string("\0\0\0\0IEND", 8)) << "whole to its end";
    EXPECT_EQ(test_support::files_starting(dir.path(), "picture.png."), lines_of({}));
}

TEST_F(CaptureInspect, PlotWithoutGnuplotFailsBeforeWritingAnything) {
    write_file(dir / "dual_test.bin",
               capture_of(5000, [](std::size_t k) { return tone_frame(k, Tone{}, Tone{}); }));
    std::filesystem::create_directory(dir / "empty_path");
    const Result r =
        inspect({"--sigmf", "--plot", "out.png"}, {{"PATH", (dir / "empty_path").string()}});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("gnuplot"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "dual_test.sigmf-meta"));
    EXPECT_FALSE(std::filesystem::exists(dir / "out.png"));
}

TEST_F(CaptureInspect, FiguresThatDoNotExistAreNullAndNothingMisleads) {
    Result r;
    // A channel of exact silence beside a live one: no phase, no correlation.
    const std::string silent_ch1 = capture_of(65536, [](std::size_t k) {
        Frame f = tone_frame(k, Tone{}, Tone{});
        f[2] = f[3] = 0;
        return f;
    });
    json j = inspect_json(silent_ch1, r);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(j["channels"][1]["largest_phase_jump_deg"].is_null());
    EXPECT_TRUE(j["channels"][1]["phase_turn_rms_deg"].is_null());
    EXPECT_EQ(j["channels"][1]["phase_turns"], 0);
    EXPECT_TRUE(j["pair"]["correlation"].is_null());
    EXPECT_FALSE(j["channels"][0]["largest_phase_jump_deg"].is_null());
    r = inspect({});
    EXPECT_NE(r.out.find("  Phase turns      n/a: too weak to have a phase\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  Correlation      n/a\n"), std::string::npos);

    // Shorter than one Welch window: no tone and no coherence, and the checks say why.
    j = inspect_json(capture_of(1000, [](std::size_t k) { return tone_frame(k, Tone{}, Tone{}); }),
                     r);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(j["channels"][0]["tone_dbfs"].is_null());
    EXPECT_TRUE(j["channels"][0]["tone_above_floor_db"].is_null());
    EXPECT_TRUE(j["pair"]["coherence"].is_null());
    EXPECT_EQ(test_support::failed_checks(r.err),
              lines_of({"ch0 tone", "ch0 snr", "ch0 sfdr", "ch1 tone", "ch1 snr", "ch1 sfdr",
                        "gain match", "coherence"}));
    EXPECT_NE(r.err.find("no tone: the capture is shorter than one 4096-frame window"),
              std::string::npos);

    // Noise alone: no tone, so no figure of one (no image, no imbalance), and
    // no "-0" anywhere.
    const std::string noise = capture_of(65536, [](std::size_t k) {
        Frame f;
        for (std::size_t s = 0; s < 4; ++s) {
            std::uint64_t x = (4 * k + s + 1) * 0x9E3779B97F4A7C15ull;
            x = (x ^ (x >> 31)) * 0xBF58476D1CE4E5B9ull;
            f[s] = static_cast<std::int16_t>(static_cast<int>((x >> 40) % 201) - 100);
        }
        return f;
    });
    j = inspect_json(noise, r);
    for (int c = 0; c < 2; ++c) {
        for (const char* key : {"tone_offset_hz", "tone_dbfs", "snr_db", "sinad_db", "enob_bits",
                                "sfdr_dbc", "thd_dbc", "image_dbc", "iq_gain_imbalance_db",
                                "iq_phase_imbalance_deg", "lo_leakage_dbc"}) {
            EXPECT_TRUE(j["channels"][c][key].is_null()) << key;
        }
        EXPECT_EQ(j["channels"][c]["image_below_floor"], false);
    }
    EXPECT_EQ(test_support::failed_checks(r.err),
              lines_of({"ch0 tone", "ch0 snr", "ch0 sfdr", "ch1 tone", "ch1 snr", "ch1 sfdr",
                        "gain match", "coherence"}));
    for (const std::string& bytes : {silent_ch1, noise}) {
        write_file(dir / "dual_test.bin", bytes);
        r = inspect({});
        EXPECT_FALSE(std::regex_search(r.out, std::regex(R"(-0\.0*\b(?![0-9]))"))) << r.out;
        EXPECT_EQ(r.out.find("  Strongest tone   no tone: ") != std::string::npos, true) << r.out;
        EXPECT_EQ(r.out.find("  Image            n/a: no tone\n") != std::string::npos, true);
    }
}

TEST_F(CaptureInspect, NeverOverwritesTheCapture) {
    const std::string bytes =
        capture_of(5000, [](std::size_t k) { return tone_frame(k, Tone{}, Tone{}); });
    write_file(dir / "c.bin", bytes);
    write_file(dir / "x.sigmf-meta", bytes);
    std::filesystem::create_symlink("c.bin", dir / "alias.png");
    for (const std::vector<std::string>& args :
         {lines_of({"--plot", "c.bin", "c.bin"}), lines_of({"--plot", "./c.bin", "c.bin"}),
          lines_of({"--plot", "alias.png", "c.bin"}), lines_of({"--sigmf", "x.sigmf-meta"})}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const Result r = inspect(args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("would overwrite the capture"), std::string::npos) << r.err;
    }
    EXPECT_EQ(read_file(dir / "c.bin"), bytes);
    EXPECT_EQ(read_file(dir / "x.sigmf-meta"), bytes);
}

TEST_F(CaptureInspect, SigmfNamesItsDatasetExactlyOrRefuses) {
    const std::string bytes =
        capture_of(5000, [](std::size_t k) { return tone_frame(k, Tone{}, Tone{}); });
    // NAME.sigmf-data is a conforming dataset: no core:dataset in its metadata.
    write_file(dir / "run.sigmf-data", bytes);
    Result r = inspect({"--sigmf", "run.sigmf-data"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json meta = json::parse(read_file(dir / "run.sigmf-meta"));
    EXPECT_FALSE(meta["global"].contains("core:dataset"));
    EXPECT_EQ(meta["global"]["core:sha512"], sha512_hex(bytes));

    // A name that is not UTF-8: shown with replacement characters, refused for SigMF.
    write_file(dir / "caf\xe9.bin", bytes);
    r = inspect({"--json", "caf\xe9.bin"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(json::parse(r.out)["file"], "caf\xef\xbf\xbd.bin");
    r = inspect({"--sigmf", "caf\xe9.bin"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(std::filesystem::exists(dir / "caf\xe9.sigmf-meta"));

    // SigMF describes files: a device or FIFO is refused before anything is read.
    r = inspect({"--sigmf", "/dev/null"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("--sigmf needs a regular file"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists("/dev/null.sigmf-meta"));
}

TEST_F(CaptureInspect, PictureIsWholeOrNotAtAllWithGnuplotsReason) {
    write_file(dir / "dual_test.bin",
               capture_of(5000, [](std::size_t k) { return tone_frame(k, Tone{}, Tone{}); }));
    std::filesystem::create_directory(dir / "fake");
    const std::pair<std::string, std::string> gnuplots[] = {
        {"echo 'line 0: unknown terminal type' >&2; exit 1", "line 0: unknown terminal type"},
        {"exit 0", "gnuplot drew nothing"},
        {"printf '\\211PNG\\r\\n\\032\\n'", "gnuplot's picture is not a whole PNG"},
    };
    for (const auto& [body, why] : gnuplots) {
        SCOPED_TRACE(body);
        write_file(dir / "fake/gnuplot", "#!/bin/sh\n/bin/cat >/dev/null\n" + body + "\n");
        std::filesystem::permissions(dir / "fake/gnuplot", std::filesystem::perms::owner_all);
        const Result r =
            inspect({"--plot", "out.png"}, {{"PATH", (dir / "fake").string() + ":/usr/bin:/bin"}});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_NE(r.err.find("gnuplot could not draw out.png: " + why), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "out.png"));
    }

    SmallDisk disk(dir / "small", "64k");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a small tmpfs needs privileges";
    const Result r = inspect({"--plot", "small/out.png"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("cannot write small/out.png: No space left on device"), std::string::npos)
        << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(dir / "small")) << "nothing half-written is left";
}

TEST_F(CaptureInspect, CaptureThatShrinksWhileReadEndsWithAMessage) {
    { std::ofstream sparse(dir / "dual_test.bin", std::ios::binary); }
    std::filesystem::resize_file(dir / "dual_test.bin", 800'000'000);  // holes read as zeros
    test_support::Process p(launch(CAPTURE_INSPECT_BIN, {}));
    // Shrink it only once the reading is well under way, however slow the start.
    const auto read_so_far = [&p] {
        std::ifstream io("/proc/" + std::to_string(p.pid()) + "/io");
        std::string key;
        std::uint64_t value = 0;
        while (io >> key >> value)
            if (key == "rchar:") return value;
        return std::uint64_t{0};
    };
    ASSERT_TRUE(test_support::wait_until([&] { return read_so_far() >= 16'000'000; },
                                         std::chrono::seconds(60), std::chrono::milliseconds(5)))
        << "the capture was never read";
    std::filesystem::resize_file(dir / "dual_test.bin", 8000);
    const Result r = p.wait();
    EXPECT_EQ(r.term_signal, 0) << "no SIGBUS";
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("dual_test.bin: the capture changed while it was read"), std::string::npos)
        << r.err;
}

TEST_F(CaptureInspect, CorrelationImageLobeAndClippingAtTheirEdges) {
    Result r;
    // A tone beside noise that has nothing to do with it correlates not at all,
    // and neither does their DC: the correlation is of what varies.
    for (const int dc : {0, 300}) {
        SCOPED_TRACE("DC " + std::to_string(dc));
        const json j =
            inspect_json(capture_of(65536,
                                    [dc](std::size_t k) {
                                        Frame f = tone_frame(k, Tone{1000}, Tone{});
                                        std::uint64_t x = (k + 1) * 0x9E3779B97F4A7C15ull;
                                        x = (x ^ (x >> 31)) * 0xBF58476D1CE4E5B9ull;
                                        const int spread = dc == 0 ? 1000 : 200;
                                        f[0] = static_cast<std::int16_t>(f[0] + 2 * dc / 3);
                                        f[1] = static_cast<std::int16_t>(f[1] - dc);
                                        f[2] = static_cast<std::int16_t>(
                                            (x >> 20) % (2 * spread + 1) - spread + dc);
                                        f[3] = static_cast<std::int16_t>(
                                            (x >> 40) % (2 * spread + 1) - spread + 2 * dc / 3);
                                        return f;
                                    }),
                         r);
        EXPECT_LT(j["pair"]["correlation"].get<double>(), 0.05);
    }
    json j;

    // The image is its whole lobe: the same between two bins as on one.
    for (const char* tone : {"20019.53125", "20000"}) {  // bin 41, and bin 40.96
        SCOPED_TRACE(tone);
        std::vector<std::int16_t> samples(4 * 65536);
        std::string bad;
        orlix_sim::SignalSettings settings;
        ASSERT_TRUE(orlix_sim::parse_signal_settings(
            std::string("amplitude=800,ch0.iq_gain_db=6,tone=") + tone, settings, bad));
        orlix_sim::fill_signal(settings, {2e6, 2e6}, samples.data(), 0, samples.size() / 2);
        j = inspect_json(
            std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * 2), r);
        EXPECT_NEAR(j["channels"][0]["image_dbc"].get<double>(), -9.54, 0.2);
    }

    // The converter's range ends at -2048 and 2047: both ends count as clipped.
    j = inspect_json(capture_of(8192,
                                [](std::size_t k) {
                                    Frame f = tone_frame(k, Tone{}, Tone{});
                                    if (k < 3) f[0] = -2048;
                                    if (k == 3) f[1] = -2047;
                                    if (k == 4) f[0] = 2046;  // within the range
                                    return f;
                                }),
                     r);
    EXPECT_EQ(j["channels"][0]["clipped"], 4);
    EXPECT_EQ(j["channels"][0]["peak"], 2048);
}

TEST_F(CaptureInspect, PictureShowsEveryFrameOfACaptureShorterThanItsPreview) {
    // A gnuplot that keeps its script, to read the frames it was given.
    std::filesystem::create_directory(dir / "fake");
    write_file(dir / "fake/gnuplot",
               "#!/bin/sh\n/bin/cat > '" + (dir / "script.gp").string() +
                   "'\nprintf '\\211PNG\\r\\n\\032\\n"
                   "\\0\\0\\0\\0IHDR\\0\\0\\0\\0\\0\\0\\0\\0IEND\\0\\0\\0\\0'\n");
    std::filesystem::permissions(dir / "fake/gnuplot", std::filesystem::perms::owner_all);
    const std::string bytes = capture_of(150, [](std::size_t k) {
        return tone_frame(k, Tone{}, {900, 5000, 10});
    });
    write_file(dir / "dual_test.bin", bytes);
    const Result r =
        inspect({"--plot", "out.png"}, {{"PATH", (dir / "fake").string() + ":/usr/bin:/bin"}});
    EXPECT_EQ(r.exit_code, 1) << r.err;  // no segment: no tone
    const std::string script = read_file(dir / "script.gp");
    const std::size_t from = script.find("$samples << EOD\n");
    ASSERT_NE(from, std::string::npos) << script;
    const std::vector<std::string> lines = test_support::split_lines(
        script.substr(from + 16, script.find("EOD\n", from + 16) - from - 16));
    ASSERT_EQ(lines.size(), 150u);
    for (std::size_t k : {0u, 1u, 149u}) {
        Frame f;
        std::memcpy(f.data(), bytes.data() + 8 * k, 8);
        char expected[96];
        std::snprintf(expected, sizeof expected, "%.3f %d %d %d %d", static_cast<double>(k) / 2,
                      f[0], f[1], f[2], f[3]);
        EXPECT_EQ(lines[k], expected) << k;
    }
    EXPECT_TRUE(std::filesystem::exists(dir / "out.png"));
}

TEST_F(CaptureInspect, OutputThroughAPipeThatTakesPartOfALineArrivesWhole) {
    // A name that makes a line longer than the pipe can take at once.
    std::string capture;
    for (int i = 0; i < 2040; ++i) capture += "./";  // within PATH_MAX
    capture += "dual_test.bin";
    write_file(dir / "dual_test.bin",
               capture_of(8192, [](std::size_t k) { return tone_frame(k, Tone{}, Tone{}); }));
    const Result whole = inspect({"--json", capture});
    ASSERT_GT(whole.out.find(",\n"), 4096u) << "the file's line";
    test_support::Launch l = launch(CAPTURE_INSPECT_BIN, {"--json", capture});
    l.stdout_to = test_support::Stdout::slow_pipe;
    const Result r = test_support::run(l);
    EXPECT_EQ(r.exit_code, whole.exit_code) << r.err;
    EXPECT_EQ(r.err, whole.err);
    EXPECT_EQ(r.out, whole.out);
}

// The figures are the same to the last bit on any number of threads: the
// capture is cut into fixed chunks, summed each on its own and joined in order.
// The captures here have a stuck run and a drop across a chunk's seam, a last
// chunk cut short, and one shorter than a chunk. A thread checker's report
// (under one) shows in standard error, which the one thread of -j1 does not
// write.
TEST_F(CaptureInspect, SameAnswerOnAnyNumberOfThreads) {
    struct Case {
        const char* name;
        std::string signal;
        std::uint64_t frames;
    };
    const std::uint64_t chunk = kChunkFrames;
    const Case cases[] = {
        {"stuck_across_a_seam", "stuck=" + std::to_string(chunk - 72) + ":200,noise=30",
         3 * chunk + 1234},
        {"drop_across_a_seam", "drop=" + std::to_string(2 * chunk) + ":77,ch1.phase=30", 3 * chunk},
        {"shorter_than_a_chunk", "tone=-30000,noise=100", chunk / 2 + 1000},
        // Enough chunks for the threads to overtake one another.
        {"many_chunks", "ch1.phase=45", 64 * chunk + 5},
    };
    for (const char* bad : {"0", "-1", "1.5", "lots"}) {
        EXPECT_EQ(inspect({"-j", bad}).exit_code, 2) << bad;
    }
    // The last case runs as an unprivileged user, where the build is in reach.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        orlix_sim::SignalSettings settings;
        std::string bad;
        ASSERT_TRUE(orlix_sim::parse_signal_settings(c.signal, settings, bad));
        std::vector<std::int16_t> samples(4 * c.frames);
        orlix_sim::fill_signal(settings, {2e6, 2e6}, samples.data(), 0, 2 * c.frames);
        write_file(dir / "dual_test.bin",
                   std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * 2));
        std::string first_json, first_report, first_meta, first_err;
        int first_status = -1;
        for (const char* jobs : {"1", "2", "7"}) {
            SCOPED_TRACE(std::string("-j") + jobs);
            const Result j = inspect({"--json", "--sigmf", "-j", jobs});
            ASSERT_NE(j.out, "") << j.err;
            const Result text = inspect({std::string("--jobs=") + jobs});
            EXPECT_EQ(text.err, j.err);
            EXPECT_EQ(text.exit_code, j.exit_code);
            const std::string meta = read_file(dir / "dual_test.sigmf-meta");
            if (first_json.empty()) {
                first_json = j.out;
                first_report = text.out;
                first_meta = meta;
                first_err = j.err;
                first_status = j.exit_code;
                ASSERT_NE(first_report.find("Result: "), std::string::npos) << text.err;
                continue;
            }
            EXPECT_EQ(j.out, first_json);
            EXPECT_EQ(j.err, first_err);
            EXPECT_EQ(j.exit_code, first_status);
            EXPECT_EQ(text.out, first_report);
            EXPECT_EQ(meta, first_meta) << "the SHA-512 in order";
        }
        const json figures = json::parse(first_json);
        EXPECT_EQ(figures["frames"], c.frames);
        if (std::string(c.name) == "stuck_across_a_seam") {
            EXPECT_EQ(figures["channels"][0]["longest_stuck_run"], 200) << "joined across the seam";
        }
        if (std::string(c.name) == "many_chunks" && geteuid() == 0) {
            // Threads the system refuses leave the work to the ones it gave.
            std::filesystem::permissions(
                dir.path(),
                std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
                std::filesystem::perm_options::add);
            const Result one = inspect({"--json", "-j1"});
            test_support::Launch l =
                test_support::launch_in(dir.path(), CAPTURE_INSPECT_BIN, {"--json", "-j8"});
            l.user = 65534;
            l.process_limit = 2;
            const Result few = test_support::run(l);
            if (few.exit_code == 125 || few.exit_code == 126 || few.exit_code == 127) {
                GTEST_SKIP() << "the build is out of an unprivileged user's reach";
            }
            EXPECT_EQ(few.exit_code, one.exit_code) << few.err;
            EXPECT_EQ(few.err, one.err);
            EXPECT_EQ(few.out, one.out);
        }
        if (std::string(c.name) == "drop_across_a_seam") {
            EXPECT_GT(figures["channels"][0]["largest_phase_jump_deg"].get<double>(), 60)
                << "the turn at the seam is seen";
        }
    }
}

}  // namespace
