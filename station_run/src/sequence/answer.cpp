#include "answer.h"

#include <re2/re2.h>

#include <algorithm>
#include <cctype>
#include <cmath>

#include "decimal.h"

namespace {

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

JudgedAnswer refused(std::string reason) {
    JudgedAnswer j;
    j.reason = std::move(reason);
    return j;
}

JudgedAnswer taken(Measurement m) {
    JudgedAnswer j;
    j.taken = true;
    j.measurement = std::move(m);
    return j;
}

}  // namespace

JudgedAnswer judge_answer(const Prompt& prompt, const std::string& text) {
    if (text.size() > kAnswerMost) {
        return refused("an answer of at most " + std::to_string(kAnswerMost) + " characters");
    }
    const std::string t = trimmed(text);
    switch (prompt.kind) {
        case AnswerKind::confirm: {
            if (!t.empty()) return refused("press Enter alone to confirm");
            Measurement m = judge("answer", "", 1.0, {1.0, 1.0, {}, {}});
            m.note = "confirmed";
            return taken(m);
        }
        case AnswerKind::yes_no: {
            std::string lower = t;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            const bool yes = lower == "y" || lower == "yes";
            if (!yes && lower != "n" && lower != "no") return refused("answer yes or no");
            const double expected = prompt.expect_yes ? 1 : 0;
            Measurement m = judge("answer", "", yes ? 1 : 0, {expected, expected, {}, {}});
            m.note = yes ? "yes" : "no";
            JudgedAnswer j = taken(m);
            if (m.verdict == Verdict::fail) {
                j.failed_why = std::string("answered ") + (yes ? "yes" : "no") + " where " +
                               (prompt.expect_yes ? "yes" : "no") + " passes";
            }
            return j;
        }
        case AnswerKind::number: {
            const std::optional<double> v = decimal_number(t);
            if (!v) return refused("\"" + t + "\" is no number: " + answer_hint(prompt));
            return taken(judge("answer", prompt.units, *v, prompt.limits));
        }
        case AnswerKind::text: {
            if (t.empty()) return refused("nothing was typed: " + answer_hint(prompt));
            RE2::Options options;
            options.set_log_errors(false);
            const RE2 pattern(prompt.pattern, options);
            Measurement m;
            m.name = "answer";
            m.note = t;
            m.verdict = RE2::FullMatch(t, pattern) ? Verdict::pass : Verdict::fail;
            JudgedAnswer j = taken(m);
            if (m.verdict == Verdict::fail) {
                j.failed_why = "\"" + t + "\" does not match " + prompt.pattern;
            }
            return j;
        }
    }
    return refused("no answer is taken");
}

std::string answer_hint(const Prompt& prompt) {
    switch (prompt.kind) {
        case AnswerKind::confirm:
            return "press Enter";
        case AnswerKind::yes_no:
            return "yes or no";
        case AnswerKind::number: {
            std::string hint = "a number";
            if (!prompt.units.empty()) hint += " in " + prompt.units;
            const Limits& l = prompt.limits;
            if (l.low && l.high) {
                hint += ", from " + decimal_text(*l.low) + " to " + decimal_text(*l.high);
            } else if (l.low) {
                hint += ", " + decimal_text(*l.low) + " or more";
            } else if (l.high) {
                hint += ", " + decimal_text(*l.high) + " or less";
            }
            return hint;
        }
        case AnswerKind::text:
            return "a text";
    }
    return "";
}
