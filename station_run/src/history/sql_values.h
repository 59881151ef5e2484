// How the history's statements take and give values: numbers as text that
// reads back to the same double, and none as SQL's NULL; and the filter a
// summary puts on the runs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "history.h"

namespace sql_values {

inline std::string text(double v) {
    char out[40];
    std::snprintf(out, sizeof out, "%.17g", v);
    return out;
}

inline std::optional<std::string> text(const std::optional<double>& v) {
    if (!v) return {};
    return text(*v);
}

inline std::optional<std::string> text(const std::optional<int>& v) {
    if (!v) return {};
    return std::to_string(*v);
}

inline std::optional<std::string> nonempty(const std::string& s) {
    if (s.empty()) return {};
    return s;
}

inline std::optional<double> number(const std::optional<std::string>& v) {
    if (!v) return {};
    return std::stod(*v);
}

inline std::uint64_t count(const std::optional<std::string>& v) {
    return v ? std::stoull(*v) : 0;
}

// The filter's conditions on the runs table r; parameters $1 to $3, null
// when not given.
constexpr const char* kFilter =
    "(CAST($1 AS {time}) IS NULL OR r.started >= CAST($1 AS {time})) AND "
    "(CAST($2 AS TEXT) IS NULL OR r.sequence_name = $2) AND "
    "(CAST($3 AS TEXT) IS NULL OR r.serial = $3)";

// A run that counts in the figures: ended, and not cut short by an operator.
constexpr const char* kFinished = "r.verdict NOT IN ('RUNNING', 'ABORTED')";

inline std::vector<std::optional<std::string>> filter_params(const SummaryFilter& f) {
    return {nonempty(f.since), nonempty(f.sequence), nonempty(f.serial)};
}

}  // namespace sql_values
