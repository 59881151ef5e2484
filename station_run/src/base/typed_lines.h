// Lines typed at a terminal or by a barcode scanner, read as they come
// without ever waiting: a line without its end of line (nor a carriage
// return before it). A line longer than its bound ends where it stands, and
// one the end of input cuts short is whole as it is.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

class TypedLines {
public:
    TypedLines(int fd, std::size_t most) : fd_(fd), most_(most) {}
    int fd() const { return fd_; }
    // The input ended, or cannot be read; the lines read before it remain.
    bool ended() const { return ended_; }
    // Reads what is there now: call when the descriptor is readable.
    void read_some();
    // The next whole line read; none yet.
    std::optional<std::string> next();

private:
    int fd_;
    std::size_t most_;
    std::string part_;
    bool ended_ = false;
};
