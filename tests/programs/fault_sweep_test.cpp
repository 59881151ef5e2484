// Every library call a program makes, failed in turn: alone ("op@n") and with
// every later call of its operation ("op@n+"), with every failure status in
// turn. Each rerun must end exactly as the program's model says: the calls
// that follow, what it prints, its exit status, one close of an opened device,
// no null handle, and an earlier capture left alone.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "process.h"
#include "program_models.h"

namespace {

using test_support::Call;
using test_support::failable_calls;
using test_support::Launch;
using test_support::Model;
using test_support::Process;
using test_support::ProgramModel;
using test_support::read_file;
using test_support::read_lines;
using test_support::Result;
using test_support::TempDir;
using test_support::write_file;

// Checks the handle's life in a trace, independently of any model: no call
// on a closed device or with a null handle (but open and the close the
// program makes after a failed open), and every opened device closed once.
void expect_handle_discipline(const std::vector<std::string>& trace, bool null_close_allowed) {
    bool open = false;
    for (const std::string& line : trace) {
        if (line.rfind("orlix_open(", 0) == 0) {
            EXPECT_FALSE(open) << "opened twice: " << line;
            open = line.ends_with(" -> 0");
        } else if (line == "orlix_close(dev)") {
            EXPECT_TRUE(open) << "closed a device that was not open";
            open = false;
        } else if (line == "orlix_close(NULL)") {
            EXPECT_TRUE(null_close_allowed) << line;
        } else if (line.find("(dev") != std::string::npos) {
            EXPECT_TRUE(open) << "a call on a closed device: " << line;
        } else if (line.find("(NULL") != std::string::npos) {
            ADD_FAILURE() << "a null handle: " << line;
        }
    }
    EXPECT_FALSE(open) << "the device was left open";
}

struct Scenario {
    const char* bin;
    std::vector<std::string> args;
    ProgramModel model;
    std::function<void(const std::filesystem::path&)> prepare = nullptr;  // the run's folder
    std::function<void(const std::filesystem::path&, const Model&)> check_files = nullptr;
    bool null_close_allowed = false;
};

// The status the k-th call of a sweep fails with: every failure status in
// turn, so that each report's text is predicted from its status.
int status_for(std::size_t k) {
    return -2 - static_cast<int>(k % 8);  // ORLIX_ERR_RANGE .. ORLIX_ERR_TIMEOUT
}

// Runs the scenario once to list its calls, then fails each in turn, all
// reruns side by side; prints and returns how many calls passed both ways.
std::size_t sweep(const Scenario& s, const std::string& label) {
    struct Rerun {
        std::string rule;
        Model model;
        std::unique_ptr<TempDir> dir;
        std::unique_ptr<Process> process;
        std::size_t call;
    };
    auto start = [&](const std::string& rule) {
        auto dir = std::make_unique<TempDir>();
        std::filesystem::create_directory(*dir / "work");
        if (s.prepare) s.prepare(dir->path());
        const Launch l = test_support::launch_in(
            *dir / "work", s.bin, s.args,
            {{"ORLIX_SIM_TRACE", (*dir / "trace.log").string()}, {"ORLIX_SIM_FAIL", rule}});
        return std::make_pair(std::move(dir), std::make_unique<Process>(l));
    };

    auto [base_dir, base_process] = start("");
    const Result base = base_process->wait();
    const std::vector<std::string> base_trace = read_lines(*base_dir / "trace.log");
    Model clean;
    s.model(clean);
    EXPECT_EQ(base.exit_code, 0) << base.err;
    EXPECT_EQ(base_trace, clean.trace) << "the model must match a clean run";
    EXPECT_EQ(test_support::modelled_out(base.out), clean.out);

    const std::vector<Call> calls = failable_calls(base_trace);
    std::vector<Rerun> reruns;
    for (std::size_t k = 0; k < calls.size(); ++k) {
        for (const bool later : {false, true}) {
            const Call& c = calls[k];
            const int status = status_for(k + (later ? 3 : 0));
            Rerun r{c.op + "@" + std::to_string(c.nth) + (later ? "+" : "") + "=" +
                        std::to_string(status),
                    Model(c.op, c.nth, later, status), nullptr, nullptr, k};
            s.model(r.model);
            std::tie(r.dir, r.process) = start(r.rule);
            reruns.push_back(std::move(r));
        }
    }

    std::vector<bool> passed(calls.size(), true);
    const auto* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    for (Rerun& r : reruns) {
        SCOPED_TRACE(label + " with ORLIX_SIM_FAIL=" + r.rule);
        const int before = result->total_part_count();
        const Result out = r.process->wait();
        const std::vector<std::string> trace = read_lines(*r.dir / "trace.log");
        EXPECT_EQ(out.term_signal, 0);
        EXPECT_EQ(out.exit_code, r.model.exit_code);
        EXPECT_EQ(trace, r.model.trace);
        EXPECT_EQ(test_support::modelled_out(out.out), r.model.out);
        EXPECT_EQ(test_support::modelled_err(out.err), r.model.err) << out.err;
        expect_handle_discipline(trace, s.null_close_allowed);
        if (s.check_files) s.check_files(r.dir->path(), r.model);
        if (result->total_part_count() != before) passed[r.call] = false;
    }
    const auto swept = static_cast<std::size_t>(std::count(passed.begin(), passed.end(), true));
    std::cout << label << ": swept " << swept << " of " << calls.size() << " calls" << std::endl;
    EXPECT_EQ(swept, calls.size());
    return calls.size();
}

TEST(FaultSweep, TwinCapture) {
    Scenario s{TWIN_CAPTURE_BIN, {}, test_support::twin_capture_model};
    s.null_close_allowed = true;
    s.prepare = [](const std::filesystem::path& dir) {
        write_file(dir / "work/dual_test.bin", "earlier capture");
    };
    s.check_files = [](const std::filesystem::path& dir, const Model& m) {
        // Only a capture that was received is written; a failed disable comes after.
        const bool captured = !m.out.empty();
        if (captured) {
            EXPECT_EQ(std::filesystem::file_size(dir / "work/dual_test.bin"),
                      test_support::kCaptureBytes);
        } else {
            EXPECT_EQ(read_file(dir / "work/dual_test.bin"), "earlier capture");
        }
        EXPECT_EQ(test_support::files_starting(dir / "work", "dual_test.bin."),
                  std::vector<std::string>{});
    };
    sweep(s, "twin_capture");
}

TEST(FaultSweep, ImageReloader) {
    Scenario s{
        IMAGE_RELOADER_BIN, {"-d", "sim", "-f", "image.rbf"}, test_support::image_reloader_model};
    s.prepare = [](const std::filesystem::path& dir) { write_file(dir / "work/image.rbf", "x"); };
    sweep(s, "image_reloader");
}

TEST(FaultSweep, BurstSender) {
    Scenario fixed{
        BURST_SENDER_BIN, {"-n", "3", "-s", "8"}, test_support::burst_sender_model({8, 8, 8}, 8)};
    fixed.null_close_allowed = true;
    Scenario rotating{
        BURST_SENDER_BIN, {"-n", "5"}, test_support::burst_sender_model({40, 17, 43, 23, 40}, 0)};
    rotating.null_close_allowed = true;
    sweep(fixed, "burst_sender -n 3 -s 8");
    sweep(rotating, "burst_sender -n 5");
}

TEST(FaultSweep, RefswitchSoak) {
    sweep(Scenario{REFSWITCH_SOAK_BIN, {"-i", "3"}, test_support::refswitch_soak_model(3, false)},
          "refswitch_soak -i 3");
    Scenario harsh{REFSWITCH_SOAK_BIN,
                   {"-i", "3", "-r", "-l", "image.rbf", "-p"},
                   test_support::refswitch_soak_model(3, true)};
    harsh.prepare = [](const std::filesystem::path& dir) {
        write_file(dir / "work/image.rbf", "x");
        const auto folder = dir / "libraries/libOrlix_test/common/arduino/power-toggle";
        std::filesystem::create_directories(folder);
        write_file(folder / "turn.sh", "#!/bin/sh\nexit 0\n");
        std::filesystem::permissions(folder / "turn.sh", std::filesystem::perms::owner_all);
    };
    sweep(harsh, "refswitch_soak -i 3 -r -l image.rbf -p");
}

}  // namespace
