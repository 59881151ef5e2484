// Base of the end-to-end tests: each test gets a fresh working folder, and
// every run of a program there records its library calls in trace.log.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "process.h"

namespace test_support {

class ProgramTest : public ::testing::Test {
protected:
    Launch launch(const std::string& program, std::vector<std::string> args = {},
                  std::map<std::string, std::string> env = {}) const {
        Launch s;
        s.argv = {program};
        s.argv.insert(s.argv.end(), args.begin(), args.end());
        s.env = std::move(env);
        s.env["ORLIX_SIM_TRACE"] = trace_path().string();
        s.cwd = dir.path();
        return s;
    }
    Result run(const std::string& program, std::vector<std::string> args = {},
               std::map<std::string, std::string> env = {}) const {
        return test_support::run(launch(program, std::move(args), std::move(env)));
    }
    std::filesystem::path trace_path() const { return dir / "trace.log"; }
    std::vector<std::string> trace() const { return read_lines(trace_path()); }
    void clear_trace() const { std::filesystem::remove(trace_path()); }

    TempDir dir;
};

}  // namespace test_support
