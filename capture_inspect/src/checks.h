// The checks that make capture_inspect's exit status: one table, from which
// the options are parsed, the usage and the manual's entries written, and
// each figure judged and reported.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "figures.h"

enum class Comparison { at_most, at_least, within };  // within: its size at most

struct CheckRule {
    const char* name;  // "clipping"; "ch0 clipping" and "ch1 clipping" per channel
    bool per_channel;
    const char* figure;  // the JSON key of the figure it judges
    const char* label;   // the figure in its detail, "DC offset"
    const char* noun;    // what is missing without it: "no SNR: ..."
    const char* units;   // "dBFS", "" for a count
    int decimals;        // the figure and limit shown with
    Comparison comparison;
    const char* option;  // the long option that sets its limit
    char letter;         // and its short one, or 0
    const char* argument;
    const char* help;
    double fallback;         // the limit without the option
    double lowest, highest;  // the option's range
    // Why the figure may not exist, for the detail; the check then fails,
    // but for `passes_without`.
    const char* without;
    bool passes_without = false;
    bool needs_expected_tone = false;  // checked only with --expected_tone
    bool follows_noise = false;        // the limit is lowered to twice what noise alone makes
};

const std::vector<CheckRule>& check_rules();

struct Check {
    std::string name;
    bool passed;
    std::string detail;
    const CheckRule* rule;
    std::optional<double> value, limit;  // the figure judged and the limit it was judged by
};

// Every check of the table on the figures, per channel first, with the
// limits given (one per rule, in the table's order).
std::vector<Check> run_checks(const std::vector<double>& limits, bool expected_tone,
                              const CaptureFigures& figures);

// The usage text's lines for the checks' options.
std::string checks_usage();

// The manual's entries for the checks' options, as scdoc source.
std::string checks_manual();

const char* comparison_text(Comparison c);
