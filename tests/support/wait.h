// Waiting in a test for what another process does: one way, bounded.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace test_support {

// Asks `done` every `step` until it holds; false when `timeout` ran out
// first (it is asked once more at the end).
inline bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                       std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return done();
        std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace test_support
