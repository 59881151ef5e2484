// A record read as it grows: whole lines only, each once. Its file is opened
// once for every stream that follows it, and each stream keeps its own place.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One run's record.jsonl, open for reading: a regular file only, opened
// without waiting (a FIFO of that name would hold every reader) and without
// following a link.
class RecordFile {
public:
    RecordFile(int dir_fd, const std::string& folder);
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;
    int fd() const { return fd_; }  // -1 when it is no regular file to read

private:
    int fd_ = -1;
};

// The path of a run folder's record below the view's folder.
std::string record_of(const std::string& folder);

// The first line of a record, when it is whole: false otherwise.
bool first_line(int fd, std::string& line);

class RecordReader {
public:
    // Passes over the first `skip` lines (as many as there are).
    RecordReader(std::shared_ptr<RecordFile> file, std::uint64_t skip);

    // The lines that are whole since the last call, about `most` bytes of
    // them at most. A line past the bound is given cut, its head and its
    // length, so that it neither stops the record nor is read again.
    std::vector<std::string> next_lines(std::size_t most);
    // The lines read so far, passed over ones included.
    std::uint64_t lines() const { return lines_; }

private:
    std::shared_ptr<RecordFile> file_;
    std::uint64_t offset_ = 0;  // the byte after the last whole line read
    std::uint64_t lines_ = 0;
    std::uint64_t skip_;
    std::uint64_t long_ = 0;  // of a line past the bound: its bytes so far
    std::string long_head_;
};
