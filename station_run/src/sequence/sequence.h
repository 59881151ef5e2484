// A test sequence: the steps a station runs, each with its program, deadline
// and the measurements it yields, read from a TOML file.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Limits are inclusive; a marginal band lies inside them.
struct Limits {
    std::optional<double> low, high, marginal_low, marginal_high;
};

struct Measure {
    std::string name;
    std::string stdout_pattern;  // a regular expression whose first group holds the number
    std::string json_pointer;    // or a JSON pointer into the JSON the step printed
    std::string units;
    Limits limits;
};

struct Step {
    std::string name;
    std::vector<std::string> run;  // the program and its arguments, before substitution
    double timeout_s = 300;
    double grace_s = 5;
    int retries = 0;
    bool requires_image = false;
    bool stop_on_fail = false;
    int expect_status = 0;
    std::string lock;  // a shared instrument: no two steps that name it run at once
    std::optional<double> lock_timeout_s;  // the longest wait for it; unset: timeout_s
    std::vector<Measure> measures;
};

struct Sequence {
    std::string name;
    std::string version;
    std::string path;    // absolute
    std::string sha256;  // of the file's bytes
    std::vector<Step> steps;
};

// Reads and checks the sequence at `path`. False with a message that names
// the file, the line and the key at fault.
bool load_sequence(const std::string& path, Sequence& sequence, std::string& error);
