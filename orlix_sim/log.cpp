#include "log.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "files.h"
#include "orlix.h"

namespace orlix_sim {

int g_verbosity = ORLIX_LOG_LEVEL_WARNING;

__attribute__((format(printf, 2, 3))) void log_line(int level, const char* fmt, ...) {
    static constexpr const char* kNames[] = {"VERBOSE", "DEBUG", "INFO",
                                             "WARNING", "ERROR", "CRITICAL"};
    if (level < g_verbosity) return;
    // One write a line, so that lines stay whole next to the program's own; no
    // allocation, so that a line can report that memory ran out.
    char line[640];
    int length = std::snprintf(line, sizeof line, "[%s] ", kNames[level]);
    va_list ap;
    va_start(ap, fmt);
    const int text =
        std::vsnprintf(line + length, sizeof line - 1 - static_cast<std::size_t>(length), fmt, ap);
    va_end(ap);
    length = std::min<int>(length + std::max(text, 0), static_cast<int>(sizeof line) - 2);
    line[length++] = '\n';
    write_all(STDERR_FILENO, line, static_cast<std::size_t>(length));
}

std::string escaped(std::string_view text) {
    std::string out;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace orlix_sim
