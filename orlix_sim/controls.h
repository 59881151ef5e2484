// The simulated device's environment controls (ORLIX_SIM_*), read once at the
// first call, and its trace and log: what the device operations share.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim_internal.h"

namespace orlix_sim {

// The library's log verbosity: lines below it are not printed.
extern int g_verbosity;

// One line "[LEVEL] text" on standard error, in one write.
__attribute__((format(printf, 2, 3))) void log_line(int level, const char* fmt, ...);

// `text` with quotes, backslashes and control characters escaped, so that a
// value from the environment can neither fake a log line nor reach a terminal.
std::string escaped(std::string_view text);

struct Controls {
    std::vector<FailRule> rules;
    std::array<std::uint64_t, 13> calls{};  // per entry of failable_ops()
    bool broken = false;                    // a control is unusable: every open fails
    int trace_fd = -1;
    std::string trace_path;
    bool trace_failed = false;  // reported once
    int tx_fd = -1;
    std::optional<std::string> rx_file;
    std::optional<SignalSettings> signal;  // the built-in signal's settings, when given
    unsigned delay_ms = 0;

    Controls();
    ~Controls();
    Controls(const Controls&) = delete;
    Controls& operator=(const Controls&) = delete;

    int open_append(const char* name);
    // Counts a call of `op` and gives the status it must fail with, or 0.
    int injected(std::string_view op);
    void trace(const std::string& line);
    void delay() const;
};

// The controls, read at the first use.
Controls& controls();
// Forgets the controls, so that the next use reads them anew.
void forget_controls();

}  // namespace orlix_sim
