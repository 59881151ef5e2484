// What a verdict is, said once: its word, its rank, what it makes of the exit
// status, the record's count it adds to, its JUnit element and its colour on
// the page. Every writer reads this table.
#pragma once

#include <string>

// A run's verdict is its worst step's; a skipped step counts as passed.
enum class Verdict { pass, marginal, fail, error, timeout, skipped, aborted };

struct VerdictFacts {
    Verdict verdict;
    const char* name;        // the upper-case word scripts rely on: PASS, MARGINAL, ...
    int rank;                // the worse, the higher; SKIPPED ranks with PASS
    int exit_status;         // 0, 1 (FAIL), 2 (ERROR, ABORTED) or 3 (TIMEOUT)
    bool passed;             // PASS and MARGINAL
    const char* count;       // the key of record.json's counts
    const char* junit;       // "failure", "error", "skipped", or "" for a pass
    const char* junit_type;  // the type attribute of a failure or error
    const char* colour;      // the badge's background on the page, white text on it
};

const VerdictFacts& facts_of(Verdict v);

inline const char* verdict_name(Verdict v) {
    return facts_of(v).name;
}
// The verdict a word names; false for another word.
bool verdict_from_name(const std::string& name, Verdict& v);
// True for PASS and MARGINAL: the step or measurement passed.
inline bool passed(Verdict v) {
    return facts_of(v).passed;
}
// The worse of two verdicts.
inline Verdict worse(Verdict a, Verdict b) {
    return facts_of(b).rank > facts_of(a).rank ? b : a;
}
// Where several apply, the largest exit status wins.
inline int exit_status_of(Verdict v) {
    return facts_of(v).exit_status;
}

// Every verdict's facts, in the order of the enum.
extern const VerdictFacts kVerdicts[7];

// Each verdict's badge as CSS, ".v-NAME { background: COLOUR }" from the
// table: every page that shows a verdict takes its colours from here.
std::string verdict_backgrounds();
