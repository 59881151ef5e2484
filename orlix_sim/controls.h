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
inline constexpr const char* kBenchControl = "ORLIX_SIM_BENCH";
inline constexpr const char* kBenchDirControl = "ORLIX_SIM_BENCH_DIR";
inline constexpr std::array<const char*, 10> kControls = {
    kFailControl,  kTraceControl, kTxFileControl,    kRxFileControl, kSignalControl,
    kDelayControl, kHangControl,  kTraceTimeControl, kBenchControl,  kBenchDirControl};
// The controls a board of a bench may have of its own, as CONTROL_NAME.
inline constexpr std::array<const char*, 6> kBoardControls = {
    kFailControl, kHangControl, kSignalControl, kRxFileControl, kTxFileControl, kDelayControl};

// What steers one device: today's single one, or one board of a bench.
struct DeviceControls {
    std::vector<FailRule> rules;
    std::vector<HangRule> hangs;
    std::array<std::uint64_t, kFailableOps.size()> calls{};  // per failable operation
    int tx_fd = -1;
    std::optional<std::string> rx_file;
    std::optional<SignalSettings> signal;  // the built-in signal's settings, when given
    unsigned delay_ms = 0;

    DeviceControls() = default;
    ~DeviceControls();
    DeviceControls(DeviceControls&& other) noexcept;
    DeviceControls& operator=(DeviceControls&& other) noexcept;
    DeviceControls(const DeviceControls&) = delete;
    DeviceControls& operator=(const DeviceControls&) = delete;

    // Counts a call of `op`: it hangs first when a rule says so, then gives the
    // status it must fail with, or 0.
    int injected(std::string_view op);
    void delay() const;
};

struct Controls {
    bool broken = false;  // a control is unusable: every open fails
    int trace_fd = -1;
    std::string trace_path;
    bool trace_failed = false;  // reported once
    bool trace_time = false;    // each line begins with the time and the process id
    DeviceControls device;      // the single device's, and a bench's defaults
    // A bench of boards, in its order, each with its controls; empty without.
    std::vector<std::string> bench;
    std::vector<DeviceControls> boards;
    std::string bench_dir;         // where the boards' holds are kept
    bool bench_dir_given = false;  // by ORLIX_SIM_BENCH_DIR, not the default

    Controls();
    ~Controls();
    Controls(const Controls&) = delete;
    Controls& operator=(const Controls&) = delete;

    // The controls of board `index` of the bench; the single device's for -1.
    DeviceControls& of(int index) {
        return index < 0 ? device : boards[static_cast<std::size_t>(index)];
    }
    // The board a name gives, or -1.
    int board_named(std::string_view name) const;
    void trace(const std::string& line);

private:
    DeviceControls read_device(const std::string& suffix, const DeviceControls* defaults);
    int open_append(const std::string& name, const char* path);
};

// The controls, read at the first use.
Controls& controls();
// Forgets the controls, so that the next use reads them anew.
void forget_controls();

}  // namespace orlix_sim
