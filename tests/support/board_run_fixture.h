// What the tests of station_run share: a folder with an image, sequences
// written into it, runs of station_run there, and its record and JUnit file
// checked against their schemas.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "program_fixture.h"
#include "schemas.h"
#include "wait.h"

namespace test_support {

// The processes whose working folder is `folder`: what is left of a step.
inline std::vector<std::string> processes_in(const std::filesystem::path& where) {
    std::vector<std::string> found;
    std::error_code ignored;
    const std::filesystem::path folder = std::filesystem::weakly_canonical(where);
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        if (std::filesystem::read_symlink(entry.path() / "cwd", ignored) == folder) {
            found.push_back(pid + " " + read_file(entry.path() / "comm"));
        }
    }
    return found;
}

// Waits until record.jsonl in `run` holds `needle` `count` times; false when
// the time runs out first.
inline bool wait_for_record(const std::filesystem::path& run, const std::string& needle,
                            int count = 1,
                            std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return wait_until(
        [&] {
            const std::string text = read_file(run / "record.jsonl");
            int n = 0;
            for (std::size_t at = text.find(needle); at != std::string::npos;
                 at = text.find(needle, at + 1)) {
                ++n;
            }
            return n >= count;
        },
        timeout, std::chrono::milliseconds(5));
}

// Waits until no process works in `where` any more; false when some still do.
inline bool nothing_left_in(const std::filesystem::path& where,
                            std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return wait_until([&] { return processes_in(where).empty(); }, timeout,
                      std::chrono::milliseconds(20));
}

inline nlohmann::json parse_file(const std::filesystem::path& path) {
    return nlohmann::json::parse(read_file(path));
}

// The verdict of each step of a record, by name.
inline std::vector<std::string> step_verdicts(const nlohmann::json& record) {
    std::vector<std::string> out;
    for (const nlohmann::json& s : record["steps"]) {
        out.push_back(s["name"].get<std::string>() + " " + s["verdict"].get<std::string>());
    }
    return out;
}

class BoardRun : public test_support::ProgramTest {
protected:
    void SetUp() override { write_file(dir / "image.rbf", "image"); }

    std::string sequence(const std::string& name, const std::string& steps) {
        write_file(dir / name, "name = \"" + name + "\"\nversion = \"1\"\n" + steps);
        return (dir / name).string();
    }
    test_support::Launch station(std::vector<std::string> args,
                                 std::map<std::string, std::string> env = {}) const {
        return launch(STATION_RUN_BIN, std::move(args), std::move(env));
    }
    Result run_station(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        return test_support::run(station(std::move(args), std::move(env)));
    }
    // The record, checked against the shipped schema, and the JUnit file
    // against the one CI servers validate with.
    nlohmann::json checked_record(const std::filesystem::path& run) const {
        const Result schema = test_support::run(
            test_support::launch_in(dir.path(), PYTHON3_BIN,
                                    {SOURCE_DIR "/tests/data/check_record.py",
                                     SOURCE_DIR "/station_run/record.schema.json", run.string()}));
        EXPECT_EQ(schema.exit_code, 0) << schema.out << schema.err;
        const Result junit = test_support::run(
            test_support::launch_in(dir.path(), XMLLINT_BIN,
                                    {"--noout", "--schema", SOURCE_DIR "/tests/data/junit-10.xsd",
                                     (run / "junit.xml").string()}));
        EXPECT_EQ(junit.exit_code, 0) << junit.err;
        return parse_file(run / "record.json");
    }
};

}  // namespace test_support
