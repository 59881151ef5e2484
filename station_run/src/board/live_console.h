// The live copy of a step's output on station_run's standard output (-v). It
// never blocks: what a slow or stopped reader cannot take now waits in a
// bounded buffer, and what does not fit is dropped with a note (the files
// keep everything).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class LiveConsole {
public:
    explicit LiveConsole(bool on);
    ~LiveConsole();
    LiveConsole(const LiveConsole&) = delete;
    LiveConsole& operator=(const LiveConsole&) = delete;

    bool on() const { return fd_ >= 0; }
    bool waiting() const { return on() && !pending_.empty(); }
    int fd() const { return fd_; }

    // Takes a part of the step's output, read from `file`'s stream.
    void add(const char* data, std::size_t n, const std::string& file);
    // Writes what the reader takes now.
    void flush();
    // At the step's end: a little time for a slow reader, then what is left
    // is dropped, and the drop noted where the step's result line goes, since
    // the deadline no longer waits on it.
    void finish();

private:
    static constexpr std::size_t kRoom = std::size_t{1} << 20;
    int fd_ = -1;
    bool own_ = false, socket_ = false;
    std::string pending_;
    std::uint64_t dropped_ = 0;
    std::string dropped_file_;
};
