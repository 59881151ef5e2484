#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "process.h"
#include "program_fixture.h"
#include "program_models.h"
#include "receive_signal.h"

namespace {

using test_support::lines_starting;
using test_support::read_file;
using test_support::read_lines;
using test_support::Result;
using test_support::split_lines;
using test_support::operator+;
using test_support::write_file;

using test_support::kCaptureBytes;

// The calls of a good run. Each call failing in turn: the fault sweep.
const std::vector<std::string> kTrace = test_support::clean_trace(test_support::twin_capture_model);

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

    EXPECT_EQ(trace(), kTrace);
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
    EXPECT_EQ(trace(), kTrace);
}

TEST_F(TwinCapture, ShortWriteIsReportedOnce) {
    std::filesystem::create_symlink("/dev/full", capture_path());
    const Result r = run();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(split_lines(r.out).size(), 21u);
    EXPECT_EQ(lines_starting(r.err, "Failed"),
              std::vector<std::string>{"Failed to write to file: No space left on device"});
    EXPECT_EQ(trace(), kTrace);
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
        EXPECT_EQ(trace(), kTrace);
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

TEST_F(TwinCapture, DanglingLinkNamedLikeTheCaptureIsNeverFollowed) {
    std::filesystem::create_symlink("missing.bin", capture_path());
    const Result r = run();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lines_starting(r.err, "Failed"),
              std::vector<std::string>{"Failed to open file for writing"});
    EXPECT_EQ(lines_starting(r.err, "dual_test.bin: "),
              std::vector<std::string>{"dual_test.bin: No such file or directory"});
    EXPECT_FALSE(std::filesystem::exists(dir / "missing.bin"));
}

}  // namespace
