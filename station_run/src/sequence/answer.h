// An operator's answer to a step's question, judged as the step's
// measurement; one it cannot take is refused with the reason, and asked again.
#pragma once

#include <cstddef>
#include <string>

#include "measure.h"
#include "sequence.h"

constexpr std::size_t kAnswerMost = 1024;  // bytes of an answer taken

struct JudgedAnswer {
    bool taken = false;
    std::string reason;  // why not, when not taken
    Measurement measurement;
    // Why a yes-no or text answer taken fails, in the operator's words
    // rather than the measurement's 0 and 1.
    std::string failed_why;
};

// Judges `text` (a line as typed, its end of line gone, or the view's
// answer) for `prompt`: a confirmation takes Enter alone; yes-no takes y,
// yes, n or no in any case, as 1 or 0 against the expected; a number is
// judged against its limits; a text passes when the pattern matches it whole,
// with no value and the text in its note.
JudgedAnswer judge_answer(const Prompt& prompt, const std::string& text);

// What the question takes, for the operator: "press Enter", "yes or no",
// "a number in dBm, from 10 to 20", "a text".
std::string answer_hint(const Prompt& prompt);
