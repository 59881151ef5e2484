#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "process.h"
#include "program_fixture.h"

namespace {

using test_support::lines_of;
using test_support::lines_starting;
using test_support::Result;
using test_support::split_lines;
using test_support::operator+;
using test_support::write_file;

const std::vector<std::string> kProgress = {
    "Opening device...",
    "Loading FPGA image...",
    "Setting sample rate to 10e6...",
    "Reloading the FPGA image...",
    "Setting tuning mode to FPGA...",
    "Setting sample rate again to 10e6...",
};

class ImageReloader : public test_support::ProgramTest {
protected:
    void SetUp() override { write_file(dir / "latest.rbf", "default image"); }
    Result run(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        return ProgramTest::run(IMAGE_RELOADER_BIN, std::move(args), std::move(env));
    }
};

TEST_F(ImageReloader, LoadsTwiceAndPasses) {
    write_file(dir / "my image.rbf", "image");
    const Result r = run({"-d", "sim", "extra operand", "--fpga", "my image.rbf"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(split_lines(r.out), lines_of({"Using device: sim", "Using FPGA file: my image.rbf"}) +
                                      kProgress + lines_of({"Passed!"}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(trace(), (std::vector<std::string>{
                           "orlix_log_set_verbosity(4)",
                           "orlix_open(\"sim\") -> 0",
                           "orlix_load_fpga(dev, \"my image.rbf\") -> 0",
                           "orlix_set_sample_rate(dev, 0, 10000000, NULL) -> 0",
                           "orlix_load_fpga(dev, \"my image.rbf\") -> 0",
                           "orlix_set_tuning_mode(dev, 1) -> 0",
                           "orlix_set_sample_rate(dev, 0, 10000000, NULL) -> 0",
                           "orlix_close(dev)",
                       }));
}

TEST_F(ImageReloader, DefaultImageAndVerbosityInParseOrder) {
    const Result r = run({"--device=sim:serial=1", "-v"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(split_lines(r.out),
              lines_of({"Using device: sim:serial=1", "Setting verbosity to verbose"}) + kProgress +
                  lines_of({"Passed!"}));
    const std::vector<std::string> t = trace();
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(t[0], "orlix_log_set_verbosity(4)");
    EXPECT_EQ(t[1], "orlix_log_set_verbosity(0)");
    EXPECT_EQ(t[2], "orlix_open(\"sim:serial=1\") -> 0");
    EXPECT_EQ(t[3], "orlix_load_fpga(dev, \"latest.rbf\") -> 0");
}

// What each step's failure prints and returns: the fault sweep. Here: each
// step's check has a line of its own, in the order of the steps.
TEST_F(ImageReloader, EachFailingStepReportsItsOwnCheck) {
    const std::regex report(R"(Error at .*image_reloader/src/main\.cpp:(\d+) \(main\): Status -1)");
    std::vector<int> lines;
    for (const char* rule : {"open", "load_fpga@1", "set_sample_rate@1", "load_fpga@2",
                             "set_tuning_mode", "set_sample_rate@2"}) {
        SCOPED_TRACE(rule);
        const Result r = run({"-d", "sim"}, {{"ORLIX_SIM_FAIL", rule}});
        std::smatch m;
        const std::string err = r.err.substr(0, r.err.find('\n'));
        ASSERT_TRUE(std::regex_match(err, m, report)) << r.err;
        lines.push_back(std::stoi(m[1]));
    }
    EXPECT_EQ(std::set<int>(lines.begin(), lines.end()).size(), 6u) << "six distinct checks";
    EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end()));
}

TEST_F(ImageReloader, RealLibraryErrorsExitWithTheirStatus) {
    Result r = run({"-d", "sim", "-f", "missing.rbf"});
    EXPECT_EQ(r.exit_code, 256 - 5) << "the library's input/output status";
    EXPECT_EQ(lines_starting(r.err, "Error at").size(), 1u);

    r = run({"-d", "usb:1"});
    EXPECT_EQ(r.exit_code, 256 - 4) << "no such device";
    EXPECT_EQ(split_lines(r.out), (std::vector<std::string>{"Using device: usb:1", kProgress[0]}));
}

TEST_F(ImageReloader, StatusWithNoLowBitsStillFails) {
    const Result r = run({"-d", "sim"}, {{"ORLIX_SIM_FAIL", "load_fpga=-256"}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("(main): Status -256\n"), std::string::npos);
}

TEST_F(ImageReloader, UsageErrorsOpenNoDevice) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
        std::string err;
    };
    const std::string prog = IMAGE_RELOADER_BIN;
    const Case cases[] = {
        {{}, "", "No device specified.\n"},
        {{"operand"}, "", "No device specified.\n"},
        {{"-f", "x.rbf"}, "Using FPGA file: x.rbf\n", "No device specified.\n"},
        {{"-v"}, "Setting verbosity to verbose\n", "No device specified.\n"},
        {{"-q", "-d", "sim"}, "", prog + ": illegal option -- q\n"},
        {{"-d", "sim", "--fpga"},
         "Using device: sim\n",
         prog + ": option requires an argument -- fpga\n"},
        {{"--device"}, "", prog + ": option requires an argument -- device\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        clear_trace();
        const Result r = run(c.args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        const std::vector<std::string> t = trace();
        ASSERT_FALSE(t.empty());
        for (const std::string& line : t) EXPECT_EQ(line.rfind("orlix_log_set_verbosity(", 0), 0u);
    }
}

}  // namespace
