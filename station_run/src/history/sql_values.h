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

// The filter's conditions on the runs table r, each " AND ...", only those
// given and as plain comparisons, so that an index serves them; their
// parameters are appended to `params`.
inline std::string filter_conditions(const SummaryFilter& f,
                                     std::vector<std::optional<std::string>>& params) {
    std::string sql;
    // Appended, not prefixed: g++ 12 at -O3 takes `"..." + s` for an
    // overlapping copy.
    auto condition = [&](const char* head, const std::string& value, const char* tail) {
        params.push_back(value);
        sql.append(head).append("$").append(std::to_string(params.size())).append(tail);
    };
    if (!f.since.empty()) condition(" AND r.started >= CAST(", f.since, " AS {time})");
    if (!f.sequence.empty()) condition(" AND r.sequence_name = ", f.sequence, "");
    if (!f.serial.empty()) condition(" AND r.serial = ", f.serial, "");
    return sql;
}

}  // namespace sql_values
