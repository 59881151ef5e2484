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

// A question for the operator in place of a program, and the answer it takes.
enum class AnswerKind { confirm, yes_no, number, text };

struct Prompt {
    std::string text;
    AnswerKind kind = AnswerKind::confirm;
    bool expect_yes = true;  // yes-no: the answer that passes
    std::string units;       // number: judged as a measurement
    Limits limits;
    std::string pattern;  // text: an RE2 the whole answer must match
};

// The answer kind's name in a sequence and a record ("confirm" for none).
const char* answer_kind_name(AnswerKind kind);

struct Step {
    std::string name;
    std::vector<std::string> run;  // the program and its arguments, before substitution
    std::optional<Prompt> prompt;  // an operator's step: no program
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
    std::string serial_pattern;  // an RE2 a serial must match whole; empty: any
};

// Reads and checks the sequence at `path`. False with a message that names
// the file, the line and the key at fault.
bool load_sequence(const std::string& path, Sequence& sequence, std::string& error);
