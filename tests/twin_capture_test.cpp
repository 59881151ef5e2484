#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "process.h"
#include "program_test.h"
#include "sim_internal.h"

namespace {

using test_support::lines_starting;
using test_support::read_file;
using test_support::read_lines;
using test_support::Result;
using test_support::split_lines;
using test_support::operator+;
using test_support::write_file;

constexpr std::size_t kCaptureBytes = 80'000'000;

const std::vector<std::string> kSetupTrace = {
    "orlix_log_set_verbosity(1)",
    "orlix_open(NULL) -> 0",
    "orlix_sync_config(dev, 2, 0, 5120, 16384, 64, 3500) -> 0",
    "orlix_set_frequency(dev, 0, 915000000) -> 0",
    "orlix_set_sample_rate(dev, 0, 2000000, NULL) -> 0",
    "orlix_set_gain_mode(dev, 0, 1) -> 0",
    "orlix_set_gain(dev, 0, 60) -> 0",
    "orlix_set_frequency(dev, 2, 915000000) -> 0",
    "orlix_set_sample_rate(dev, 2, 2000000, NULL) -> 0",
    "orlix_set_gain_mode(dev, 2, 1) -> 0",
    "orlix_set_gain(dev, 2, 60) -> 0",
    "orlix_enable_module(dev, 0, true) -> 0",
    "orlix_enable_module(dev, 2, true) -> 0",
    "orlix_sync_rx(dev, buf, 20000000, NULL, 5000) -> 0",
};

const std::vector<std::string> kCleanupTrace = {
    "orlix_enable_module(dev, 0, false) -> 0",
    "orlix_enable_module(dev, 2, false) -> 0",
    "orlix_close(dev)",
};

// The preview the program must print for a capture that begins with `bytes`.
std::string preview_of(const std::string& bytes) {
    std::string out = "Sample Preview:\n";
    for (int k = 0; k < 10; ++k) {
        std::int16_t v[4];
        std::memcpy(v, bytes.data() + 8 * k, sizeof v);
        out += "[ch1]" + std::to_string(v[0]) + ", " + std::to_string(v[1]) + "\n";
        out += "[ch2]" + std::to_string(v[2]) + ", " + std::to_string(v[3]) + "\n";
    }
    return out;
}

class TwinCapture : public test_support::ProgramTest {
protected:
    Result run(std::map<std::string, std::string> env = {}, std::vector<std::string> args = {}) {
        return ProgramTest::run(TWIN_CAPTURE_BIN, std::move(args), std::move(env));
    }
    std::filesystem::path capture_path() const { return dir / "dual_test.bin"; }
    // Files left beside the capture under its name and a suffix.
    std::vector<std::string> temp_files() const {
        return test_support::files_starting(dir.path(), "dual_test.bin.");
    }
};

TEST_F(TwinCapture, CapturesBothChannelsIgnoringArgumentsAndExitsZero) {
    const Result r = run({}, {"-d", "usb:0", "--whatever"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(lines_starting(r.err, "Failed"), std::vector<std::string>{});

    const std::string capture = read_file(capture_path());
    ASSERT_EQ(capture.size(), kCaptureBytes);
    EXPECT_EQ(split_lines(r.out).size(), 21u);
    EXPECT_EQ(r.out, preview_of(capture));

    // The file is the library's samples, unchanged and in order.
    std::vector<std::int16_t> expected(kCaptureBytes / 2);
    orlix_sim::fill_signal({}, {2e6, 2e6}, expected.data(), 0, kCaptureBytes / 4);
    EXPECT_EQ(std::memcmp(capture.data(), expected.data(), kCaptureBytes), 0);

    EXPECT_EQ(trace(), kSetupTrace + kCleanupTrace);
}

TEST_F(TwinCapture, PreviewPrintsSignedValuesFromTheCaptureStart) {
    // Frame 0: I0=-2048 (F800), Q0=1, I1=-1, Q1=32767; frame 1: 2047, -32768, 0, 5.
    const std::int16_t frames[8] = {-2048, 1, -1, 32767, 2047, -32768, 0, 5};
    const std::string pattern(reinterpret_cast<const char*>(frames), sizeof frames);
    write_file(dir / "rx.bin", pattern);

    const Result r = run({{"ORLIX_SIM_RX_FILE", (dir / "rx.bin").string()}});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::vector<std::string> out = split_lines(r.out);
    ASSERT_EQ(out.size(), 21u);
    EXPECT_EQ(out[1], "[ch1]-2048, 1");
    EXPECT_EQ(out[2], "[ch2]-1, 32767");
    EXPECT_EQ(out[3], "[ch1]2047, -32768");
    EXPECT_EQ(out[4], "[ch2]0, 5");
    EXPECT_EQ(out[5], "[ch1]-2048, 1");

    const std::string capture = read_file(capture_path());
    ASSERT_EQ(capture.size(), kCaptureBytes);
    std::string expected;
    while (expected.size() < kCaptureBytes) expected += pattern;
    EXPECT_TRUE(capture == expected) << "the capture file is not the received samples";
}

// Each library failure before the capture file: its reports, one clean-up, exit 1,
// and an existing capture file left as it was.
struct LibraryFailure {
    const char* name;
    const char* rule;
    std::vector<std::string> reports;
    std::vector<std::string> trace;  // the whole trace, clean-up included
};

void PrintTo(const LibraryFailure& f, std::ostream* os) {
    *os << f.name;
}

class TwinCaptureLibraryFailure : public TwinCapture,
                                  public ::testing::WithParamInterface<LibraryFailure> {};

TEST_P(TwinCaptureLibraryFailure, ReportsOnceCleansUpOnceAndExitsOne) {
    const LibraryFailure& f = GetParam();
    write_file(capture_path(), "earlier capture");

    const Result r = run({{"ORLIX_SIM_FAIL", f.rule}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lines_starting(r.err, "Failed"), f.reports);
    EXPECT_EQ(trace(), f.trace);
    EXPECT_EQ(read_file(capture_path()), "earlier capture");
}

std::vector<std::string> setup_until(std::size_t calls, const std::string& failing) {
    std::vector<std::string> t(kSetupTrace.begin(), kSetupTrace.begin() + calls);
    t.push_back(failing);
    return t + kCleanupTrace;
}

const std::string kInitSyncReport =
    "Failed at init_sync(dev, NUM_CHANNELS, samp_rate): Unknown error";

INSTANTIATE_TEST_SUITE_P(
    EachStep, TwinCaptureLibraryFailure,
    ::testing::Values(
        LibraryFailure{
            "open",
            "open=-4",
            {"Failed at orlix_open(&dev, devstr): No device found"},
            {"orlix_log_set_verbosity(1)", "orlix_open(NULL) -> -4", "orlix_close(NULL)"}},
        LibraryFailure{"sync_config",
                       "sync_config",
                       {"Failed at orlix_sync_config(dev, ORLIX_RX_X2, ORLIX_FORMAT_SC16_Q11, "
                        "num_buffers, buffer_size, num_transfers, timeout_ms): Unexpected failure",
                        kInitSyncReport},
                       setup_until(2, "orlix_sync_config(dev, 2, 0, 5120, 16384, 64, 3500) -> -1")},
        LibraryFailure{"frequency_of_second_channel",
                       "set_frequency@2=-2",
                       {"Failed at orlix_set_frequency(dev, ORLIX_CHANNEL_RX(i), "
                        "(orlix_frequency)freq): Value out of range",
                        kInitSyncReport},
                       setup_until(7, "orlix_set_frequency(dev, 2, 915000000) -> -2")},
        LibraryFailure{"sample_rate",
                       "set_sample_rate",
                       {"Failed at orlix_set_sample_rate(dev, ORLIX_CHANNEL_RX(i), samp_rate, "
                        "NULL): Unexpected failure",
                        kInitSyncReport},
                       setup_until(4, "orlix_set_sample_rate(dev, 0, 2000000, NULL) -> -1")},
        LibraryFailure{"gain_mode",
                       "set_gain_mode@2",
                       {"Failed at orlix_set_gain_mode(dev, ORLIX_CHANNEL_RX(i), ORLIX_GAIN_MGC): "
                        "Unexpected failure",
                        kInitSyncReport},
                       setup_until(9, "orlix_set_gain_mode(dev, 2, 1) -> -1")},
        LibraryFailure{"gain",
                       "set_gain=-3",
                       {"Failed at orlix_set_gain(dev, ORLIX_CHANNEL_RX(i), 60): Invalid argument",
                        kInitSyncReport},
                       setup_until(6, "orlix_set_gain(dev, 0, 60) -> -3")},
        LibraryFailure{"enable_channel_0",
                       "enable_module@1",
                       {"Failed at orlix_enable_module(dev, ORLIX_CHANNEL_RX(0), true): "
                        "Unexpected failure"},
                       setup_until(11, "orlix_enable_module(dev, 0, true) -> -1")},
        LibraryFailure{"enable_channel_1",
                       "enable_module@2=-7",
                       {"Failed at orlix_enable_module(dev, ORLIX_CHANNEL_RX(1), true): "
                        "Not valid in the device's current state"},
                       setup_until(12, "orlix_enable_module(dev, 2, true) -> -7")},
        LibraryFailure{"receive",
                       "sync_rx=-9",
                       {"Failed at orlix_sync_rx(dev, samples, NUM_CHANNELS * NUM_SAMPLES, NULL, "
                        "5000): Operation timed out"},
                       setup_until(13, "orlix_sync_rx(dev, buf, 20000000, NULL, 5000) -> -9")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TwinCapture, FailedDisableIsReportedOnceAndTheCleanUpGoesOn) {
    for (const char* rule : {"enable_module@3", "enable_module@4"}) {
        SCOPED_TRACE(rule);
        const bool first = std::string(rule).back() == '3';
        const Result r = run({{"ORLIX_SIM_FAIL", rule}});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(split_lines(r.out).size(), 21u);
        const std::string report =
            std::string("Failed at orlix_enable_module(dev, ORLIX_CHANNEL_RX(") +
            (first ? "0" : "1") + "), false): Unexpected failure";
        EXPECT_EQ(lines_starting(r.err, "Failed"), std::vector<std::string>{report});
        std::vector<std::string> cleanup = kCleanupTrace;
        cleanup[first ? 0 : 1] = first ? "orlix_enable_module(dev, 0, false) -> -1"
                                       : "orlix_enable_module(dev, 2, false) -> -1";
        EXPECT_EQ(trace(), kSetupTrace + cleanup);
        EXPECT_EQ(std::filesystem::file_size(capture_path()), kCaptureBytes);
        clear_trace();
    }
}

TEST_F(TwinCapture, FailedAllocationSkipsTheDeviceAndCreatesNoFile) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than the limit leaves";
#endif
    test_support::Launch s = launch(TWIN_CAPTURE_BIN);
    s.address_space_limit = 64u << 20;
    const Result r = test_support::run(s);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Failed to allocate memory for samples\n");
    EXPECT_EQ(trace(),
              (std::vector<std::string>{"orlix_log_set_verbosity(1)", "orlix_close(NULL)"}));
    EXPECT_FALSE(std::filesystem::exists(capture_path()));
}

TEST_F(TwinCapture, UnopenableFileSkipsPauseAndPreview) {
    std::filesystem::create_directory(capture_path());
    const Result r = run();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lines_starting(r.err, "Failed"),
              std::vector<std::string>{"Failed to open file for writing"});
    EXPECT_EQ(lines_starting(r.err, "dual_test.bin: "),
              std::vector<std::string>{"dual_test.bin: Is a directory"});
    EXPECT_EQ(trace(), kSetupTrace + kCleanupTrace);
}

TEST_F(TwinCapture, ShortWriteIsReportedOnce) {
    std::filesystem::create_symlink("/dev/full", capture_path());
    const Result r = run();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(split_lines(r.out).size(), 21u);
    EXPECT_EQ(lines_starting(r.err, "Failed"),
              std::vector<std::string>{"Failed to write to file: No space left on device"});
    EXPECT_EQ(trace(), kSetupTrace + kCleanupTrace);
}

TEST_F(TwinCapture, FailedWriteKeepsTheEarlierCaptureAsItWas) {
    // The first limit stops fwrite itself; the second lets fwrite count every
    // element and loses the tail at the flush.
    for (const rlim_t limit : {rlim_t{1} << 20, rlim_t{kCaptureBytes - 1000}}) {
        SCOPED_TRACE(limit);
        write_file(capture_path(), "earlier capture");
        test_support::Launch s = launch(TWIN_CAPTURE_BIN);
        s.file_size_limit = limit;
        const Result r = test_support::run(s);
        EXPECT_EQ(r.term_signal, 0) << "SIGXFSZ must not kill it";
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(split_lines(r.out).size(), 21u);
        EXPECT_EQ(lines_starting(r.err, "Failed"),
                  std::vector<std::string>{"Failed to write to file: File too large"});
        EXPECT_EQ(read_file(capture_path()), "earlier capture");
        EXPECT_EQ(temp_files(), std::vector<std::string>{});
        EXPECT_EQ(trace(), kSetupTrace + kCleanupTrace);
        clear_trace();
    }
}

TEST_F(TwinCapture, ReplacesTheCaptureWholeWithTheModeFopenWouldLeave) {
    write_file(capture_path(), "earlier capture");
    std::filesystem::permissions(capture_path(), std::filesystem::perms(0640));
    ASSERT_EQ(run().exit_code, 0);
    EXPECT_EQ(std::filesystem::file_size(capture_path()), kCaptureBytes);
    EXPECT_EQ(std::filesystem::status(capture_path()).permissions(), std::filesystem::perms(0640));

    std::filesystem::remove(capture_path());
    const mode_t mask = umask(0);
    umask(mask);
    ASSERT_EQ(run().exit_code, 0);
    EXPECT_EQ(std::filesystem::status(capture_path()).permissions(),
              std::filesystem::perms(0666 & ~mask));
    EXPECT_EQ(temp_files(), std::vector<std::string>{});
}

TEST_F(TwinCapture, LinkNamedLikeTheCaptureIsWrittenThroughNeverCreated) {
    std::filesystem::create_symlink("missing.bin", capture_path());
    Result r = run();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lines_starting(r.err, "Failed"),
              std::vector<std::string>{"Failed to open file for writing"});
    EXPECT_EQ(lines_starting(r.err, "dual_test.bin: "),
              std::vector<std::string>{"dual_test.bin: No such file or directory"});
    EXPECT_FALSE(std::filesystem::exists(dir / "missing.bin"));

    write_file(dir / "target.bin", "earlier capture");
    std::filesystem::remove(capture_path());
    std::filesystem::create_symlink("target.bin", capture_path());
    r = run();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_symlink(capture_path()));
    EXPECT_EQ(std::filesystem::file_size(dir / "target.bin"), kCaptureBytes);
    EXPECT_EQ(temp_files(), std::vector<std::string>{});
}

}  // namespace
