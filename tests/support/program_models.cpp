#include "program_models.h"

#include <cstring>
#include <regex>

#include "orlix.h"
#include "receive_signal.h"

namespace test_support {

Model::Model(std::string op, std::uint64_t nth, bool later, int status)
    : op_(std::move(op)), nth_(nth), later_(later), status_(status) {}

int Model::call(const std::string& op, const std::string& text) {
    const std::uint64_t n = ++counts_[op];
    const bool fails = op == op_ && (later_ ? n >= nth_ : n == nth_);
    const int status = fails ? status_ : 0;
    trace.push_back(text + " -> " + std::to_string(status));
    return status;
}

namespace {

std::string check_report(int status) {
    return "Error at CHECK (main): Status " + std::to_string(status);
}

// The last status a call returned in the trace: what a report names.
int last_status(const Model& m) {
    const std::string& line = m.trace.back();
    return std::stoi(line.substr(line.rfind(" -> ") + 4));
}

}  // namespace

void twin_capture_model(Model& m) {
    auto failed = [&m](const std::string& text, int status) {
        m.err.push_back("Failed at " + text + ": " + orlix_strerror(status));
        m.exit_code = 1;
    };
    m.note("orlix_log_set_verbosity(1)");
    const bool opened = m.call("open", "orlix_open(NULL)") == 0;
    bool ok = opened;
    if (!opened) failed("orlix_open(&dev, devstr)", last_status(m));
    auto step = [&](const std::string& op, const std::string& args, const std::string& text) {
        if (ok && m.call(op, "orlix_" + op + "(dev, " + args + ")") != 0) {
            failed(text, last_status(m));
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
        if (!init) failed("init_sync(dev, NUM_CHANNELS, samp_rate)", 1);
    }
    const bool captured =
        step("enable_module", "0, true", "orlix_enable_module(dev, ORLIX_CHANNEL_RX(0), true)") &&
        step("enable_module", "2, true", "orlix_enable_module(dev, ORLIX_CHANNEL_RX(1), true)") &&
        step("sync_rx", "buf, 20000000, NULL, 5000",
             "orlix_sync_rx(dev, samples, NUM_CHANNELS * NUM_SAMPLES, NULL, 5000)");
    if (captured) {
        // The preview: the first ten frames of the default signal at 2 MS/s.
        std::int16_t v[40];
        orlix_sim::fill_signal({}, {2e6, 2e6}, v, 0, 20);
        m.out.push_back("Sample Preview:");
        for (int k = 0; k < 10; ++k) {
            m.out.push_back("[ch1]" + std::to_string(v[4 * k]) + ", " +
                            std::to_string(v[4 * k + 1]));
            m.out.push_back("[ch2]" + std::to_string(v[4 * k + 2]) + ", " +
                            std::to_string(v[4 * k + 3]));
        }
    }
    if (opened) {
        if (m.call("enable_module", "orlix_enable_module(dev, 0, false)") != 0) {
            failed("orlix_enable_module(dev, ORLIX_CHANNEL_RX(0), false)", last_status(m));
        }
        if (m.call("enable_module", "orlix_enable_module(dev, 2, false)") != 0) {
            failed("orlix_enable_module(dev, ORLIX_CHANNEL_RX(1), false)", last_status(m));
        }
    }
    m.note(opened ? "orlix_close(dev)" : "orlix_close(NULL)");
}

void image_reloader_model(Model& m) {
    m.note("orlix_log_set_verbosity(4)");
    m.out = {"Using device: sim", "Using FPGA file: image.rbf", "Opening device..."};
    const bool opened = m.call("open", "orlix_open(\"sim\")") == 0;
    struct Step {
        const char* progress;
        const char* op;
        const char* text;
    };
    static const Step kSteps[] = {
        {"Loading FPGA image...", "load_fpga", "orlix_load_fpga(dev, \"image.rbf\")"},
        {"Setting sample rate to 10e6...", "set_sample_rate",
         "orlix_set_sample_rate(dev, 0, 10000000, NULL)"},
        {"Reloading the FPGA image...", "load_fpga", "orlix_load_fpga(dev, \"image.rbf\")"},
        {"Setting tuning mode to FPGA...", "set_tuning_mode", "orlix_set_tuning_mode(dev, 1)"},
        {"Setting sample rate again to 10e6...", "set_sample_rate",
         "orlix_set_sample_rate(dev, 0, 10000000, NULL)"},
    };
    bool ok = opened;
    for (const Step& step : kSteps) {
        if (!ok) break;
        m.out.push_back(step.progress);
        ok = m.call(step.op, step.text) == 0;
    }
    if (ok) {
        m.out.push_back("Passed!");
    } else {
        const int status = last_status(m);
        m.err.push_back(check_report(status));
        m.exit_code = (status & 0xff) == 0 ? 1 : status & 0xff;
    }
    if (opened) m.note("orlix_close(dev)");
}

ProgramModel burst_sender_model(std::vector<unsigned> lengths, unsigned size) {
    return [lengths, size](Model& m) {
        m.exit_code = 1;
        m.out = {"Opening device: any"};
        if (m.call("open", "orlix_open(NULL)") != 0) {
            m.note("orlix_close(NULL)");
            return;
        }
        auto done = [&m] { m.note("orlix_close(dev)"); };
        if (m.call("set_frequency", "orlix_set_frequency(dev, 1, 915000000)") != 0 ||
            m.call("set_sample_rate", "orlix_set_sample_rate(dev, 1, 10000000, NULL)") != 0 ||
            m.call("set_bandwidth", "orlix_set_bandwidth(dev, 1, 10000000, NULL)") != 0 ||
            m.call("sync_config", "orlix_sync_config(dev, 1, 3, 512, 4096, 16, 3000000)") != 0) {
            return done();
        }
        const std::string count = std::to_string(lengths.size());
        if (size != 0) {
            m.out.push_back("Sending " + count + " packets: " + std::to_string(size) +
                            " dwords/packet (" + std::to_string(4 * size) + " bytes/packet)");
        } else {
            m.out.push_back("Sending " + count +
                            " packets with the following packet length and order:");
            m.out.push_back("Packet Lengths: [40, 17, 43, 20 + (packets_sent % 300)] dwords");
        }
        if (m.call("enable_module", "orlix_enable_module(dev, 1, true)") != 0) return done();
        for (const unsigned n : lengths) {
            const std::string text =
                "orlix_sync_tx(dev, buf, " + std::to_string(n) + ", {timestamp=0, flags=7}, 3000)";
            if (m.call("sync_tx", text) != 0) return done();  // the channel stays enabled
        }
        if (m.call("enable_module", "orlix_enable_module(dev, 1, false)") == 0) m.exit_code = 0;
        done();
    };
}

ProgramModel refswitch_soak_model(int iterations, bool harsh) {
    return [iterations, harsh](Model& m) {
        const std::string open_text = "orlix_open(NULL)";
        m.out = {"Iterations:  " + std::to_string(iterations), "Device str:  auto",
                 std::string("FPGA file:   ") + (harsh ? "image.rbf" : "None"),
                 std::string("Force reopen:  ") + (harsh ? "true" : "false"),
                 std::string("Power reset: ") + (harsh ? "true" : "false")};
        bool open = false;
        bool check_failed = false;
        std::uint64_t failures = 0;
        int begun = 0;
        auto check = [&](int status) {
            if (status != 0) {
                m.err.push_back(check_report(status));
                check_failed = true;
            }
            return status == 0;
        };
        if (!harsh) open = check(m.call("open", open_text));
        for (int i = 0; i < iterations && !check_failed; ++i) {
            begun = i + 1;
            if (harsh) {
                if (!check(m.call("open", open_text))) break;
                open = true;
                if (!check(m.call("load_fpga", "orlix_load_fpga(dev, \"image.rbf\")"))) break;
            }
            int status = m.call("set_clock_select", "orlix_set_clock_select(dev, 1)");
            if (status == 0) status = m.call("set_clock_select", "orlix_set_clock_select(dev, 0)");
            if (status != 0) {
                m.err.push_back(std::string("Failed to set clock select: ") +
                                orlix_strerror(status));
                m.err.push_back("Attempting to reopen device...");
                ++failures;
                m.note("orlix_close(dev)");
                open = check(m.call("open", open_text));
                if (!open) break;
            }
            if (harsh) {
                m.note("orlix_close(dev)");
                open = false;
            }
        }
        if (open) m.note("orlix_close(dev)");
        m.out.push_back("");
        m.out.push_back("Failures: " + std::to_string(failures) + "/" + std::to_string(begun));
        m.exit_code = check_failed || failures != 0 ? 1 : 0;
    };
}

std::vector<std::string> clean_trace(const ProgramModel& model) {
    Model m;
    model(m);
    return m.trace;
}

std::vector<std::string> clean_trace_tail(const ProgramModel& model, std::size_t n) {
    const std::vector<std::string> t = clean_trace(model);
    return {t.end() - static_cast<long>(std::min(n, t.size())), t.end()};
}

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

std::vector<std::string> modelled_out(const std::string& out) {
    static const std::regex kProgress(R"(Failures: \d+/\d+ of \d+)");
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < out.size()) {
        const std::size_t end = out.find('\n', at);
        const std::string line = out.substr(at, end - at);
        if (!std::regex_match(line, kProgress)) lines.push_back(line);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return lines;
}

std::vector<std::string> modelled_err(const std::string& err) {
    static const std::regex kLog(R"(\[(VERBOSE|DEBUG|INFO|WARNING|ERROR|CRITICAL)\] .*)");
    static const std::regex kCheck(R"(Error at .*/src/main\.cpp:\d+ \(main\)(: Status -?\d+))");
    std::vector<std::string> lines;
    for (const std::string& line : modelled_out(err)) {
        if (std::regex_match(line, kLog)) continue;
        lines.push_back(std::regex_replace(line, kCheck, "Error at CHECK (main)$1"));
    }
    return lines;
}

}  // namespace test_support
