// The report page in a real browser: its DOM, a picture and a PDF of it, and
// its layout and contrast measured from the page itself at a phone's width
// and a desk's.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "board_run_fixture.h"
#include "process.h"

namespace {

using nlohmann::json;
using test_support::BoardRun;
using test_support::Process;
using test_support::read_file;
using test_support::Result;
using test_support::split_lines;
using test_support::write_file;

// The page in a real browser: rendered to a picture and a PDF, and its DOM
// holding the verdict, every step and every measurement with its value.
TEST_F(BoardRun, ReportPageReadsInABrowserAndPrints) {
    const std::string chromium = CHROMIUM_BIN;
    if (chromium.empty()) GTEST_SKIP() << "Chromium is not installed";
    ASSERT_EQ(run_station({"-i", "image.rbf", "-s", "SN-0042", "--operator", "ada", "-o", "run"})
                  .exit_code,
              0);
    const std::string page = read_file(dir / "run/report.html");
    EXPECT_LT(page.size(), 2u << 20) << "under 2 MB";
    EXPECT_EQ(page.find("<script"), std::string::npos) << "no script needed";
    EXPECT_EQ(page.find("http://"), std::string::npos) << "no outside resource";
    EXPECT_EQ(page.find("https://"), std::string::npos);
    EXPECT_NE(page.find("src=\"data:image/png;base64,"), std::string::npos)
        << "the capture's picture";
    // Written again from the record, it is the same page.
    std::filesystem::rename(dir / "run/report.html", dir / "first.html");
    ASSERT_EQ(run_station({"--report", "run"}).exit_code, 0);
    EXPECT_EQ(read_file(dir / "run/report.html"), page);

    auto browse = [&](std::vector<std::string> args) {
        std::vector<std::string> all = {"--headless",
                                        "--no-sandbox",
                                        "--disable-gpu",
                                        "--disable-quic",
                                        "--no-first-run",
                                        "--disable-background-networking",
                                        "--disable-component-update",
                                        "--disable-sync",
                                        "--user-data-dir=" + (dir / "chromium").string()};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back("file://" + (dir / "run/report.html").string());
        return test_support::run(test_support::launch_in(dir.path(), chromium, all));
    };
    const Result dom = browse({"--dump-dom"});
    ASSERT_EQ(dom.exit_code, 0) << dom.err;
    EXPECT_NE(dom.out.find("id=\"verdict\">PASS</div>"), std::string::npos);
    const json rec = test_support::parse_file(dir / "run/record.json");
    for (const json& step : rec["steps"]) {
        const std::string name = step["name"];
        EXPECT_NE(dom.out.find("<td>" + name + "</td>"), std::string::npos) << name;
        for (const json& m : step["attempts"].back()["measurements"]) {
            char value[64];
            std::snprintf(value, sizeof value, "%.10g", m["value"].get<double>());
            const std::string row = "<td>" + name + "</td><td>" + m["name"].get<std::string>() +
                                    "</td><td class=\"n\">" + value + "</td>";
            EXPECT_NE(dom.out.find(row), std::string::npos) << row;
        }
    }
    ASSERT_EQ(browse({"--window-size=1200,1900", "--screenshot=" + (dir / "page.png").string()})
                  .exit_code,
              0);
    EXPECT_EQ(read_file(dir / "page.png").substr(0, 8), "\x89PNG\r\n\x1a\n");
    ASSERT_EQ(browse({"--print-to-pdf=" + (dir / "page.pdf").string(), "--no-pdf-header-footer"})
                  .exit_code,
              0);
    EXPECT_EQ(read_file(dir / "page.pdf").substr(0, 5), "%PDF-");
    // Kept for the manual: the page as a person sees it.
    std::filesystem::copy_file(dir / "page.png", BINARY_DIR "/station_report.png",
                               std::filesystem::copy_options::overwrite_existing);
}

// Every verdict's badge on one page, long words that do not break, and a
// capture: the page fits a 390 px phone without scrolling sideways, every
// text is readable (WCAG AA), and its tables are marked up for a reader.
TEST_F(BoardRun, ReportPageFitsAPhoneAndEveryTextIsReadable) {
    if (std::string(CHROMEDRIVER_BIN).empty() || std::string(CHROMIUM_BIN).empty()) {
        GTEST_SKIP() << "Chromium and its driver are not installed";
    }
    const std::string seq = sequence("all.toml", R"(
[[step]]
name = "capture"
run = ["twin_capture"]
[[step]]
name = "figures"
run = ["capture_inspect", "--json", "--plot", "capture.png", "dual_test.bin"]
  [[step.measure]]
  name = "marginal"
  json = "/channels/0/tone_above_floor_db"
  low = 20
  marginal_low = 1000
  [[step.measure]]
  name = "failing"
  json = "/channels/0/tone_above_floor_db"
  high = 20
  [[step.measure]]
  name = "missing"
  json = "/no/such/figure"
[[step]]
name = "a-step-name-long-enough-to-need-breaking-on-a-phone-0123456789"
run = ["sh", "-c", "head -c 3000 /dev/zero | tr '\\0' x; echo; sleep 5"]
timeout_s = 0.3
[[step]]
name = "skipped"
run = ["true"]
requires = ["image"]
)");
    const Result r = run_station({"-s", "SN-" + std::string(120, '7'), "-o", "run", seq});
    EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
    // An aborted run's banner too.
    Process aborted(station({"-o", "aborted", seq}));
    ASSERT_TRUE(test_support::wait_for_record(dir / "aborted", "\"step_started\""));
    aborted.send_signal(SIGTERM);
    aborted.wait();
    for (const char* folder : {"run", "aborted"}) {
        SCOPED_TRACE(folder);
        const Result check = test_support::run(
            test_support::launch_in(dir.path(), PYTHON3_BIN,
                                    {SOURCE_DIR "/tests/data/check_page.py", CHROMEDRIVER_BIN,
                                     CHROMIUM_BIN, (dir / folder / "report.html").string(),
                                     (dir / folder).string() + "/page", "390", "1280"}));
        EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
        for (const std::string& line : split_lines(check.out)) {
            const json width = json::parse(line);
            SCOPED_TRACE(width["width"].dump());
            EXPECT_LE(width["scroll_width"], width["view_width"]) << "no sideways scroll";
            EXPECT_EQ(width["main"], 1);
            EXPECT_EQ(width["unscoped_headers"], 0);
            EXPECT_EQ(width["contrast_faults"], json::array());
            EXPECT_EQ(width["broken_words"], json::array()) << "a word of a cell in pieces";
            EXPECT_EQ(width["unreachable_scrolls"], 0) << "a region the keyboard cannot scroll";
            for (const json& badge : width["badges"]) {
                EXPECT_GE(badge[1].get<double>(), 4.5) << badge[0];
            }
        }
    }
    // The phone's view, for the manual.
    std::filesystem::copy_file(dir / "run/page-390.png", BINARY_DIR "/station_report_phone.png",
                               std::filesystem::copy_options::overwrite_existing);
}

}  // namespace
