// Every library call a program makes, failed in turn: alone ("op@n") and with
// every later call of its operation ("op@n+"). Each rerun must end exactly as a
// model of the program's documented behaviour says: the calls that follow, its
// reports, its exit status, one close of an opened device, no null handle, and
// an earlier capture left alone.
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

namespace {

using test_support::Launch;
using test_support::lines_starting;
using test_support::Process;
using test_support::read_file;
using test_support::read_lines;
using test_support::Result;
using test_support::TempDir;
using test_support::write_file;

// One failing rule, and what the program must do under it, built by replaying
// the program's documented sequence of calls.
class Model {
public:
    Model(std::string op = "", std::uint64_t nth = 0, bool later = false)
        : op_(std::move(op)), nth_(nth), later_(later) {}

    // Records a call that returns a status; gives that status.
    int call(const std::string& op, const std::string& text) {
        const std::uint64_t n = ++counts_[op];
        const bool fails = op == op_ && (later_ ? n >= nth_ : n == nth_);
        const int status = fails ? -1 : 0;
        trace.push_back(text + " -> " + std::to_string(status));
        return status;
    }
    void note(const std::string& text) { trace.push_back(text); }

    std::vector<std::string> trace;
    std::vector<std::string> reports;  // the program's own failure lines, in order
    int exit_code = 0;

private:
    std::string op_;
    std::uint64_t nth_;
    bool later_;
    std::map<std::string, std::uint64_t> counts_;
};

// A failable call of a trace: its operation and which call of it it is.
struct Call {
    std::string op;
    std::uint64_t nth;
};

std::vector<Call> failable_calls(const std::vector<std::string>& trace) {
    static const std::regex kLine(R"(orlix_(\w+)\(.*\) -> -?\d+)");
    std::vector<Call> calls;
    std::map<std::string, std::uint64_t> counts;
    for (const std::string& line : trace) {
        std::smatch m;
        if (std::regex_match(line, m, kLine)) calls.push_back({m[1], ++counts[m[1]]});
    }
    return calls;
}

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
    std::function<void(Model&)> model;
    std::function<void(const std::filesystem::path&)> prepare = nullptr;  // the run's folder
    std::function<void(const std::filesystem::path&, const Model&)> check_files = nullptr;
    bool null_close_allowed = false;
};

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
        Launch l;
        l.argv = {s.bin};
        l.argv.insert(l.argv.end(), s.args.begin(), s.args.end());
        l.env = {{"ORLIX_SIM_TRACE", (*dir / "trace.log").string()}, {"ORLIX_SIM_FAIL", rule}};
        l.cwd = *dir / "work";
        auto process = std::make_unique<Process>(l);
        return std::make_pair(std::move(dir), std::move(process));
    };

    auto [base_dir, base_process] = start("");
    const Result base = base_process->wait();
    const std::vector<std::string> base_trace = read_lines(*base_dir / "trace.log");
    Model clean;
    s.model(clean);
    EXPECT_EQ(base.exit_code, 0) << base.err;
    EXPECT_EQ(base_trace, clean.trace) << "the model must match a clean run";

    const std::vector<Call> calls = failable_calls(base_trace);
    std::vector<Rerun> reruns;
    for (std::size_t k = 0; k < calls.size(); ++k) {
        for (const bool later : {false, true}) {
            const Call& c = calls[k];
            Rerun r{c.op + "@" + std::to_string(c.nth) + (later ? "+" : ""),
                    Model(c.op, c.nth, later), nullptr, nullptr, k};
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
        expect_handle_discipline(trace, s.null_close_allowed);
        // A failed check's report names the program's source line; its form is
        // checked here, and the line numbers by each program's own tests.
        static const std::regex kCheck(R"(Error at .*/src/main\.cpp:\d+ \(main\): Status -1)");
        std::vector<std::string> reports;
        for (const std::string prefix : {"Failed", "Error at", "Attempting"}) {
            for (const std::string& line : lines_starting(out.err, prefix)) {
                const bool check = prefix == "Error at";
                if (check) {
                    EXPECT_TRUE(std::regex_match(line, kCheck)) << line;
                }
                reports.push_back(check ? "Error at report" : line);
            }
        }
        std::vector<std::string> expected = r.model.reports;
        std::sort(reports.begin(), reports.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(reports, expected) << out.err;
        if (s.check_files) s.check_files(r.dir->path(), r.model);
        if (result->total_part_count() != before) passed[r.call] = false;
    }
    const auto swept = static_cast<std::size_t>(std::count(passed.begin(), passed.end(), true));
    std::cout << label << ": swept " << swept << " of " << calls.size() << " calls" << std::endl;
    EXPECT_EQ(swept, calls.size());
    return calls.size();
}

// ---- twin_capture ----------------------------------------------------------

void twin_capture_model(Model& m) {
    auto failed = [&m](const std::string& text, const char* why = "Unexpected failure") {
        m.reports.push_back("Failed at " + text + ": " + why);
        m.exit_code = 1;
    };
    m.note("orlix_log_set_verbosity(1)");
    const bool opened = m.call("open", "orlix_open(NULL)") == 0;
    bool ok = opened;
    if (!opened) failed("orlix_open(&dev, devstr)");
    auto step = [&](const std::string& op, const std::string& args, const std::string& text) {
        if (ok && m.call(op, "orlix_" + op + "(dev, " + args + ")") != 0) {
            failed(text);
            ok = false;
        }
        return ok;
    };
    if (ok) {
        bool init = step("sync_config", "2, 0, 5120, 16384, 64, 3500",
                         "orlix_sync_config(dev, ORLIX_RX_X2, ORLIX_FORMAT_SC16_Q11, num_buffers, "
                         "buffer_size, num_transfers, timeout_ms)");
        for (const std::string c : {"0", "2"}) {
            init = init &&
                   step("set_frequency", c + ", 915000000",
                        "orlix_set_frequency(dev, ORLIX_CHANNEL_RX(i), (orlix_frequency)freq)") &&
                   step("set_sample_rate", c + ", 2000000, NULL",
                        "orlix_set_sample_rate(dev, ORLIX_CHANNEL_RX(i), samp_rate, NULL)") &&
                   step("set_gain_mode", c + ", 1",
                        "orlix_set_gain_mode(dev, ORLIX_CHANNEL_RX(i), ORLIX_GAIN_MGC)") &&
                   step("set_gain", c + ", 60", "orlix_set_gain(dev, ORLIX_CHANNEL_RX(i), 60)");
        }
        if (!init) failed("init_sync(dev, NUM_CHANNELS, samp_rate)", "Unknown error");
    }
    step("enable_module", "0, true", "orlix_enable_module(dev, ORLIX_CHANNEL_RX(0), true)") &&
        step("enable_module", "2, true", "orlix_enable_module(dev, ORLIX_CHANNEL_RX(1), true)") &&
        step("sync_rx", "buf, 20000000, NULL, 5000",
             "orlix_sync_rx(dev, samples, NUM_CHANNELS * NUM_SAMPLES, NULL, 5000)");
    if (opened) {
        if (m.call("enable_module", "orlix_enable_module(dev, 0, false)") != 0)
            failed("orlix_enable_module(dev, ORLIX_CHANNEL_RX(0), false)");
        if (m.call("enable_module", "orlix_enable_module(dev, 2, false)") != 0)
            failed("orlix_enable_module(dev, ORLIX_CHANNEL_RX(1), false)");
    }
    m.note(opened ? "orlix_close(dev)" : "orlix_close(NULL)");
}

TEST(fault_sweep, twin_capture) {
    Scenario s{TWIN_CAPTURE_BIN, {}, twin_capture_model};
    s.null_close_allowed = true;
    s.prepare = [](const std::filesystem::path& dir) {
        write_file(dir / "work/dual_test.bin", "earlier capture");
    };
    s.check_files = [](const std::filesystem::path& dir, const Model& m) {
        // Only a capture that was received is written; a failed disable comes after.
        const bool captured =
            std::find(m.trace.begin(), m.trace.end(),
                      "orlix_sync_rx(dev, buf, 20000000, NULL, 5000) -> 0") != m.trace.end();
        if (captured) {
            EXPECT_EQ(std::filesystem::file_size(dir / "work/dual_test.bin"), 80'000'000u);
        } else {
            EXPECT_EQ(read_file(dir / "work/dual_test.bin"), "earlier capture");
        }
        EXPECT_EQ(test_support::files_starting(dir / "work", "dual_test.bin."),
                  std::vector<std::string>{});
    };
    sweep(s, "twin_capture");
}

// ---- image_reloader --------------------------------------------------------

void image_reloader_model(Model& m) {
    m.note("orlix_log_set_verbosity(4)");
    const bool opened = m.call("open", "orlix_open(\"sim\")") == 0;
    const std::pair<const char*, const char*> steps[] = {
        {"load_fpga", "orlix_load_fpga(dev, \"image.rbf\")"},
        {"set_sample_rate", "orlix_set_sample_rate(dev, 0, 10000000, NULL)"},
        {"load_fpga", "orlix_load_fpga(dev, \"image.rbf\")"},
        {"set_tuning_mode", "orlix_set_tuning_mode(dev, 1)"},
        {"set_sample_rate", "orlix_set_sample_rate(dev, 0, 10000000, NULL)"},
    };
    bool ok = opened;
    for (const auto& [op, text] : steps) {
        if (ok) ok = m.call(op, text) == 0;
    }
    if (!ok) {
        m.reports.push_back("Error at report");  // its form is checked apart
        m.exit_code = 255;                       // the status -1
    }
    if (opened) m.note("orlix_close(dev)");
}

TEST(fault_sweep, image_reloader) {
    Scenario s{IMAGE_RELOADER_BIN, {"-d", "sim", "-f", "image.rbf"}, image_reloader_model};
    s.prepare = [](const std::filesystem::path& dir) { write_file(dir / "work/image.rbf", "x"); };
    sweep(s, "image_reloader");
}

// ---- burst_sender ----------------------------------------------------------

std::function<void(Model&)> burst_sender_model(std::vector<unsigned> lengths) {
    return [lengths](Model& m) {
        m.exit_code = 1;
        if (m.call("open", "orlix_open(NULL)") != 0) {
            m.note("orlix_close(NULL)");
            return;
        }
        auto done = [&m] { m.note("orlix_close(dev)"); };
        if (m.call("set_frequency", "orlix_set_frequency(dev, 1, 915000000)") != 0 ||
            m.call("set_sample_rate", "orlix_set_sample_rate(dev, 1, 10000000, NULL)") != 0 ||
            m.call("set_bandwidth", "orlix_set_bandwidth(dev, 1, 10000000, NULL)") != 0 ||
            m.call("sync_config", "orlix_sync_config(dev, 1, 3, 512, 4096, 16, 3000000)") != 0 ||
            m.call("enable_module", "orlix_enable_module(dev, 1, true)") != 0) {
            return done();
        }
        for (const unsigned n : lengths) {
            const std::string text =
                "orlix_sync_tx(dev, buf, " + std::to_string(n) + ", {timestamp=0, flags=7}, 3000)";
            if (m.call("sync_tx", text) != 0) return done();  // the channel stays enabled
        }
        if (m.call("enable_module", "orlix_enable_module(dev, 1, false)") == 0) m.exit_code = 0;
        done();
    };
}

TEST(fault_sweep, burst_sender) {
    Scenario fixed{BURST_SENDER_BIN, {"-n", "3", "-s", "8"}, burst_sender_model({8, 8, 8})};
    fixed.null_close_allowed = true;
    Scenario rotating{BURST_SENDER_BIN, {"-n", "5"}, burst_sender_model({40, 17, 43, 23, 40})};
    rotating.null_close_allowed = true;
    sweep(fixed, "burst_sender -n 3 -s 8");
    sweep(rotating, "burst_sender -n 5");
}

// ---- refswitch_soak --------------------------------------------------------

std::function<void(Model&)> refswitch_soak_model(bool harsh) {
    return [harsh](Model& m) {
        const std::string open_text = "orlix_open(NULL)";
        bool open = false;
        bool check_failed = false;
        std::uint64_t failures = 0;
        auto check = [&](bool ok) {
            if (!ok) {
                m.reports.push_back("Error at report");
                check_failed = true;
            }
            return ok;
        };
        if (!harsh) open = check(m.call("open", open_text) == 0);
        for (int i = 0; i < 3 && !check_failed; ++i) {
            if (harsh) {
                if (!check(m.call("open", open_text) == 0)) break;
                open = true;
                if (!check(m.call("load_fpga", "orlix_load_fpga(dev, \"image.rbf\")") == 0)) break;
            }
            if (m.call("set_clock_select", "orlix_set_clock_select(dev, 1)") != 0 ||
                m.call("set_clock_select", "orlix_set_clock_select(dev, 0)") != 0) {
                m.reports.push_back("Failed to set clock select: Unexpected failure");
                m.reports.push_back("Attempting to reopen device...");
                ++failures;
                m.note("orlix_close(dev)");
                open = check(m.call("open", open_text) == 0);
                if (!open) break;
            }
            if (harsh) {
                m.note("orlix_close(dev)");
                open = false;
            }
        }
        if (open) m.note("orlix_close(dev)");
        m.exit_code = check_failed || failures != 0 ? 1 : 0;
    };
}

TEST(fault_sweep, refswitch_soak) {
    sweep(Scenario{REFSWITCH_SOAK_BIN, {"-i", "3"}, refswitch_soak_model(false)},
          "refswitch_soak -i 3");
    Scenario harsh{
        REFSWITCH_SOAK_BIN, {"-i", "3", "-r", "-l", "image.rbf", "-p"}, refswitch_soak_model(true)};
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
