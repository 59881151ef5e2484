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

}  // namespace orlix_sim
