#include "verdict.h"

// The colours keep white text at WCAG AA contrast (4.5:1 at least).
const VerdictFacts kVerdicts[7] = {
    {Verdict::pass, "PASS", 0, 0, true, "passed", "", "", "#2e7d32"},
    {Verdict::marginal, "MARGINAL", 1, 0, true, "marginal", "", "", "#8a4f00"},
    {Verdict::fail, "FAIL", 2, 1, false, "failed", "failure", "fail", "#c62828"},
    {Verdict::error, "ERROR", 3, 2, false, "errors", "error", "error", "#6a1b9a"},
    {Verdict::timeout, "TIMEOUT", 4, 3, false, "timeouts", "error", "timeout", "#ad1457"},
    {Verdict::skipped, "SKIPPED", 0, 0, false, "skipped", "skipped", "", "#4f5f67"},
    {Verdict::aborted, "ABORTED", 5, 2, false, "aborted", "error", "aborted", "#37474f"},
};

const VerdictFacts& facts_of(Verdict v) {
    return kVerdicts[static_cast<int>(v)];
}

std::string verdict_backgrounds() {
    std::string css;
    for (const VerdictFacts& f : kVerdicts) {
        css += ".v-" + std::string(f.name) + " { background: " + f.colour + " }\n";
    }
    return css;
}

bool verdict_from_name(const std::string& name, Verdict& v) {
    for (const VerdictFacts& f : kVerdicts) {
        if (name == f.name) {
            v = f.verdict;
            return true;
        }
    }
    return false;
}
