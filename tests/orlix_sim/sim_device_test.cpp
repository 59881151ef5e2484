#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "controls.h"
#include "device.h"
#include "orlix.h"
#include "process.h"
#include "receive_signal.h"

// Allocations in this test program can be made to fail, to see what the
// simulated library makes of it.
static std::atomic<bool> fail_allocations{false};

void* operator new(std::size_t size) {
    if (fail_allocations.load(std::memory_order_relaxed)) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// The replacement pair is malloc and free, whatever the compiler guesses.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using test_support::read_file;
using test_support::read_lines;
using test_support::TempDir;
using test_support::write_file;

// Each test starts from a fresh library with only the controls it sets.
class SimDevice : public ::testing::Test {
protected:
    void SetUp() override { set_controls({}); }
    void TearDown() override {
        orlix_close(dev);
        unset_controls();
        orlix_sim::reset();
    }

    void set_controls(const std::map<std::string, std::string>& values) {
        unset_controls();
        for (const auto& [name, value] : values) {
            setenv(name.c_str(), value.c_str(), 1);
            set_.push_back(name);
        }
        orlix_sim::reset();
    }
    // Also a board's own controls, which no fixed list names.
    void unset_controls() {
        for (const char* name : orlix_sim::kControls) unsetenv(name);
        for (const std::string& name : set_) unsetenv(name.c_str());
        set_.clear();
    }

    void open_device() { ASSERT_EQ(orlix_open(&dev, "sim"), 0); }

    void start_rx() {
        ASSERT_EQ(orlix_sync_config(dev, ORLIX_RX_X2, ORLIX_FORMAT_SC16_Q11, 16, 4096, 8, 1000), 0);
        ASSERT_EQ(orlix_enable_module(dev, ORLIX_CHANNEL_RX(0), true), 0);
        ASSERT_EQ(orlix_enable_module(dev, ORLIX_CHANNEL_RX(1), true), 0);
    }

    void start_tx() {
        ASSERT_EQ(orlix_sync_config(dev, ORLIX_TX_X1, ORLIX_FORMAT_PACKET, 16, 4096, 8, 1000), 0);
        ASSERT_EQ(orlix_enable_module(dev, ORLIX_CHANNEL_TX(0), true), 0);
    }

    orlix_device* dev = nullptr;
    TempDir dir;
    std::vector<std::string> set_;
};

TEST_F(SimDevice, OpensOnlyTheSimulatedDevice) {
    for (const char* id : {static_cast<const char*>(nullptr), "", "sim", "sim:serial=0001"}) {
        SCOPED_TRACE(id ? id : "(null)");
        ASSERT_EQ(orlix_open(&dev, id), 0);
        EXPECT_NE(dev, nullptr);
        orlix_close(dev);
        dev = nullptr;
    }
    orlix_device* other = reinterpret_cast<orlix_device*>(&other);
    testing::internal::CaptureStderr();
    EXPECT_EQ(orlix_open(&other, "usb:0"), ORLIX_ERR_NODEV);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[ERROR] "), std::string::npos);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(orlix_open(nullptr, "sim"), ORLIX_ERR_INVAL);
}

TEST_F(SimDevice, OneOpenAtATime) {
    open_device();
    orlix_device* second = nullptr;
    EXPECT_EQ(orlix_open(&second, nullptr), ORLIX_ERR_BUSY);
    EXPECT_EQ(second, nullptr);
}

TEST_F(SimDevice, NullAndClosedHandlesAreRefusedWithoutCrashing) {
    open_device();
    orlix_device* stale = dev;
    orlix_close(dev);
    ASSERT_EQ(orlix_open(&dev, "sim"), 0);  // a new handle; the old one stays dead
    EXPECT_NE(dev, stale);

    testing::internal::CaptureStderr();
    for (orlix_device* bad : {static_cast<orlix_device*>(nullptr), stale}) {
        EXPECT_EQ(orlix_set_frequency(bad, 0, 915000000), ORLIX_ERR_INVAL);
        EXPECT_EQ(orlix_set_clock_select(bad, 1), ORLIX_ERR_INVAL);
        EXPECT_EQ(orlix_enable_module(bad, 0, false), ORLIX_ERR_INVAL);
        EXPECT_EQ(orlix_load_fpga(bad, "x"), ORLIX_ERR_INVAL);
        std::uint32_t word = 0;
        EXPECT_EQ(orlix_sync_tx(bad, &word, 1, nullptr, 10), ORLIX_ERR_INVAL);
        EXPECT_EQ(orlix_sync_rx(bad, &word, 0, nullptr, 10), ORLIX_ERR_INVAL);
    }
    orlix_close(nullptr);
    orlix_close(stale);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[ERROR] orlix_set_frequency: null device handle"), std::string::npos);
    EXPECT_NE(err.find("[ERROR] orlix_close: invalid or closed device handle"), std::string::npos);
    // The open device is untouched by the stale close.
    EXPECT_EQ(orlix_set_clock_select(dev, 1), 0);
}

TEST_F(SimDevice, ChecksValuesLikeHardware) {
    open_device();
    EXPECT_EQ(orlix_set_frequency(dev, 0, 915000000), 0);
    EXPECT_EQ(orlix_set_frequency(dev, 0, 10), ORLIX_ERR_RANGE);
    EXPECT_EQ(orlix_set_frequency(dev, 4, 915000000), ORLIX_ERR_INVAL);
    orlix_sample_rate actual = 0;
    EXPECT_EQ(orlix_set_sample_rate(dev, 1, 10000000, &actual), 0);
    EXPECT_EQ(actual, 10000000u);
    EXPECT_EQ(orlix_set_sample_rate(dev, 0, 100000000, nullptr), ORLIX_ERR_RANGE);
    orlix_bandwidth bw = 0;
    EXPECT_EQ(orlix_set_bandwidth(dev, 1, 10000000, &bw), 0);
    EXPECT_EQ(bw, 10000000u);
    EXPECT_EQ(orlix_set_bandwidth(dev, 1, 1, nullptr), ORLIX_ERR_RANGE);
    EXPECT_EQ(orlix_set_gain_mode(dev, 2, ORLIX_GAIN_MGC), 0);
    EXPECT_EQ(orlix_set_gain_mode(dev, 2, static_cast<orlix_gain_mode>(7)), ORLIX_ERR_RANGE);
    EXPECT_EQ(orlix_set_gain(dev, 2, 60), 0);
    EXPECT_EQ(orlix_set_gain(dev, 2, 100), ORLIX_ERR_RANGE);
    EXPECT_EQ(orlix_set_clock_select(dev, 0), 0);
    EXPECT_EQ(orlix_set_clock_select(dev, 2), ORLIX_ERR_INVAL);
    EXPECT_EQ(orlix_set_tuning_mode(dev, ORLIX_TUNING_MODE_FPGA), 0);
    EXPECT_EQ(orlix_set_tuning_mode(dev, static_cast<orlix_tuning_mode>(2)), ORLIX_ERR_INVAL);
    EXPECT_EQ(orlix_enable_module(dev, 9, true), ORLIX_ERR_INVAL);
    EXPECT_EQ(orlix_enable_module(dev, ORLIX_CHANNEL_TX(1), false), 0) << "never enabled";
}

TEST_F(SimDevice, StreamsNeedAFittingConfigurationAndEnabledChannels) {
    open_device();
    std::vector<std::int16_t> buf(2 * 100);
    EXPECT_EQ(orlix_sync_rx(dev, buf.data(), 100, nullptr, 10), ORLIX_ERR_STATE);
    EXPECT_EQ(orlix_sync_config(dev, ORLIX_RX_X2, ORLIX_FORMAT_PACKET, 16, 4096, 8, 1),
              ORLIX_ERR_INVAL);
    EXPECT_EQ(orlix_sync_config(dev, static_cast<orlix_channel_layout>(0), ORLIX_FORMAT_SC16_Q11,
                                16, 4096, 8, 1),
              ORLIX_ERR_INVAL);
    EXPECT_EQ(orlix_sync_config(dev, ORLIX_RX_X2, ORLIX_FORMAT_SC16_Q11, 16, 1000, 8, 1),
              ORLIX_ERR_INVAL);
    EXPECT_EQ(orlix_sync_config(dev, ORLIX_RX_X2, ORLIX_FORMAT_SC16_Q11, 8, 4096, 8, 1),
              ORLIX_ERR_INVAL);
    EXPECT_EQ(orlix_sync_config(dev, ORLIX_RX_X2, ORLIX_FORMAT_SC16_Q11, 5120, 16384, 64, 3500), 0);
    EXPECT_EQ(orlix_sync_rx(dev, buf.data(), 100, nullptr, 10), ORLIX_ERR_STATE);
    ASSERT_EQ(orlix_enable_module(dev, ORLIX_CHANNEL_RX(0), true), 0);
    EXPECT_EQ(orlix_sync_rx(dev, buf.data(), 100, nullptr, 10), ORLIX_ERR_STATE) << "channel 1 off";
    ASSERT_EQ(orlix_enable_module(dev, ORLIX_CHANNEL_RX(1), true), 0);
    EXPECT_EQ(orlix_sync_rx(dev, buf.data(), 99, nullptr, 10), ORLIX_ERR_INVAL) << "half a frame";
    EXPECT_EQ(orlix_sync_rx(dev, nullptr, 100, nullptr, 10), ORLIX_ERR_INVAL);
    EXPECT_EQ(orlix_sync_rx(dev, buf.data(), 100, nullptr, 10), 0);

    std::uint32_t word = 7;
    EXPECT_EQ(orlix_sync_tx(dev, &word, 1, nullptr, 10), ORLIX_ERR_STATE) << "no transmit stream";
}

TEST_F(SimDevice, ReceivePositionContinuesAcrossCalls) {
    open_device();
    start_rx();
    std::vector<std::int16_t> got(2 * 3000), want(2 * 3000);
    orlix_metadata meta{};
    ASSERT_EQ(orlix_sync_rx(dev, got.data(), 1000, &meta, 10), 0);
    EXPECT_EQ(meta.timestamp, 0u);
    ASSERT_EQ(orlix_sync_rx(dev, got.data() + 2000, 2000, &meta, 10), 0);
    EXPECT_EQ(meta.timestamp, 500u) << "in frames";
    EXPECT_EQ(meta.actual_count, 2000u);
    orlix_sim::fill_signal({}, {1e6, 1e6}, want.data(), 0, 3000);  // the rates a device opens with
    EXPECT_EQ(got, want);
}

TEST_F(SimDevice, ImageLoadNeedsAReadableNonEmptyFileAndResetsStreams) {
    open_device();
    start_rx();
    write_file(dir / "empty.rbf", "");
    write_file(dir / "good.rbf", "image");
    EXPECT_EQ(orlix_load_fpga(dev, (dir / "missing.rbf").c_str()), ORLIX_ERR_IO);
    EXPECT_EQ(orlix_load_fpga(dev, dir.path().c_str()), ORLIX_ERR_IO) << "a folder";
    EXPECT_EQ(orlix_load_fpga(dev, (dir / "empty.rbf").c_str()), ORLIX_ERR_FPGA);
    std::vector<std::int16_t> buf(4);
    EXPECT_EQ(orlix_sync_rx(dev, buf.data(), 2, nullptr, 10), 0) << "failed loads change nothing";
    EXPECT_EQ(orlix_load_fpga(dev, (dir / "good.rbf").c_str()), 0);
    EXPECT_EQ(orlix_sync_rx(dev, buf.data(), 2, nullptr, 10), ORLIX_ERR_STATE);
}

TEST_F(SimDevice, TransmitAppendsPacketsOfAnyLengthToTheTxFile) {
    set_controls({{"ORLIX_SIM_TX_FILE", (dir / "tx.bin").string()}});
    open_device();
    start_tx();
    const std::uint32_t packet[3] = {0, 1, 0xA5A5A5A5u};
    orlix_metadata meta{};
    meta.flags = 7;
    const orlix_metadata before = meta;
    EXPECT_EQ(orlix_sync_tx(dev, packet, 3, &meta, 3000), 0);
    EXPECT_EQ(orlix_sync_tx(dev, packet, 0, &meta, 3000), 0);
    EXPECT_EQ(orlix_sync_tx(dev, packet, 1, nullptr, 3000), 0);
    EXPECT_EQ(std::memcmp(&meta, &before, sizeof meta), 0) << "metadata is only read";
    const std::string expected = std::string("\0\0\0\0\1\0\0\0\xA5\xA5\xA5\xA5\0\0\0\0", 16);
    EXPECT_EQ(read_file(dir / "tx.bin"), expected);
}

TEST_F(SimDevice, RxFileWrapsAndAnUnreadableOneFails) {
    write_file(dir / "rx.bin", std::string("\1\0\2\0\3\0\4\0\5\0\6\0", 12));
    set_controls({{"ORLIX_SIM_RX_FILE", (dir / "rx.bin").string()}});
    open_device();
    start_rx();
    std::vector<std::int16_t> buf(2 * 4);
    ASSERT_EQ(orlix_sync_rx(dev, buf.data(), 4, nullptr, 10), 0);
    EXPECT_EQ(buf, (std::vector<std::int16_t>{1, 2, 3, 4, 5, 6, 1, 2}));
    ASSERT_EQ(orlix_sync_rx(dev, buf.data(), 2, nullptr, 10), 0);
    EXPECT_EQ((std::vector<std::int16_t>(buf.begin(), buf.begin() + 4)),
              (std::vector<std::int16_t>{3, 4, 5, 6}))
        << "the stream goes on where it was";

    std::filesystem::remove(dir / "rx.bin");
    EXPECT_EQ(orlix_sync_rx(dev, buf.data(), 2, nullptr, 10), ORLIX_ERR_IO);
    write_file(dir / "rx.bin", "");
    EXPECT_EQ(orlix_sync_rx(dev, buf.data(), 2, nullptr, 10), ORLIX_ERR_IO);
}

TEST_F(SimDevice, InjectedFailuresHitTheNamedCallsAndChangeNothing) {
    set_controls(
        {{"ORLIX_SIM_FAIL", "open@1=-6,set_gain@2=-9,enable_module@1,set_clock_select@2+"}});
    orlix_device* junk = reinterpret_cast<orlix_device*>(&junk);
    EXPECT_EQ(orlix_open(&junk, "sim"), -6);
    EXPECT_EQ(junk, nullptr) << "a failed open leaves the handle null";
    open_device();
    EXPECT_EQ(orlix_set_gain(dev, 0, 10), 0);
    EXPECT_EQ(orlix_set_gain(dev, 0, 10), -9);
    EXPECT_EQ(orlix_set_gain(dev, 0, 10), 0);
    EXPECT_EQ(orlix_set_clock_select(dev, 1), 0);
    EXPECT_EQ(orlix_set_clock_select(dev, 0), ORLIX_ERR_UNEXPECTED);
    EXPECT_EQ(orlix_set_clock_select(dev, 0), ORLIX_ERR_UNEXPECTED);

    ASSERT_EQ(orlix_sync_config(dev, ORLIX_RX_X2, ORLIX_FORMAT_SC16_Q11, 16, 4096, 8, 1000), 0);
    EXPECT_EQ(orlix_enable_module(dev, ORLIX_CHANNEL_RX(0), true), ORLIX_ERR_UNEXPECTED);
    EXPECT_EQ(orlix_enable_module(dev, ORLIX_CHANNEL_RX(1), true), 0);
    std::vector<std::int16_t> buf(4);
    EXPECT_EQ(orlix_sync_rx(dev, buf.data(), 2, nullptr, 10), ORLIX_ERR_STATE)
        << "the failed enable left channel 0 off";
}

TEST_F(SimDevice, MalformedRuleOrUnusableTraceMakesEveryOpenFail) {
    testing::internal::CaptureStderr();
    set_controls({{"ORLIX_SIM_FAIL", "open,set_gain@zero"}});
    EXPECT_EQ(orlix_open(&dev, "sim"), ORLIX_ERR_INVAL);
    EXPECT_EQ(orlix_open(&dev, nullptr), ORLIX_ERR_INVAL);
    EXPECT_EQ(dev, nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("\"set_gain@zero\""), std::string::npos);

    // A value can neither fake a log line nor reach a terminal.
    testing::internal::CaptureStderr();
    set_controls({{"ORLIX_SIM_SIGNAL", "tone=1\n[INFO] all good\x1b[2J"}});
    EXPECT_EQ(orlix_open(&dev, "sim"), ORLIX_ERR_INVAL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[CRITICAL] ORLIX_SIM_SIGNAL: malformed setting \"tone=1\\x0a[INFO] all "
              "good\\x1b[2J\"\n[ERROR] orlix_open: an ORLIX_SIM_* control is unusable\n");

    testing::internal::CaptureStderr();
    set_controls({{"ORLIX_SIM_TRACE", (dir / "no_such_folder" / "trace.log").string()}});
    EXPECT_EQ(orlix_open(&dev, "sim"), ORLIX_ERR_INVAL);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ORLIX_SIM_TRACE"), std::string::npos);

    testing::internal::CaptureStderr();
    set_controls({{"ORLIX_SIM_TRACE_TIME", "yes"}});
    EXPECT_EQ(orlix_open(&dev, "sim"), ORLIX_ERR_INVAL);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ORLIX_SIM_TRACE_TIME: bad value"),
              std::string::npos);

    testing::internal::CaptureStderr();
    set_controls({{"ORLIX_SIM_DELAY_MS", "soon"}});
    EXPECT_EQ(orlix_open(&dev, "sim"), ORLIX_ERR_INVAL);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ORLIX_SIM_DELAY_MS"), std::string::npos);
}

TEST_F(SimDevice, TraceRecordsEveryCallInItsForm) {
    const auto trace = dir / "trace.log";
    set_controls({{"ORLIX_SIM_TRACE", trace.string()}, {"ORLIX_SIM_FAIL", "set_tuning_mode=-2"}});
    write_file(dir / "a.rbf", "x");
    orlix_log_set_verbosity(ORLIX_LOG_LEVEL_CRITICAL);
    orlix_device* none = nullptr;
    orlix_open(&none, "usb \"1\"\n");
    open_device();
    orlix_load_fpga(dev, (dir / "a.rbf").c_str());
    orlix_set_frequency(dev, 1, 915000000);
    orlix_sample_rate actual;
    orlix_set_sample_rate(dev, 1, 10000000, &actual);
    orlix_set_bandwidth(dev, 1, 10000000, nullptr);
    orlix_set_gain_mode(dev, 0, ORLIX_GAIN_MGC);
    orlix_set_gain(dev, 0, 60);
    orlix_set_clock_select(dev, 1);
    orlix_set_tuning_mode(dev, ORLIX_TUNING_MODE_FPGA);
    orlix_sync_config(dev, ORLIX_TX_X1, ORLIX_FORMAT_PACKET, 512, 4096, 16, 3000000);
    orlix_enable_module(dev, 1, true);
    orlix_metadata meta{};
    meta.flags = 7;
    std::uint32_t words[40] = {};
    orlix_sync_tx(dev, words, 40, &meta, 3000);
    orlix_sync_rx(dev, words, 2, nullptr, 5000);
    orlix_strerror(-1);
    orlix_close(dev);
    dev = nullptr;
    orlix_close(nullptr);

    const std::vector<std::string> expected = {
        "orlix_log_set_verbosity(5)",
        "orlix_open(\"usb \\\"1\\\"\\x0a\") -> -4",
        "orlix_open(\"sim\") -> 0",
        "orlix_load_fpga(dev, \"" + (dir / "a.rbf").string() + "\") -> 0",
        "orlix_set_frequency(dev, 1, 915000000) -> 0",
        "orlix_set_sample_rate(dev, 1, 10000000, &out) -> 0",
        "orlix_set_bandwidth(dev, 1, 10000000, NULL) -> 0",
        "orlix_set_gain_mode(dev, 0, 1) -> 0",
        "orlix_set_gain(dev, 0, 60) -> 0",
        "orlix_set_clock_select(dev, 1) -> 0",
        "orlix_set_tuning_mode(dev, 1) -> -2",
        "orlix_sync_config(dev, 1, 3, 512, 4096, 16, 3000000) -> 0",
        "orlix_enable_module(dev, 1, true) -> 0",
        "orlix_sync_tx(dev, buf, 40, {timestamp=0, flags=7}, 3000) -> 0",
        "orlix_sync_rx(dev, buf, 2, NULL, 5000) -> -7",
        "orlix_close(dev)",
        "orlix_close(NULL)",
    };
    EXPECT_EQ(read_lines(trace), expected);

    // With the time, each line begins with it and the process id, in order.
    std::filesystem::remove(trace);
    set_controls({{"ORLIX_SIM_TRACE", trace.string()}, {"ORLIX_SIM_TRACE_TIME", "1"}});
    const double before = static_cast<double>(time(nullptr));
    open_device();
    orlix_close(dev);
    dev = nullptr;
    const std::vector<std::string> stamped = read_lines(trace);
    ASSERT_EQ(stamped.size(), 2u);
    double previous = 0;
    for (std::size_t i = 0; i < stamped.size(); ++i) {
        char* end = nullptr;
        const double at = std::strtod(stamped[i].c_str(), &end);
        EXPECT_GE(at, before - 1);
        EXPECT_LE(at, before + 60);
        EXPECT_GE(at, previous);
        previous = at;
        std::string expected = " ";
        expected += std::to_string(getpid());
        expected += i == 0 ? " orlix_open(\"sim\") -> 0" : " orlix_close(dev)";
        EXPECT_EQ(std::string(end), expected);
    }
}

// A bench of boards: each opened by its name or, for any device, the first
// free one in the bench's order; each call's trace line names its board.
TEST_F(SimDevice, BenchBoardsOpenByNameOrFirstFreeAndTraceTheirNames) {
    const auto trace = dir / "trace.log";
    set_controls({{"ORLIX_SIM_BENCH", "A,B,C"},
                  {"ORLIX_SIM_BENCH_DIR", (dir / "holds").string()},
                  {"ORLIX_SIM_TRACE", trace.string()}});
    orlix_device *b = nullptr, *a = nullptr, *c = nullptr, *none = nullptr;
    ASSERT_EQ(orlix_open(&b, "sim:B"), 0);
    ASSERT_EQ(orlix_open(&a, nullptr), 0) << "the first free board";
    ASSERT_EQ(orlix_open(&c, ""), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(orlix_open(&none, nullptr), ORLIX_ERR_BUSY);
    EXPECT_EQ(orlix_open(&none, "sim:B"), ORLIX_ERR_BUSY);
    EXPECT_EQ(orlix_open(&none, "sim:D"), ORLIX_ERR_NODEV);
    EXPECT_EQ(orlix_open(&none, "sim"), ORLIX_ERR_NODEV) << "a bench's board is named";
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[ERROR] orlix_open: every board of the bench is open"), std::string::npos);
    EXPECT_NE(err.find("[ERROR] orlix_open: board B is already open"), std::string::npos);
    EXPECT_NE(err.find("[ERROR] orlix_open: no board of the bench A,B,C matches \"sim:D\""),
              std::string::npos)
        << err;
    EXPECT_EQ(none, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(orlix_set_gain(a, 0, 10), 0);
    EXPECT_EQ(orlix_set_gain(c, 0, 20), 0);
    orlix_close(b);
    ASSERT_EQ(orlix_open(&none, nullptr), 0) << "B is free again";
    orlix_close(none);
    orlix_close(a);
    orlix_close(c);
    EXPECT_EQ(read_lines(trace), (std::vector<std::string>{
                                     "[B] orlix_open(\"sim:B\") -> 0",
                                     "[A] orlix_open(NULL) -> 0",
                                     "[C] orlix_open(\"\") -> 0",
                                     "orlix_open(NULL) -> -6",
                                     "orlix_open(\"sim:B\") -> -6",
                                     "orlix_open(\"sim:D\") -> -4",
                                     "orlix_open(\"sim\") -> -4",
                                     "[A] orlix_set_gain(dev, 0, 10) -> 0",
                                     "[C] orlix_set_gain(dev, 0, 20) -> 0",
                                     "[B] orlix_close(dev)",
                                     "[B] orlix_open(NULL) -> 0",
                                     "[B] orlix_close(dev)",
                                     "[A] orlix_close(dev)",
                                     "[C] orlix_close(dev)",
                                 }));
}

// A board's own controls replace the defaults whole, and its calls are
// counted apart from another board's.
TEST_F(SimDevice, BenchBoardsTakeTheirOwnControlsWholeAndCountTheirOwnCalls) {
    set_controls({{"ORLIX_SIM_BENCH", "A,B"},
                  {"ORLIX_SIM_BENCH_DIR", (dir / "holds").string()},
                  {"ORLIX_SIM_FAIL", "set_gain,set_frequency@2"},
                  {"ORLIX_SIM_FAIL_B", "set_clock_select"},
                  {"ORLIX_SIM_SIGNAL_B", "amplitude=0"}});
    orlix_device *a = nullptr, *b = nullptr;
    ASSERT_EQ(orlix_open(&a, "sim:A"), 0);
    ASSERT_EQ(orlix_open(&b, "sim:B"), 0);
    EXPECT_NE(orlix_set_gain(a, 0, 10), 0) << "A has the defaults";
    EXPECT_EQ(orlix_set_gain(b, 0, 10), 0) << "B's own rules replace them whole";
    EXPECT_NE(orlix_set_clock_select(b, 1), 0);
    EXPECT_EQ(orlix_set_clock_select(a, 1), 0);
    EXPECT_EQ(orlix_set_frequency(a, 0, 915000000), 0);
    EXPECT_EQ(orlix_set_frequency(b, 0, 915000000), 0);
    EXPECT_NE(orlix_set_frequency(a, 0, 915000000), 0) << "A's own second call";
    // Board B's receiver is dead, A's carries the tone.
    std::vector<std::int16_t> samples(2 * 4096);
    double peak[2] = {0, 0};
    orlix_device* boards[2] = {a, b};
    for (int i = 0; i < 2; ++i) {
        dev = boards[i];
        start_rx();
        ASSERT_EQ(orlix_sync_rx(dev, samples.data(), 4096, nullptr, 1000), 0);
        for (std::int16_t v : samples) peak[i] = std::max(peak[i], std::abs(double(v)));
    }
    dev = nullptr;
    EXPECT_GT(peak[0], 1000);
    EXPECT_LE(peak[1], 8);
    orlix_close(a);
    orlix_close(b);
}

// A malformed bench, or a board's malformed control, makes every open fail.
TEST_F(SimDevice, MalformedBenchOrBoardControlMakesEveryOpenFail) {
    for (const char* bench : {"A,,B", "A;B", "A,A", ",", "A-1"}) {
        SCOPED_TRACE(bench);
        testing::internal::CaptureStderr();
        set_controls({{"ORLIX_SIM_BENCH", bench}, {"ORLIX_SIM_BENCH_DIR", dir.path().string()}});
        EXPECT_EQ(orlix_open(&dev, nullptr), ORLIX_ERR_INVAL);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("ORLIX_SIM_BENCH: malformed bench"),
                  std::string::npos);
    }
    testing::internal::CaptureStderr();
    set_controls({{"ORLIX_SIM_BENCH", "A,B"},
                  {"ORLIX_SIM_BENCH_DIR", dir.path().string()},
                  {"ORLIX_SIM_HANG_B", "sync_rx"}});
    EXPECT_EQ(orlix_open(&dev, "sim:A"), ORLIX_ERR_INVAL);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "[CRITICAL] ORLIX_SIM_HANG_B: malformed rule \"sync_rx\""),
              std::string::npos);
}

// The holds go with the process: a board open in one process is busy in
// another, and free again once that process is gone, however it ended.
TEST_F(SimDevice, BenchBoardIsHeldByOneProcessAtATime) {
    set_controls({{"ORLIX_SIM_BENCH", "A,B"}, {"ORLIX_SIM_BENCH_DIR", dir.path().string()}});
    ASSERT_EQ(orlix_open(&dev, "sim:A"), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        // A process of its own, as another program: the parent's state forgotten.
        orlix_sim::reset();
        orlix_device* mine = nullptr;
        const int busy = orlix_open(&mine, "sim:A");
        const int any = orlix_open(&mine, nullptr);  // B
        const char result = busy == ORLIX_ERR_BUSY && any == 0 ? 'y' : 'n';
        if (write(ready[1], &result, 1) != 1) _exit(2);
        pause();  // holds B until killed
        _exit(0);
    }
    close(ready[1]);
    char result = 0;
    ASSERT_EQ(read(ready[0], &result, 1), 1);
    close(ready[0]);
    EXPECT_EQ(result, 'y') << "A busy in the other process, B free there";
    orlix_device* other = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(orlix_open(&other, "sim:B"), ORLIX_ERR_BUSY);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "orlix_open: board B is open in process " + std::to_string(child)),
              std::string::npos);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_EQ(orlix_open(&other, "sim:B"), 0) << "the killed holder left B free";
    orlix_close(other);
}

TEST_F(SimDevice, LogLinesGoToStandardErrorFilteredByVerbosity) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    orlix_log_set_verbosity(ORLIX_LOG_LEVEL_DEBUG);
    open_device();
    orlix_close(dev);
    dev = nullptr;
    orlix_log_set_verbosity(ORLIX_LOG_LEVEL_CRITICAL);
    orlix_device* none = nullptr;
    orlix_open(&none, "usb:0");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::vector<std::string> lines = test_support::split_lines(err);
    ASSERT_EQ(lines.size(), 2u) << err;
    EXPECT_EQ(lines[0].rfind("[DEBUG] orlix_open", 0), 0u);
    EXPECT_EQ(lines[1].rfind("[DEBUG] orlix_close", 0), 0u);
}

TEST_F(SimDevice, TraceThatCannotBeWrittenIsReportedOnce) {
    set_controls({{"ORLIX_SIM_TRACE", "/dev/full"}});
    testing::internal::CaptureStderr();
    open_device();
    orlix_set_clock_select(dev, 1);
    orlix_set_clock_select(dev, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[CRITICAL] ORLIX_SIM_TRACE: cannot write \"/dev/full\": No space left on device\n");
}

TEST_F(SimDevice, ReceiveFromAFifoWithoutAWriterTimesOut) {
    const auto fifo = dir / "rx.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    set_controls({{"ORLIX_SIM_RX_FILE", fifo.string()}});
    open_device();
    start_rx();
    std::vector<std::int16_t> buf(2 * 100);
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(orlix_sync_rx(dev, buf.data(), 100, nullptr, 300), ORLIX_ERR_TIMEOUT);
    const auto waited = std::chrono::steady_clock::now() - start;
    testing::internal::GetCapturedStderr();
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::seconds(3)) << "it gives up at the call's time-out";

    // A writer that delivers in time is read as a stream.
    const std::string bytes(400, '\x11');
    std::thread writer([&] {
        // Waits for the reader, but not for ever when the receive went wrong.
        int fd = -1;
        for (int tries = 0; fd < 0 && tries < 500; ++tries) {
            fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_GE(fd, 0);
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), 400);
        close(fd);
    });
    EXPECT_EQ(orlix_sync_rx(dev, buf.data(), 100, nullptr, 5000), 0);
    writer.join();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buf.data()), 400), bytes);
}

// An allocation that fails inside a call fails that call; no exception leaves
// the C interface, where it would end the program.
TEST_F(SimDevice, AllocationFailureInsideACallIsAnErrorStatus) {
    open_device();
    start_rx();
    std::vector<std::int16_t> buf(2 * 100);
    testing::internal::CaptureStderr();
    fail_allocations = true;
    const int rx = orlix_sync_rx(dev, buf.data(), 100, nullptr, 10);
    orlix_device* second = reinterpret_cast<orlix_device*>(&second);
    const int open = orlix_open(&second, "sim");
    fail_allocations = false;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rx, ORLIX_ERR_UNEXPECTED);
    EXPECT_EQ(open, ORLIX_ERR_UNEXPECTED);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(err.find("[CRITICAL] orlix_sync_rx: out of memory"), std::string::npos) << err;
    EXPECT_EQ(orlix_sync_rx(dev, buf.data(), 100, nullptr, 10), 0) << "and works again after";
}

}  // namespace
