#include "fail_rules.h"

#include <algorithm>
#include <charconv>

#include "orlix.h"

namespace orlix_sim {

bool FailRule::fires(std::uint64_t call_number) const {
    if (nth == 0) return true;
    return and_later ? call_number >= nth : call_number == nth;
}

namespace {

bool parse_rule(std::string_view text, FailRule& rule) {
    const std::size_t op_end = text.find_first_of("@=");
    rule.op = std::string(text.substr(0, op_end));
    if (std::find(kFailableOps.begin(), kFailableOps.end(), rule.op) == kFailableOps.end()) {
        return false;
    }
    text.remove_prefix(op_end == std::string_view::npos ? text.size() : op_end);

    if (!text.empty() && text.front() == '@') {
        text.remove_prefix(1);
        // from_chars would also take a sign; only plain digits are a count.
        if (text.empty() || text.front() < '0' || text.front() > '9') return false;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), rule.nth);
        if (ec != std::errc() || rule.nth == 0) return false;
        text.remove_prefix(static_cast<std::size_t>(end - text.data()));
        if (!text.empty() && text.front() == '+') {
            rule.and_later = true;
            text.remove_prefix(1);
        }
    }
    if (!text.empty() && text.front() == '=') {
        text.remove_prefix(1);
        if (text.empty() || text.front() != '-') return false;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), rule.status);
        if (ec != std::errc() || rule.status >= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    }
    return text.empty();
}

}  // namespace

bool parse_fail_rules(std::string_view text, std::vector<FailRule>& rules, std::string& bad) {
    rules.clear();
    if (text.empty()) return true;
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        FailRule rule;
        rule.status = ORLIX_ERR_UNEXPECTED;
        if (!parse_rule(item, rule)) {
            bad = std::string(item);
            return false;
        }
        rules.push_back(rule);
        if (comma == std::string_view::npos) return true;
        text.remove_prefix(comma + 1);
    }
}

namespace {

bool parse_hang(std::string_view text, HangRule& rule) {
    const std::size_t at = text.find('@');
    if (at == std::string_view::npos) return false;
    rule.op = std::string(text.substr(0, at));
    if (std::find(kFailableOps.begin(), kFailableOps.end(), rule.op) == kFailableOps.end()) {
        return false;
    }
    text.remove_prefix(at + 1);
    auto whole = [](std::string_view digits, std::uint64_t& out) {
        if (digits.empty() || digits.front() < '0' || digits.front() > '9') return false;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), out);
        return ec == std::errc() && end == digits.data() + digits.size();
    };
    const std::size_t colon = text.find(':');
    if (!whole(text.substr(0, colon), rule.nth) || rule.nth == 0) return false;
    if (colon == std::string_view::npos) return true;
    std::uint64_t ms = 0;
    if (!whole(text.substr(colon + 1), ms) || ms > 86'400'000) return false;
    rule.ms = ms;
    return true;
}

}  // namespace

bool parse_hang_rules(std::string_view text, std::vector<HangRule>& rules, std::string& bad) {
    rules.clear();
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        HangRule rule;
        if (!parse_hang(item, rule)) {
            bad = std::string(item);
            return false;
        }
        rules.push_back(rule);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
        if (text.empty()) {
            bad = "";
            return false;
        }
    }
    return true;
}

}  // namespace orlix_sim
