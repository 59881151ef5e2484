#include "typed_lines.h"

#include <unistd.h>

#include <cerrno>

void TypedLines::read_some() {
    char buffer[4096];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n > 0) part_.append(buffer, static_cast<std::size_t>(n));
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) ended_ = true;
    if (part_.size() > most_ && part_.find('\n') == std::string::npos) part_ += '\n';
    if (ended_ && !part_.empty() && part_.back() != '\n') part_ += '\n';
}

std::optional<std::string> TypedLines::next() {
    const std::size_t end = part_.find('\n');
    if (end == std::string::npos) return {};
    std::string line = part_.substr(0, end);
    part_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}
