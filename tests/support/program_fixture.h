// Base of the end-to-end tests: each test gets a fresh working folder, and
// every run of a program there records its library calls in trace.log.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "wait.h"

namespace test_support {

class ProgramTest : public ::testing::Test {
protected:
    Launch launch(const std::string& program, std::vector<std::string> args = {},
                  std::map<std::string, std::string> env = {}) const {
        env["ORLIX_SIM_TRACE"] = trace_path().string();
        return launch_in(dir.path(), program, std::move(args), std::move(env));
    }
    Result run(const std::string& program, std::vector<std::string> args = {},
               std::map<std::string, std::string> env = {}) const {
        return test_support::run(launch(program, std::move(args), std::move(env)));
    }
    std::filesystem::path trace_path() const { return dir / "trace.log"; }
    std::vector<std::string> trace() const { return read_lines(trace_path()); }
    void clear_trace() const { std::filesystem::remove(trace_path()); }
    // Waits until a line of the trace holds `needle`; false when time runs out.
    bool wait_for_trace(const std::string& needle, std::chrono::milliseconds timeout) const {
        return wait_until([&] { return read_file(trace_path()).find(needle) != std::string::npos; },
                          timeout);
    }

    TempDir dir;
};

}  // namespace test_support
