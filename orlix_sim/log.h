// The simulated device's log: "[LEVEL] text" lines on standard error.
#pragma once

#include <string>
#include <string_view>

namespace orlix_sim {

// The library's log verbosity: lines below it are not printed.
extern int g_verbosity;

// One line "[LEVEL] text" on standard error, in one write.
__attribute__((format(printf, 2, 3))) void log_line(int level, const char* fmt, ...);

// `text` with quotes, backslashes and control characters escaped, so that a
// value from the environment can neither fake a log line nor reach a terminal.
std::string escaped(std::string_view text);

}  // namespace orlix_sim
