// The record's times: UTC, ISO 8601 with milliseconds ("2026-12-09T08:15:30.123Z"),
// written and read here only.
#pragma once

#include <optional>
#include <string>

// Now, in the record's form.
std::string utc_now();

// A date (2026-12-01, midnight UTC) or an RFC 3339 time with its offset
// (2026-12-01T09:30:00+01:00, or Z) in the record's form; none for anything
// else.
std::optional<std::string> time_from_user(const std::string& text);

// Seconds between two of the record's times; 0 when either is not one, or
// `to` comes first.
double seconds_between(const std::string& from, const std::string& to);
