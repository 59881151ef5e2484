#include "checks.h"

#include <cmath>
#include <cstdio>

#include "decimal.h"

namespace {

// The figure a rule judges, by its JSON key.
std::optional<double> figure_of(const CheckRule& rule, const CaptureFigures& f, int c) {
    const std::string key = rule.figure;
    if (!rule.per_channel) return key == "gain_match_db" ? f.gain_match_db : f.coherence;
    const ChannelFigures& ch = f.channels[c];
    if (key == "clipped_percent") return ch.clipped_percent;
    if (key == "longest_stuck_run") return static_cast<double>(ch.longest_stuck_run);
    if (key == "dc_dbfs") return ch.dc_dbfs;
    // A tone's height counts only where it is a tone.
    if (key == "tone_above_floor_db") return ch.tone_offset_hz ? ch.tone_above_floor_db : Figure{};
    // A phase that jumps is a tone's; noise alone has nothing to lose.
    if (key == "largest_phase_jump_deg")
        return ch.tone_offset_hz ? ch.largest_phase_jump_deg : Figure{};
    if (key == "snr_db") return ch.snr_db;
    if (key == "sfdr_dbc") return ch.sfdr_dbc;
    return ch.frequency_error_ppm;
}

std::string shown(const CheckRule& rule, double v, bool sign = false) {
    return fixed(v, rule.decimals, sign) + (*rule.units ? std::string(" ") + rule.units : "");
}

}  // namespace

const std::vector<CheckRule>& check_rules() {
    static const std::vector<CheckRule> rules = {
        {"clipping", true, "clipped_percent", "samples clipped", "clipping", "%", 3,
         Comparison::at_most, "max_clipped", 'c', "percent",
         "Most clipped samples a channel may have", 0.1, 0, 100, ""},
        {"stuck", true, "longest_stuck_run", "longest run of identical samples", "run", "", 0,
         Comparison::at_most, "max_stuck", 's', "samples",
         "Longest run of identical samples allowed", 8, 1, 1e18, ""},
        {"dc", true, "dc_dbfs", "DC offset", "DC", "dBFS", 1, Comparison::at_most, "max_dc", 'd',
         "dBFS", "Largest DC offset allowed", -30, kFloorDb, 40, ""},
        {"tone", true, "tone_above_floor_db", "tone above the noise floor", "tone", "dB", 1,
         Comparison::at_least, "min_tone_db", 't', "dB", "Least tone height above the noise floor",
         20, -1000, 1000, "no bin stands clear of the noise"},
        {"continuity", true, "largest_phase_jump_deg", "largest phase jump", "phase", "degrees", 1,
         Comparison::at_most, "max_phase_jump", 'p', "deg",
         "Most a phase may jump (noise lowers it)", 30, 0, 180,
         "no tone to follow, or samples too weak to have one", true, false, true},
        {"snr", true, "snr_db", "SNR", "SNR", "dB", 1, Comparison::at_least, "min_snr", 0, "dB",
         "Least signal-to-noise ratio", 30, -1000, 1000, "no tone to measure against"},
        {"sfdr", true, "sfdr_dbc", "SFDR", "SFDR", "dBc", 1, Comparison::at_least, "min_sfdr", 0,
         "dBc", "Least spurious-free dynamic range", 30, -1000, 1000, "no tone to measure against"},
        {"frequency", true, "frequency_error_ppm", "frequency error", "frequency", "ppm", 3,
         Comparison::within, "max_ppm", 0, "ppm", "Largest frequency error, with --expected_tone",
         10, 0, 1e6, "no tone to measure", false, true},
        {"gain match", false, "gain_match_db", "gain of channel 1 against channel 0", "gain match",
         "dB", 2, Comparison::within, "max_gain_mismatch", 0, "dB",
         "Largest gain difference between the channels", 3, 0, 1000, "a channel without a tone"},
        {"coherence", false, "coherence", "coherence at the tone", "coherence", "", 3,
         Comparison::at_least, "min_coherence", 'k', "0..1", "Least coherence between the channels",
         0.9, 0, 1, "no tone, or a channel without power"},
    };
    return rules;
}

const char* comparison_text(Comparison c) {
    return c == Comparison::at_most ? "at most" : c == Comparison::at_least ? "at least" : "within";
}

std::vector<Check> run_checks(const std::vector<double>& limits, bool expected_tone,
                              const CaptureFigures& f) {
    std::vector<Check> checks;
    const std::vector<CheckRule>& rules = check_rules();
    // Each channel's checks, then the pair's.
    for (int c : {0, 1, -1}) {
        for (std::size_t i = 0; i < rules.size(); ++i) {
            const CheckRule& rule = rules[i];
            if (rule.per_channel != (c >= 0) || (rule.needs_expected_tone && !expected_tone)) {
                continue;
            }
            Check check{rule.per_channel ? "ch" + std::to_string(c) + " " + rule.name : rule.name,
                        false,
                        "",
                        &rule,
                        figure_of(rule, f, c),
                        limits[i]};
            double limit = limits[i];
            std::string because;
            if (rule.follows_noise && rule.per_channel) {
                // A jump counts where it stands clear of what noise alone
                // makes: the limit follows the noise, the option its ceiling.
                const Figure noise = f.channels[c].noise_phase_jump_deg;
                if (noise && 2 * *noise < limit) {
                    limit = 2 * *noise;
                    because = ", twice the largest that noise alone makes";
                }
                check.limit = limit;
            }
            if (!check.value) {
                check.passed = rule.passes_without;
                check.detail = std::string("no ") + rule.noun + ": " +
                               (f.segments == 0 ? "the capture is shorter than one " +
                                                      std::to_string(kFftSize) + "-frame window"
                                                : rule.without);
                check.limit.reset();
            } else {
                const double v = *check.value;
                check.passed = rule.comparison == Comparison::at_most    ? v <= limit
                               : rule.comparison == Comparison::at_least ? v >= limit
                                                                         : std::fabs(v) <= limit;
                check.detail = std::string(rule.label) + " " +
                               shown(rule, v, rule.comparison == Comparison::within) + ", " +
                               comparison_text(rule.comparison) + " " + shown(rule, limit) +
                               because;
            }
            checks.push_back(check);
        }
    }
    return checks;
}

std::string checks_usage() {
    std::string text;
    for (const CheckRule& rule : check_rules()) {
        const std::string left =
            std::string(rule.letter ? std::string("-") + rule.letter + ", " : "    ") + "--" +
            rule.option + " <" + rule.argument + ">";
        char line[200];
        std::snprintf(line, sizeof line, "  %-29s%s (%s)\n", left.c_str(), rule.help,
                      decimal_text(rule.fallback).c_str());
        text += line;
    }
    return text;
}

std::string checks_manual() {
    std::string text;
    for (const CheckRule& rule : check_rules()) {
        const std::string is = rule.comparison == Comparison::at_most ? "is at most"
                               : rule.comparison == Comparison::at_least
                                   ? "is at least"
                                   : "is within plus or minus";
        text += rule.letter ? std::string("*-") + rule.letter + "*, " : std::string();
        text += std::string("*--") + rule.option + "* _" + rule.argument + "_\n\t" + rule.help +
                ": default " + decimal_text(rule.fallback) + ", from " + decimal_text(rule.lowest) +
                " to " + decimal_text(rule.highest) + ". The check *" + rule.name + "*" +
                (rule.per_channel ? " of each channel" : "") + " passes where *" + rule.figure +
                "* " + is + " it.\n\n";
    }
    return text;
}
