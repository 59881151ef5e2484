// What an output the user names may replace: a page of its own kind, never
// the history it was made from nor a file of another kind that a slip of the
// command line names.
#pragma once

#include <string>

// How a page of station_run begins.
inline constexpr const char* kPageStart = "<!DOCTYPE html>";

// Whether `path` may take an output whose files begin with `start` (a link
// there is replaced, never written through): it does not exist, or is an
// empty file or one of that kind, and is not the history `history` under
// any name. False with the reason.
bool may_write_output(const std::string& path, const std::string& start, const std::string& history,
                      std::string& why);
