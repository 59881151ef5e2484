// The simulated device's environment controls (ORLIX_SIM_*), read once at the
// first call, and its trace: what the device operations share.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fail_rules.h"
#include "receive_signal.h"

namespace orlix_sim {

// The environment controls, named once: the library reads these and no other.
inline constexpr const char* kFailControl = "ORLIX_SIM_FAIL";
inline constexpr const char* kTraceControl = "ORLIX_SIM_TRACE";
inline constexpr const char* kTxFileControl = "ORLIX_SIM_TX_FILE";
inline constexpr const char* kRxFileControl = "ORLIX_SIM_RX_FILE";
inline constexpr const char* kSignalControl = "ORLIX_SIM_SIGNAL";
inline constexpr const char* kDelayControl = "ORLIX_SIM_DELAY_MS";
inline constexpr const char* kHangControl = "ORLIX_SIM_HANG";
inline constexpr const char* kTraceTimeControl = "ORLIX_SIM_TRACE_TIME";
inline constexpr std::array<const char*, 8> kControls = {
    kFailControl,   kTraceControl, kTxFileControl, kRxFileControl,
    kSignalControl, kDelayControl, kHangControl,   kTraceTimeControl};

struct Controls {
    std::vector<FailRule> rules;
    std::vector<HangRule> hangs;
    std::array<std::uint64_t, kFailableOps.size()> calls{};  // per failable operation
    bool broken = false;  // a control is unusable: every open fails
    int trace_fd = -1;
    std::string trace_path;
    bool trace_failed = false;  // reported once
    bool trace_time = false;    // each line begins with the time and the process id
    int tx_fd = -1;
    std::optional<std::string> rx_file;
    std::optional<SignalSettings> signal;  // the built-in signal's settings, when given
    unsigned delay_ms = 0;

    Controls();
    ~Controls();
    Controls(const Controls&) = delete;
    Controls& operator=(const Controls&) = delete;

    int open_append(const char* name);
    // Counts a call of `op`: it hangs first when a rule says so, then gives the
    // status it must fail with, or 0.
    int injected(std::string_view op);
    void trace(const std::string& line);
    void delay() const;
    void hang(std::string_view op, std::optional<std::uint64_t> ms);
};

// The controls, read at the first use.
Controls& controls();
// Forgets the controls, so that the next use reads them anew.
void forget_controls();

}  // namespace orlix_sim
