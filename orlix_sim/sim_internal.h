// Pieces of the simulated device library that its own tests reach directly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orlix_sim {

// One rule of ORLIX_SIM_FAIL: "op[@N[+]][=STATUS]".
struct FailRule {
    std::string op;          // operation name without the "orlix_" prefix
    std::uint64_t nth = 0;   // 0: every call; else the N-th call (from 1)
    bool and_later = false;  // "@N+": the N-th and every later call
    int status = -1;         // negative status to return
    bool fires(std::uint64_t call_number) const;
};

// The operations whose calls ORLIX_SIM_FAIL can fail, in a fixed order.
const std::vector<std::string_view>& failable_ops();

// Parses the value of ORLIX_SIM_FAIL. On a malformed rule returns false and
// names that rule in `bad`; `rules` is then incomplete and must not be used.
bool parse_fail_rules(std::string_view text, std::vector<FailRule>& rules, std::string& bad);

// Writes `count` samples (16-bit I/Q pairs, both receive channels interleaved)
// of the deterministic test signal, starting at sample `position` of the stream.
void fill_test_signal(std::int16_t* dst, std::uint64_t position, std::uint64_t count);

// Forgets the device and every counter and reads the ORLIX_SIM_* controls anew,
// so that one test process can start from a fresh library.
void reset();

}  // namespace orlix_sim
