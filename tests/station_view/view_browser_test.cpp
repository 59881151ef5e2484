// station_view's page in headless Chromium while a two-board station runs,
// against lines written and flushed at known times, a run folder used
// again, numbers, and a serial that holds markup.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "beneath.h"
#include "connections.h"
#include "cursor.h"
#include "decimal.h"
#include "outputs/report_page.h"
#include "page.h"
#include "process.h"
#include "record_reader.h"
#include "run_index.h"
#include "server.h"
#include "verdict.h"
#include "view_fixture.h"

namespace {

using nlohmann::json;
using test_support::Process;
using test_support::Result;
using test_support::StationView;
using test_support::TempDir;
using test_support::write_file;

// The browser's part: skipped where Chromium or its driver is missing.
class StationViewInBrowser : public StationView {
protected:
    void SetUp() override {
        StationView::SetUp();
        if (std::string(CHROMEDRIVER_BIN).empty() || std::string(CHROMIUM_BIN).empty()) {
            GTEST_SKIP() << "Chromium and its driver are not installed";
        }
    }
    Result check(const std::string& mode, std::vector<std::string> args) const {
        std::vector<std::string> all = {SOURCE_DIR "/tests/data/check_view.py",
                                        mode,
                                        CHROMEDRIVER_BIN,
                                        CHROMIUM_BIN,
                                        STATION_VIEW_BIN,
                                        std::to_string(port_)};
        all.insert(all.end(), args.begin(), args.end());
        return test_support::run(test_support::launch_in(dir.path(), PYTHON3_BIN, all));
    }
};

// Two boards on the board acceptance sequence, board B's receiver noisy: the
// page follows them, loses its viewer mid-run and ends with every line of
// both records in order, each step's verdict the record's.
TEST_F(StationViewInBrowser, FollowsATwoBoardStationThroughARestartOfTheViewer) {
    write_file(dir / "station.toml",
               "name = \"bench\"\n[[socket]]\nname = \"A\"\ndevice = \"sim:A\"\n"
               "[[socket]]\nname = \"B\"\ndevice = \"sim:B\"\n"
               "env = { ORLIX_SIM_SIGNAL = \"noise=100\" }\n");
    std::filesystem::create_directories(dir / "runs");
    Process station(test_support::launch_in(
        dir.path(), STATION_RUN_BIN,
        {"--station-file", "station.toml", "-s", "A=SN-1", "-s", "B=SN-2", "-o", "runs/line"}));
    const Result r =
        check("run", {(dir / "runs").string(), (dir / "view.png").string(), "line/A,line/B"});
    const Result s = station.wait();
    EXPECT_EQ(s.exit_code, 1) << s.out << s.err;
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const json result = json::parse(r.out);
    std::cout << "  " << r.out;
    EXPECT_GT(result["events_before_kill"].get<int>(), 0);
    EXPECT_GT(result["events_after_restart"].get<int>(), 0);
    EXPECT_EQ(result["runs"]["line/B"]["verdicts_shown"]["run"], "FAIL");
    // Why board B's checks failed, as its record says it.
    const json b_record =
        json::parse(test_support::read_file(dir / "runs" / "line" / "B" / "record.json"));
    EXPECT_EQ(
        result["runs"]["line/B"]["why_shown"]["capture-checks"],
        b_record["steps"][5]["attempts"][0]["measurements"][1]["name"].get<std::string>() + " = " +
            decimal_text(
                b_record["steps"][5]["attempts"][0]["measurements"][1]["value"].get<double>()) +
            " dB, low 30, high none");
    EXPECT_EQ(result["runs"]["line/A"]["why_shown"]["image-reload"], "no image given (-i)");
    // One board waited for the signal generator while the other captured.
    EXPECT_EQ(result["waits_shown"], json::array({"capture: waiting for rf-source, N s"}));
    std::filesystem::copy_file(dir / "view.png", BINARY_DIR "/station_view.png",
                               std::filesystem::copy_options::overwrite_existing);
}

// An operator at the page: starts a board in each socket of a waiting loop,
// answers each question as it comes, the two boards asking in turn, and
// sees both verdicts; the records say the view started the runs and gave
// every answer.
TEST_F(StationViewInBrowser, AnOperatorStartsBoardsAndAnswersThemInThePage) {
    write_file(dir / "station.toml",
               "name = \"bench\"\n[[socket]]\nname = \"A\"\ndevice = \"sim:A\"\n"
               "[[socket]]\nname = \"B\"\ndevice = \"sim:B\"\n");
    write_file(dir / "operator.toml", R"(name = "operator"
version = "1"
[[step]]
name = "connect"
prompt = "Connect the antenna"
[[step]]
name = "led"
prompt = "Is the LED green?"
answer = "yes-no"
expect = "yes"
[[step]]
name = "power"
prompt = "Read the meter"
answer = "number"
units = "dBm"
low = 10
high = 20
)");
    const Result r = test_support::run(test_support::launch_in(
        dir.path(), PYTHON3_BIN,
        {SOURCE_DIR "/tests/data/check_control.py", CHROMEDRIVER_BIN, CHROMIUM_BIN,
         STATION_VIEW_BIN, STATION_RUN_BIN, std::to_string(port_), (dir / "loop").string(),
         (dir / "operator.toml").string(), (dir / "station.toml").string(),
         (dir / "operator.png").string()}));
    std::cout << "  " << r.out;
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    std::filesystem::copy_file(dir / "operator.png", BINARY_DIR "/station_view_operator.png",
                               std::filesystem::copy_options::overwrite_existing);
}

// Every line written and flushed reaches the page, promptly even on a loaded
// machine; the target, 100 ms at the 95th percentile, is the benchmark's.
TEST_F(StationViewInBrowser, EveryRecordLineReachesThePagePromptly) {
    std::filesystem::create_directories(dir / "runs");
    const Result r = check("latency", {(dir / "runs").string(), "100", "2000"});
    std::cout << "  " << r.out;
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

// A run folder emptied and used again while the page is open: its card is
// the new run's alone, never the old serial beside the new verdict.
TEST_F(StationViewInBrowser, ARunFolderUsedAgainStartsItsCardAnew) {
    std::filesystem::create_directories(dir / "runs");
    const Result r = check("reuse", {(dir / "runs").string()});
    std::cout << "  " << r.out;
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

// A measurement's value reads in the view as the record's other readers
// write it.
TEST_F(StationViewInBrowser, NumbersReadAsTheConsoleAndThePagesWriteThem) {
    std::filesystem::create_directories(dir / "runs");
    const double values[] = {0,
                             -0.0,
                             0.1,
                             1.0 / 3,
                             123456789.123,
                             1e10,
                             12345678901.0,
                             1e-5,
                             0.0001234,
                             -2.5e-7,
                             48.27742747528602,
                             20,
                             1e21,
                             -77.42433100317534,
                             9.99999999995e9};
    json list = json::array();
    std::vector<std::string> expected;
    for (double v : values) {
        list.push_back(v);
        expected.push_back(decimal_text(v));
    }
    const Result r = check("numbers", {(dir / "runs").string(), list.dump()});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(json::parse(r.out).get<std::vector<std::string>>(), expected);
}

TEST_F(StationViewInBrowser, MarkupInASerialOrANoteIsTextAndRunsNothing) {
    const std::string serial = "<img src=x onerror=\"window.__pwned=1\"><b>SN</b>";
    write_file(dir / "markup.toml", R"(name = "markup"
version = "1"
[[step]]
name = "noise"
run = ["sh", "-c", "echo 'value: <script>window.__pwned=1</script>'"]
  [[step.measure]]
  name = "value"
  stdout = 'value: (.*)'
)");
    std::filesystem::create_directories(dir / "runs");
    const Result run = test_support::run(test_support::launch_in(
        dir.path(), STATION_RUN_BIN, {"-s", serial, "-o", "runs/markup", "markup.toml"}));
    EXPECT_EQ(run.exit_code, 2) << run.out << run.err;
    const Result r = check("hostile", {(dir / "runs").string(), serial});
    std::cout << "  " << r.out;
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

}  // namespace
