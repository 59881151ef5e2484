// Faults on command: the rules of ORLIX_SIM_FAIL (which call of which
// operation fails, and how) and of ORLIX_SIM_HANG (which call never returns,
// or only late).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlix_sim {

// The operations whose calls ORLIX_SIM_FAIL can fail, in a fixed order.
inline constexpr std::array<std::string_view, 13> kFailableOps = {
    "open",          "load_fpga", "set_frequency",    "set_sample_rate", "set_bandwidth",
    "set_gain_mode", "set_gain",  "set_clock_select", "set_tuning_mode", "enable_module",
    "sync_config",   "sync_tx",   "sync_rx"};

// One rule of ORLIX_SIM_FAIL: "op[@N[+]][=STATUS]".
struct FailRule {
    std::string op;          // operation name without the "orlix_" prefix
    std::uint64_t nth = 0;   // 0: every call; else the N-th call (from 1)
    bool and_later = false;  // "@N+": the N-th and every later call
    int status = -1;         // negative status to return
    bool fires(std::uint64_t call_number) const;
};

// Parses the value of ORLIX_SIM_FAIL. On a malformed rule returns false and
// names that rule in `bad`; `rules` is then incomplete and must not be used.
bool parse_fail_rules(std::string_view text, std::vector<FailRule>& rules, std::string& bad);

// One rule of ORLIX_SIM_HANG: "op@N[:MS]".
struct HangRule {
    std::string op;
    std::uint64_t nth = 1;
    std::optional<std::uint64_t> ms;  // for ever without
};

// Parses the value of ORLIX_SIM_HANG, rules separated by commas; on a
// malformed rule returns false and names it in `bad`.
bool parse_hang_rules(std::string_view text, std::vector<HangRule>& rules, std::string& bad);

}  // namespace orlix_sim
